#include "platform/wayland/MutterSession.h"

#include "platform/wayland/Bus.h"

namespace marlinax::platform::wayland {

namespace {

constexpr const char* remoteDesktopName = "org.gnome.Mutter.RemoteDesktop";
constexpr const char* screenCastName = "org.gnome.Mutter.ScreenCast";

std::string readPath(const Message& reply, const char* what) {
  const char* path = nullptr;
  int result = sd_bus_message_read(reply.get(), "o", &path);
  if (result < 0) throw BusError(describeBusError(std::string("unexpected reply to ") + what, result));
  return path;
}

void appendCursorMode(sd_bus_message* m, CursorMode cursor) {
  sd_bus_message_append(m, "a{sv}", 1, "cursor-mode", "u", static_cast<std::uint32_t>(cursor));
}

}  // namespace

MutterSession::MutterSession(std::shared_ptr<Bus> bus, bool remoteDesktop)
    : bus_(std::move(bus)), remoteDesktop_(remoteDesktop) {
  std::string sessionId;
  if (remoteDesktop_) {
    Message reply =
        bus_->call(remoteDesktopName, "/org/gnome/Mutter/RemoteDesktop", remoteDesktopName, "CreateSession", nullptr);
    remoteDesktopPath_ = readPath(reply, "RemoteDesktop.CreateSession");
    char* id = nullptr;
    int result = bus_->locked([&](sd_bus* raw) {
      sd_bus_error error = SD_BUS_ERROR_NULL;
      int r = sd_bus_get_property_string(raw, remoteDesktopName, remoteDesktopPath_.c_str(),
                                         "org.gnome.Mutter.RemoteDesktop.Session", "SessionId", &error, &id);
      sd_bus_error_free(&error);
      return r;
    });
    if (result < 0) throw BusError(describeBusError("cannot read the remote-desktop session's id", result));
    sessionId = id;
    free(id);
  }
  Message reply = bus_->call(
      screenCastName, "/org/gnome/Mutter/ScreenCast", screenCastName, "CreateSession", [&](sd_bus_message* m) {
        if (remoteDesktop_) {
          sd_bus_message_append(m, "a{sv}", 1, "remote-desktop-session-id", "s", sessionId.c_str());
        } else {
          sd_bus_message_append(m, "a{sv}", 0);
        }
      });
  screenCastPath_ = readPath(reply, "ScreenCast.CreateSession");
  auto onClosed = [this](sd_bus_message*) {
    std::lock_guard lock(mutex_);
    closed_ = true;
    changed_.notify_all();
  };
  if (remoteDesktop_) {
    subscriptions_.push_back(
        bus_->subscribe(remoteDesktopPath_, "org.gnome.Mutter.RemoteDesktop.Session", "Closed", onClosed));
  }
  subscriptions_.push_back(bus_->subscribe(screenCastPath_, "org.gnome.Mutter.ScreenCast.Session", "Closed", onClosed));
}

MutterSession::~MutterSession() {
  stop();
  subscriptions_.clear();  // waits for running handlers, which use this object
}

std::string MutterSession::recordMonitor(const std::string& connector, CursorMode cursor) {
  Message reply = bus_->call(screenCastName, screenCastPath_.c_str(), "org.gnome.Mutter.ScreenCast.Session",
                             "RecordMonitor", [&](sd_bus_message* m) {
                               sd_bus_message_append(m, "s", connector.c_str());
                               appendCursorMode(m, cursor);
                             });
  std::string stream = readPath(reply, "RecordMonitor");
  streams_.push_back(stream);
  subscriptions_.push_back(bus_->subscribe(stream, "org.gnome.Mutter.ScreenCast.Stream", "PipeWireStreamAdded",
                                           [this, stream](sd_bus_message* m) {
                                             std::uint32_t node = 0;
                                             if (sd_bus_message_read(m, "u", &node) < 0) return;
                                             std::lock_guard lock(mutex_);
                                             nodes_[stream] = node;
                                             changed_.notify_all();
                                           }));
  return stream;
}

std::string MutterSession::recordVirtual(CursorMode cursor) {
  Message reply = bus_->call(screenCastName, screenCastPath_.c_str(), "org.gnome.Mutter.ScreenCast.Session",
                             "RecordVirtual", [&](sd_bus_message* m) { appendCursorMode(m, cursor); });
  std::string stream = readPath(reply, "RecordVirtual");
  streams_.push_back(stream);
  subscriptions_.push_back(bus_->subscribe(stream, "org.gnome.Mutter.ScreenCast.Stream", "PipeWireStreamAdded",
                                           [this, stream](sd_bus_message* m) {
                                             std::uint32_t node = 0;
                                             if (sd_bus_message_read(m, "u", &node) < 0) return;
                                             std::lock_guard lock(mutex_);
                                             nodes_[stream] = node;
                                             changed_.notify_all();
                                           }));
  return stream;
}

void MutterSession::start(std::chrono::milliseconds timeout) {
  if (remoteDesktop_) {
    bus_->call(remoteDesktopName, remoteDesktopPath_.c_str(), "org.gnome.Mutter.RemoteDesktop.Session", "Start",
               nullptr);
  } else {
    bus_->call(screenCastName, screenCastPath_.c_str(), "org.gnome.Mutter.ScreenCast.Session", "Start", nullptr);
  }
  std::unique_lock lock(mutex_);
  started_ = true;
  bool ready = changed_.wait_for(lock, timeout, [&] { return closed_ || nodes_.size() >= streams_.size(); });
  if (closed_) throw BusError("mutter closed the screen-cast session at its start");
  if (!ready) throw BusError("mutter published no PipeWire stream for the screen cast");
}

void MutterSession::stop() {
  {
    std::lock_guard lock(mutex_);
    if (!started_ || closed_) {
      started_ = false;
      return;
    }
    started_ = false;
  }
  try {
    if (remoteDesktop_) {
      bus_->call(remoteDesktopName, remoteDesktopPath_.c_str(), "org.gnome.Mutter.RemoteDesktop.Session", "Stop",
                 nullptr);
    } else {
      bus_->call(screenCastName, screenCastPath_.c_str(), "org.gnome.Mutter.ScreenCast.Session", "Stop", nullptr);
    }
  } catch (const BusError&) {
    // Already gone.
  }
}

std::uint32_t MutterSession::node(const std::string& stream) const {
  std::lock_guard lock(mutex_);
  auto found = nodes_.find(stream);
  if (found == nodes_.end()) throw BusError("the stream has no PipeWire node");
  return found->second;
}

bool MutterSession::closed() const {
  std::lock_guard lock(mutex_);
  return closed_;
}

void MutterSession::pointerMotionAbsolute(const std::string& stream, double x, double y) {
  bus_->call(remoteDesktopName, remoteDesktopPath_.c_str(), "org.gnome.Mutter.RemoteDesktop.Session",
             "NotifyPointerMotionAbsolute",
             [&](sd_bus_message* m) { sd_bus_message_append(m, "sdd", stream.c_str(), x, y); });
}

void MutterSession::pointerMotionRelative(double dx, double dy) {
  bus_->call(remoteDesktopName, remoteDesktopPath_.c_str(), "org.gnome.Mutter.RemoteDesktop.Session",
             "NotifyPointerMotionRelative", [&](sd_bus_message* m) { sd_bus_message_append(m, "dd", dx, dy); });
}

void MutterSession::pointerButton(std::int32_t button, bool pressed) {
  bus_->call(remoteDesktopName, remoteDesktopPath_.c_str(), "org.gnome.Mutter.RemoteDesktop.Session",
             "NotifyPointerButton",
             [&](sd_bus_message* m) { sd_bus_message_append(m, "ib", button, static_cast<int>(pressed)); });
}

void MutterSession::pointerAxis(double dx, double dy, bool finish) {
  // Flags: 1 = the gesture ends (kinetic scrolling may follow), 4 = the source is a finger on a touch
  // surface, which is how the headset's scroll gestures are made.
  std::uint32_t flags = 4u | (finish ? 1u : 0u);
  bus_->call(remoteDesktopName, remoteDesktopPath_.c_str(), "org.gnome.Mutter.RemoteDesktop.Session",
             "NotifyPointerAxis", [&](sd_bus_message* m) { sd_bus_message_append(m, "ddu", dx, dy, flags); });
}

void MutterSession::keyboardKeycode(std::uint32_t keycode, bool pressed) {
  bus_->call(remoteDesktopName, remoteDesktopPath_.c_str(), "org.gnome.Mutter.RemoteDesktop.Session",
             "NotifyKeyboardKeycode",
             [&](sd_bus_message* m) { sd_bus_message_append(m, "ub", keycode, static_cast<int>(pressed)); });
}

}  // namespace marlinax::platform::wayland

namespace marlinax::platform::wayland {

void MutterSession::notify(const char* member, const std::function<void(sd_bus_message*)>& append) {
  bus_->call(remoteDesktopName, remoteDesktopPath_.c_str(), "org.gnome.Mutter.RemoteDesktop.Session", member, append);
}

}  // namespace marlinax::platform::wayland
