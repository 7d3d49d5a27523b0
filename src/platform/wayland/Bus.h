#pragma once

// A connection to the session bus (sd-bus) with a thread of its own that
// dispatches signals. sd-bus objects are not thread-safe: every use of the raw
// bus goes through `locked`, which also wakes the dispatch thread so that
// signals read during a method call are delivered.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include <systemd/sd-bus.h>

namespace marlinax::platform::wayland {

class BusError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// "what: the error's message" for a negative errno or a filled sd_bus_error.
std::string describeBusError(const std::string& what, int result, const sd_bus_error* error = nullptr);

// Owns one reference to a message.
struct MessageUnref {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;

class Bus : public std::enable_shared_from_this<Bus> {
 public:
  // The user's session bus ($DBUS_SESSION_BUS_ADDRESS). Throws BusError.
  static std::shared_ptr<Bus> openSession();
  ~Bus();
  Bus(const Bus&) = delete;
  Bus& operator=(const Bus&) = delete;

  // Runs `use` with the raw bus, one caller at a time (signal handlers run
  // under the same lock and may call it again).
  template <class Use>
  auto locked(Use&& use) {
    struct Wake {
      Bus* bus;
      ~Wake() { bus->wake(); }
    } wake{this};
    std::lock_guard lock(state_->mutex);
    return use(state_->bus);
  }

  // A method call with the arguments `append` adds; throws BusError with the
  // remote error's name and message. `timeoutMicros` 0 uses sd-bus's default (25 s).
  Message call(const char* destination, const char* path, const char* interface, const char* member,
               const std::function<void(sd_bus_message*)>& append, std::uint64_t timeoutMicros = 0);

  // Whether a name currently has an owner on the bus.
  bool nameHasOwner(const std::string& name);

  // A signal subscription; the handler runs on the dispatch thread until the
  // subscription is destroyed (destruction waits for a running handler).
  class Subscription {
   public:
    ~Subscription();
    Subscription(const Subscription&) = delete;
    Subscription& operator=(const Subscription&) = delete;

   private:
    friend class Bus;
    Subscription() = default;
    std::shared_ptr<Bus> bus_;
    sd_bus_slot* slot_ = nullptr;
    std::function<void(sd_bus_message*)> handler_;
  };
  // Signals of `member` on `interface` sent from object `path` (any sender:
  // the object paths of a session are unique). Throws BusError.
  std::unique_ptr<Subscription> subscribe(const std::string& path, const std::string& interface,
                                          const std::string& member, std::function<void(sd_bus_message*)> handler);

 private:
  // What the dispatch thread uses; it may outlive the Bus object (see ~Bus).
  struct State {
    sd_bus* bus = nullptr;
    std::recursive_mutex mutex;
    int wakeFd = -1;
    std::atomic<bool> stopping{false};
    ~State();
  };

  explicit Bus(sd_bus* bus);
  static void run(const std::shared_ptr<State>& state);
  void wake();

  std::shared_ptr<State> state_;
  std::thread thread_;
};

}  // namespace marlinax::platform::wayland
