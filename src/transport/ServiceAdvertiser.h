// Advertises a TCP port as a DNS-SD service through avahi-daemon.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace marlinax::transport {

// Registers `name`.`type` in the default domain on every interface and
// protocol, with no TXT entries, until destroyed. Trouble with the daemon
// (absent, restarted, name taken) is logged and handled in the background:
// the service is registered again whenever the daemon is back, under an
// alternative name if the name is taken. Never throws for DNS-SD trouble.
class ServiceAdvertiser {
 public:
  ServiceAdvertiser(std::string name, std::string type, std::uint16_t port);
  ~ServiceAdvertiser();
  ServiceAdvertiser(const ServiceAdvertiser&) = delete;
  ServiceAdvertiser& operator=(const ServiceAdvertiser&) = delete;

  // The name registered last (differs from the requested one after a collision).
  std::string name() const;
  // True while the daemon reports the service as established.
  bool established() const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace marlinax::transport
