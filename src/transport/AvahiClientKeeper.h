// Keeps an Avahi client connected on a thread of its own, through daemon
// restarts and D-Bus outages. Internal to transport.
#pragma once

#include <string>

#include <avahi-client/client.h>
#include <avahi-common/thread-watch.h>
#include <avahi-common/watch.h>

namespace marlinax::transport {

// Subclasses call start() at the end of their constructor and stop() first
// thing in their destructor. Every virtual runs on the Avahi thread with the
// poll lock held; stop() waits for that thread to end.
class AvahiClientKeeper {
 public:
  AvahiClientKeeper(const AvahiClientKeeper&) = delete;
  AvahiClientKeeper& operator=(const AvahiClientKeeper&) = delete;

 protected:
  explicit AvahiClientKeeper(std::string purpose);
  virtual ~AvahiClientKeeper();

  void start();
  void stop();

  // The daemon is up and the client can publish or browse.
  virtual void running(AvahiClient* client) = 0;
  // The daemon is re-registering its host name; entries must be withdrawn
  // and are added again at the next running().
  virtual void registering(AvahiClient* /*client*/) {}
  // The client is about to be freed, with every group and browser made from
  // it: forget those pointers.
  virtual void lost() = 0;

  // One line about DNS-SD: log() for news, warn() for trouble.
  void log(const std::string& line) const;
  void warn(const std::string& line) const;

 private:
  static void clientCallback(AvahiClient* client, AvahiClientState state, void* self);
  static void retryCallback(AvahiTimeout* timeout, void* self);
  void createClient();
  void scheduleRetry(unsigned milliseconds);
  // Stops the thread and frees the client; `notify`: call lost() first (never
  // from the destructor, where the subclass's part is already gone).
  void shutDown(bool notify);

  std::string purpose_;
  AvahiThreadedPoll* poll_ = nullptr;
  AvahiClient* client_ = nullptr;
  AvahiTimeout* retry_ = nullptr;
  bool started_ = false;
  bool reportedTrouble_ = false;  // one log line per outage, not one per retry
};

}  // namespace marlinax::transport
