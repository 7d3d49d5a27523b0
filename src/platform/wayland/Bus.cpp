#include "platform/wayland/Bus.h"

#include <algorithm>
#include <cstring>
#include <ctime>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "log/Log.h"

namespace marlinax::platform::wayland {

std::string describeBusError(const std::string& what, int result, const sd_bus_error* error) {
  if (error != nullptr && sd_bus_error_is_set(error)) {
    return what + ": " + (error->message != nullptr ? error->message : error->name) + " (" + error->name + ")";
  }
  return what + ": " + std::strerror(result < 0 ? -result : result);
}

std::shared_ptr<Bus> Bus::openSession() {
  sd_bus* bus = nullptr;
  int result = sd_bus_open_user(&bus);
  if (result < 0) throw BusError(describeBusError("cannot connect to the session bus", result));
  return std::shared_ptr<Bus>(new Bus(bus));
}

Bus::State::~State() {
  if (bus != nullptr) sd_bus_flush_close_unref(bus);
  if (wakeFd >= 0) ::close(wakeFd);
}

Bus::Bus(sd_bus* bus) : state_(std::make_shared<State>()) {
  state_->bus = bus;
  state_->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (state_->wakeFd < 0) throw BusError("eventfd failed");
  thread_ = std::thread([state = state_] { run(state); });
}

Bus::~Bus() {
  state_->stopping = true;
  wake();
  if (!thread_.joinable()) return;
  // The last reference may go inside a signal handler, on the dispatch thread
  // itself: that thread then ends after the handler and frees the state.
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();
  } else {
    thread_.join();
  }
}

void Bus::wake() {
  std::uint64_t one = 1;
  [[maybe_unused]] auto written = ::write(state_->wakeFd, &one, sizeof one);
}

void Bus::run(const std::shared_ptr<State>& state) {
  sd_bus* bus = state->bus;
  while (!state->stopping) {
    int fd = -1;
    short events = 0;
    std::uint64_t timeout = UINT64_MAX;
    {
      std::lock_guard lock(state->mutex);
      for (;;) {
        int result = sd_bus_process(bus, nullptr);
        if (result < 0) {
          log::warning(describeBusError("session bus connection lost", result));
          return;
        }
        if (result == 0) break;
      }
      fd = sd_bus_get_fd(bus);
      int wanted = sd_bus_get_events(bus);
      events = static_cast<short>(wanted < 0 ? POLLIN : wanted);
      if (sd_bus_get_timeout(bus, &timeout) < 0) timeout = UINT64_MAX;
    }
    int waitMillis = -1;
    if (timeout != UINT64_MAX) {
      timespec now{};
      clock_gettime(CLOCK_MONOTONIC, &now);
      std::uint64_t nowMicros = static_cast<std::uint64_t>(now.tv_sec) * 1'000'000 + now.tv_nsec / 1000;
      waitMillis = timeout <= nowMicros
                       ? 0
                       : static_cast<int>(std::min<std::uint64_t>((timeout - nowMicros + 999) / 1000, 60'000));
    }
    pollfd fds[2] = {{fd, events, 0}, {state->wakeFd, POLLIN, 0}};
    ::poll(fds, 2, waitMillis);
    if (fds[1].revents & POLLIN) {
      std::uint64_t count = 0;
      [[maybe_unused]] auto got = ::read(state->wakeFd, &count, sizeof count);
    }
  }
}

Message Bus::call(const char* destination, const char* path, const char* interface, const char* member,
                  const std::function<void(sd_bus_message*)>& append, std::uint64_t timeoutMicros) {
  return locked([&](sd_bus* bus) {
    sd_bus_message* request = nullptr;
    int result = sd_bus_message_new_method_call(bus, &request, destination, path, interface, member);
    if (result < 0) throw BusError(describeBusError(std::string("cannot call ") + member, result));
    Message owned(request);
    if (append) append(request);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    result = sd_bus_call(bus, request, timeoutMicros, &error, &reply);
    if (result < 0) {
      std::string text = describeBusError(std::string(interface) + "." + member, result, &error);
      sd_bus_error_free(&error);
      throw BusError(text);
    }
    return Message(reply);
  });
}

bool Bus::nameHasOwner(const std::string& name) {
  try {
    Message reply = call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
                         [&](sd_bus_message* m) { sd_bus_message_append(m, "s", name.c_str()); });
    int has = 0;
    return sd_bus_message_read(reply.get(), "b", &has) >= 0 && has != 0;
  } catch (const BusError&) {
    return false;
  }
}

namespace {
int dispatchSignal(sd_bus_message* message, void* userdata, sd_bus_error*) {
  auto* handler = static_cast<std::function<void(sd_bus_message*)>*>(userdata);
  (*handler)(message);
  return 0;
}
}  // namespace

std::unique_ptr<Bus::Subscription> Bus::subscribe(const std::string& path, const std::string& interface,
                                                  const std::string& member,
                                                  std::function<void(sd_bus_message*)> handler) {
  std::unique_ptr<Subscription> subscription(new Subscription());
  subscription->bus_ = shared_from_this();
  subscription->handler_ = std::move(handler);
  int result = locked([&](sd_bus* bus) {
    return sd_bus_match_signal(bus, &subscription->slot_, nullptr, path.c_str(), interface.c_str(), member.c_str(),
                               dispatchSignal, &subscription->handler_);
  });
  if (result < 0) {
    subscription->bus_.reset();
    throw BusError(describeBusError("cannot watch " + interface + "." + member, result));
  }
  return subscription;
}

Bus::Subscription::~Subscription() {
  if (bus_ && slot_ != nullptr) {
    bus_->locked([&](sd_bus*) {
      sd_bus_slot_unref(slot_);
      return 0;
    });
  }
}

}  // namespace marlinax::platform::wayland
