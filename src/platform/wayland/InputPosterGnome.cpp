#include "platform/wayland/InputPosterGnome.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>

#include <linux/input-event-codes.h>

#include "log/Log.h"
#include "platform/EvdevKeys.h"
#include "platform/wayland/Bus.h"
#include "platform/wayland/MutterSession.h"

namespace marlinax::platform::wayland {

namespace {
// How long mutter may take to take in a new virtual device (measured: well under
// 100 ms on an idle machine).
constexpr auto deviceSettleTime = std::chrono::milliseconds(500);
}  // namespace

std::optional<StreamPoint> streamPoint(const std::vector<GnomeDisplay>& displays, double x, double y) {
  if (!std::isfinite(x) || !std::isfinite(y)) return std::nullopt;
  const GnomeDisplay* display = displayAt(displays, x, y);
  if (display == nullptr) return std::nullopt;
  const codec::Rect& frame = display->info.frame;
  return StreamPoint{static_cast<std::size_t>(display - displays.data()), (x - frame.x) * display->streamScale,
                     (y - frame.y) * display->streamScale};
}

InputPosterGnome::InputPosterGnome(std::shared_ptr<Bus> bus)
    : bus_(std::move(bus)), monitorsChanged_(std::make_shared<std::atomic<bool>>(false)) {
  if (!bus_->nameHasOwner("org.gnome.Mutter.RemoteDesktop")) {
    throw BusError("mutter's remote desktop is not on the session bus");
  }
  monitorsWatch_ =
      bus_->subscribe("/org/gnome/Mutter/DisplayConfig", "org.gnome.Mutter.DisplayConfig", "MonitorsChanged",
                      [changed = monitorsChanged_](sd_bus_message*) { *changed = true; });
  // The session and its devices are made now, so that they are ready by the
  // time the first input arrives.
  std::lock_guard lock(mutex_);
  ensureSession();
}

InputPosterGnome::~InputPosterGnome() {
  std::lock_guard lock(mutex_);
  // Leave nothing pressed behind: a held modifier would spoil the local user's typing.
  if (session_ && !session_->closed()) {
    try {
      for (std::uint32_t key : keysHeld_) session_->keyboardKeycode(key, false);
      if (buttonHeld_) session_->pointerButton(BTN_LEFT, false);
    } catch (const BusError& error) {
      log::warning(std::string("could not release held keys and buttons: ") + error.what());
    }
  }
  dropSession();
  monitorsWatch_.reset();
}

void InputPosterGnome::dropSession() {
  session_.reset();
  streams_.clear();
  displays_.clear();
}

bool InputPosterGnome::ensureSession() {
  if (session_ && !session_->closed() && !*monitorsChanged_) return true;
  *monitorsChanged_ = false;
  try {
    auto displays = currentDisplays(*bus_);
    if (session_ && !session_->closed() && displays.size() == displays_.size() &&
        std::equal(displays.begin(), displays.end(), displays_.begin(),
                   [](const GnomeDisplay& a, const GnomeDisplay& b) { return a.connector == b.connector; })) {
      displays_ = std::move(displays);  // same monitors, maybe moved: the streams stay valid
      return true;
    }
    dropSession();
    auto session = std::make_unique<MutterSession>(bus_, true);
    std::vector<std::string> streams;
    for (const GnomeDisplay& display : displays) {
      streams.push_back(session->recordMonitor(display.connector, CursorMode::hidden));
    }
    session->start();
    // Mutter makes its virtual keyboard and pointer with the first event of each
    // kind, and events that arrive before the compositor has taken the new device
    // in are lost. A tap of Shift alone and a pointer motion by nothing make the
    // devices without doing anything; the first real event waits a moment for them.
    try {
      session->keyboardKeycode(KEY_LEFTSHIFT, true);
      session->keyboardKeycode(KEY_LEFTSHIFT, false);
      session->pointerMotionRelative(0, 0);
    } catch (const BusError& error) {
      log::warning(std::string("remote-desktop session of mutter: cannot make its devices: ") + error.what());
    }
    devicesReady_ = std::chrono::steady_clock::now() + deviceSettleTime;
    session_ = std::move(session);
    streams_ = std::move(streams);
    displays_ = std::move(displays);
    return true;
  } catch (const BusError& error) {
    log::warning(std::string("remote-desktop session of mutter: ") + error.what());
    dropSession();
    return false;
  }
}

template <class Call>
bool InputPosterGnome::send(Call&& call) {
  if (!ensureSession()) {
    ++failures_;
    return false;
  }
  if (devicesReady_) {
    std::this_thread::sleep_until(*devicesReady_);
    devicesReady_.reset();
  }
  try {
    call(*session_);
    return true;
  } catch (const BusError& error) {
    ++failures_;
    log::warning(std::string("input refused: ") + error.what());
    if (session_->closed()) dropSession();
    return false;
  }
}

bool InputPosterGnome::movePointer(double x, double y) {
  if (!ensureSession()) {
    ++failures_;
    return false;
  }
  auto point = streamPoint(displays_, x, y);
  if (!point) {
    // Off every monitor: mutter cannot place the pointer there; the nearest
    // monitor's edge is where a pointer pushed past it would stop.
    if (displays_.empty() || !std::isfinite(x) || !std::isfinite(y)) return false;
    const GnomeDisplay* nearest = &displays_.front();
    double best = INFINITY;
    for (const GnomeDisplay& display : displays_) {
      const codec::Rect& f = display.info.frame;
      double dx = std::max({f.x - x, 0.0, x - (f.x + f.width - 1)});
      double dy = std::max({f.y - y, 0.0, y - (f.y + f.height - 1)});
      if (dx * dx + dy * dy < best) {
        best = dx * dx + dy * dy;
        nearest = &display;
      }
    }
    const codec::Rect& f = nearest->info.frame;
    point = streamPoint(displays_, std::clamp(x, f.x, f.x + f.width - 1), std::clamp(y, f.y, f.y + f.height - 1));
    if (!point) return false;
  }
  const std::string stream = streams_[point->display];
  return send([&](MutterSession& session) { session.pointerMotionAbsolute(stream, point->x, point->y); });
}

void InputPosterGnome::moveMouse(double x, double y) {
  std::lock_guard lock(mutex_);
  movePointer(x, y);
}

void InputPosterGnome::leftDown(double x, double y, std::optional<std::int64_t>) {
  std::lock_guard lock(mutex_);
  if (!movePointer(x, y)) return;
  if (send([](MutterSession& session) { session.pointerButton(BTN_LEFT, true); })) buttonHeld_ = true;
}

void InputPosterGnome::leftUp(double x, double y, std::optional<std::int64_t>) {
  std::lock_guard lock(mutex_);
  if (!movePointer(x, y)) return;
  if (send([](MutterSession& session) { session.pointerButton(BTN_LEFT, false); })) buttonHeld_ = false;
}

void InputPosterGnome::dragTo(double x, double y) {
  std::lock_guard lock(mutex_);
  movePointer(x, y);
}

void InputPosterGnome::scroll(ScrollPhase phase, std::int32_t pixelsX, std::int32_t pixelsY) {
  std::lock_guard lock(mutex_);
  switch (phase) {
  case ScrollPhase::began: return;  // a gesture begins with its first movement
  case ScrollPhase::changed:
    if (pixelsX == 0 && pixelsY == 0) return;
    send([&](MutterSession& session) {
      session.pointerAxis(-static_cast<double>(pixelsX), -static_cast<double>(pixelsY), false);
    });
    return;
  case ScrollPhase::ended: send([](MutterSession& session) { session.pointerAxis(0, 0, true); }); return;
  }
}

void InputPosterGnome::postKey(input::KeyCode key, bool down) {
  std::uint16_t code = evdevKeyCode(key);
  if (code == KEY_RESERVED) return;
  std::lock_guard lock(mutex_);
  if (!send([&](MutterSession& session) { session.keyboardKeycode(code, down); })) return;
  std::erase(keysHeld_, code);
  if (down) keysHeld_.push_back(code);
}

std::chrono::nanoseconds InputPosterGnome::doubleClickInterval() { return kDefaultDoubleClickInterval; }

std::uint64_t InputPosterGnome::failures() const {
  std::lock_guard lock(mutex_);
  return failures_;
}

}  // namespace marlinax::platform::wayland
