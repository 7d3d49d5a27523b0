// The opening side's discovery: browse for a DNS-SD service type.
#pragma once

// A standard header before any asio header: asio 1.22 picks its aligned
// allocation functions from macros the standard library defines, and every
// translation unit must see the same choice.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>

namespace marlinax::transport {

struct ServiceEndpoint {
  std::string name;  // the service instance name
  std::string host;  // numeric address, with %interface for IPv6 link-local ones
  std::uint16_t port = 0;
  friend bool operator==(const ServiceEndpoint&, const ServiceEndpoint&) = default;
};

// Move-only handle on a running browse. Every service found and resolved is
// handed out once per interface and protocol it was seen on; services that
// disappear are not reported. terminate(), or destruction, stops browsing and
// ends the sequence normally. A daemon that is absent or restarts is waited
// for; browsing resumes (and may report services again) when it is back.
class ServiceBrowser {
 public:
  class State;
  explicit ServiceBrowser(std::shared_ptr<State> state);
  ServiceBrowser(ServiceBrowser&&) noexcept;
  ServiceBrowser& operator=(ServiceBrowser&&) noexcept;
  ~ServiceBrowser();

  // The next endpoint; std::nullopt after terminate().
  asio::awaitable<std::optional<ServiceEndpoint>> next();
  void terminate();

 private:
  std::shared_ptr<State> state_;
};

ServiceBrowser browse(asio::any_io_executor executor, std::string type);

}  // namespace marlinax::transport
