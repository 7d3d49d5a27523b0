#include "platform/wayland/InputPosterPortal.h"

#include <algorithm>
#include <cmath>
#include <thread>

#include <linux/input-event-codes.h>

#include "log/Log.h"
#include "platform/EvdevKeys.h"
#include "platform/wayland/Bus.h"
#include "platform/wayland/ScreenCastPortal.h"

namespace marlinax::platform::wayland {

namespace {
// How long the compositor may take to take in the new virtual devices.
constexpr auto deviceSettleTime = std::chrono::milliseconds(500);
}  // namespace

InputPosterPortal::InputPosterPortal(std::shared_ptr<Bus> bus, std::chrono::milliseconds answerTimeout)
    : request_(std::make_shared<Request>()) {
  std::thread([request = request_, bus = std::move(bus), answerTimeout] {
    std::shared_ptr<ScreenCastPortalSession> session;
    try {
      session = std::make_shared<ScreenCastPortalSession>(bus, ScreenCastPortalSession::RemoteDesktop{}, answerTimeout);
      session->start();
      if ((session->devices() & 3u) != 3u) throw BusError("the user did not allow keyboard and pointer");
      // The first event of each kind makes the compositor's device and may be
      // lost: a tap of Shift alone and a pointer motion by nothing make them.
      session->notify("NotifyKeyboardKeycode",
                      [](sd_bus_message* m) { sd_bus_message_append(m, "a{sv}iu", 0, KEY_LEFTSHIFT, 1u); });
      session->notify("NotifyKeyboardKeycode",
                      [](sd_bus_message* m) { sd_bus_message_append(m, "a{sv}iu", 0, KEY_LEFTSHIFT, 0u); });
      session->notify("NotifyPointerMotion",
                      [](sd_bus_message* m) { sd_bus_message_append(m, "a{sv}dd", 0, 0.0, 0.0); });
      std::this_thread::sleep_for(deviceSettleTime);
    } catch (const BusError& error) {
      log::warning(std::string("no input through the remote-desktop portal: ") + error.what());
      session.reset();
    }
    std::lock_guard lock(request->mutex);
    request->session = std::move(session);
    request->done = true;
    request->answered.notify_all();
  }).detach();
}

InputPosterPortal::~InputPosterPortal() {
  std::lock_guard lock(mutex_);
  ScreenCastPortalSession* current = session();
  if (current == nullptr) return;
  // Leave nothing pressed behind: a held modifier would spoil the local user's typing.
  try {
    for (std::uint32_t key : keysHeld_) {
      current->notify("NotifyKeyboardKeycode",
                      [&](sd_bus_message* m) { sd_bus_message_append(m, "a{sv}iu", 0, static_cast<int>(key), 0u); });
    }
    if (buttonHeld_) {
      current->notify("NotifyPointerButton",
                      [](sd_bus_message* m) { sd_bus_message_append(m, "a{sv}iu", 0, BTN_LEFT, 0u); });
    }
  } catch (const BusError& error) {
    log::warning(std::string("could not release held keys and buttons: ") + error.what());
  }
}

ScreenCastPortalSession* InputPosterPortal::session() {
  std::lock_guard lock(request_->mutex);
  return request_->session.get();
}

bool InputPosterPortal::waitUntilReady(std::chrono::milliseconds timeout) {
  std::unique_lock lock(request_->mutex);
  request_->answered.wait_for(lock, timeout, [&] { return request_->done; });
  return request_->session != nullptr;
}

template <class Call>
bool InputPosterPortal::send(Call&& call) {
  ScreenCastPortalSession* current = session();
  if (current == nullptr) {
    ++failures_;
    return false;
  }
  try {
    call(*current);
    return true;
  } catch (const BusError& error) {
    ++failures_;
    log::warning(std::string("input refused: ") + error.what());
    return false;
  }
}

bool InputPosterPortal::movePointer(double x, double y) {
  ScreenCastPortalSession* current = session();
  if (current == nullptr || !std::isfinite(x) || !std::isfinite(y)) {
    ++failures_;
    return false;
  }
  for (const PortalStream& stream : current->streams()) {
    if (!stream.hasGeometry || x < stream.x || y < stream.y || x >= stream.x + stream.width ||
        y >= stream.y + stream.height) {
      continue;
    }
    const double sx = x - stream.x, sy = y - stream.y;
    const std::uint32_t node = stream.node;
    return send([&](ScreenCastPortalSession& session) {
      session.notify("NotifyPointerMotionAbsolute",
                     [&](sd_bus_message* m) { sd_bus_message_append(m, "a{sv}udd", 0, node, sx, sy); });
    });
  }
  ++failures_;  // on no shared monitor
  return false;
}

void InputPosterPortal::moveMouse(double x, double y) {
  std::lock_guard lock(mutex_);
  movePointer(x, y);
}

void InputPosterPortal::leftDown(double x, double y, std::optional<std::int64_t>) {
  std::lock_guard lock(mutex_);
  if (!movePointer(x, y)) return;
  if (send([](ScreenCastPortalSession& s) {
        s.notify("NotifyPointerButton",
                 [](sd_bus_message* m) { sd_bus_message_append(m, "a{sv}iu", 0, BTN_LEFT, 1u); });
      })) {
    buttonHeld_ = true;
  }
}

void InputPosterPortal::leftUp(double x, double y, std::optional<std::int64_t>) {
  std::lock_guard lock(mutex_);
  if (!movePointer(x, y)) return;
  if (send([](ScreenCastPortalSession& s) {
        s.notify("NotifyPointerButton",
                 [](sd_bus_message* m) { sd_bus_message_append(m, "a{sv}iu", 0, BTN_LEFT, 0u); });
      })) {
    buttonHeld_ = false;
  }
}

void InputPosterPortal::dragTo(double x, double y) {
  std::lock_guard lock(mutex_);
  movePointer(x, y);
}

void InputPosterPortal::scroll(ScrollPhase phase, std::int32_t pixelsX, std::int32_t pixelsY) {
  std::lock_guard lock(mutex_);
  if (phase == ScrollPhase::began) return;
  if (phase == ScrollPhase::changed && pixelsX == 0 && pixelsY == 0) return;
  const double dx = phase == ScrollPhase::changed ? -static_cast<double>(pixelsX) : 0;
  const double dy = phase == ScrollPhase::changed ? -static_cast<double>(pixelsY) : 0;
  const int finish = phase == ScrollPhase::ended ? 1 : 0;
  send([&](ScreenCastPortalSession& s) {
    s.notify("NotifyPointerAxis",
             [&](sd_bus_message* m) { sd_bus_message_append(m, "a{sv}dd", 1, "finish", "b", finish, dx, dy); });
  });
}

void InputPosterPortal::postKey(input::KeyCode key, bool down) {
  const std::uint16_t code = evdevKeyCode(key);
  if (code == KEY_RESERVED) return;
  std::lock_guard lock(mutex_);
  if (!send([&](ScreenCastPortalSession& s) {
        s.notify("NotifyKeyboardKeycode", [&](sd_bus_message* m) {
          sd_bus_message_append(m, "a{sv}iu", 0, static_cast<int>(code), down ? 1u : 0u);
        });
      })) {
    return;
  }
  std::erase(keysHeld_, code);
  if (down) keysHeld_.push_back(code);
}

std::chrono::nanoseconds InputPosterPortal::doubleClickInterval() { return kDefaultDoubleClickInterval; }

std::uint64_t InputPosterPortal::failures() const {
  std::lock_guard lock(mutex_);
  return failures_;
}

}  // namespace marlinax::platform::wayland
