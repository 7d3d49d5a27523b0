#include "platform/x11/InputPosterX11.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <type_traits>
#include <utility>

#include <X11/XF86keysym.h>
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <linux/input-event-codes.h>

#include "log/Log.h"
#include "platform/EvdevKeys.h"
#include "platform/x11/InputSettingsX11.h"
#include "platform/x11/XDisplay.h"

namespace marlinax::platform::x11 {

namespace {

// Xlib's own KeyCode (an X keycode) and the headset's key vocabulary share a name.
using Key = input::KeyCode;

// The physical key at the same place on a PC keyboard, and the symbol that key carries on a
// US layout (used to check the server's keymap and to find the key on keymaps that are not
// evdev-based). Help sits where PC keyboards have Insert, keypad Clear where they have Num
// Lock; Command is the Super (Windows) key, Option is Alt. key_Function has no PC
// counterpart that X can post: KEY_FN + 8 is beyond the last X keycode (255), so the key
// is posted only if the keymap binds the XF86Fn symbol somewhere, which the usual keymaps
// do not.
// XF86XK_Fn: the keysyms of Linux keys without a traditional symbol are 0x10081000 plus the
// Linux code (XF86keysym.h spells it with a helper macro that it undefines again).
constexpr KeySym kFnSymbol = 0x10081000 + KEY_FN;

// The physical place of each key is its evdev code (platform/EvdevKeys.h); the table adds the
// symbol it carries on a US layout, for keymaps that are not evdev-based.
struct KeyEntry {
  Key key;
  KeySym symbol;
};

constexpr std::array<KeyEntry, input::keyCodeCount> keyTable = {{
    {Key::key_A, XK_a},
    {Key::key_S, XK_s},
    {Key::key_D, XK_d},
    {Key::key_F, XK_f},
    {Key::key_H, XK_h},
    {Key::key_G, XK_g},
    {Key::key_Z, XK_z},
    {Key::key_X, XK_x},
    {Key::key_C, XK_c},
    {Key::key_V, XK_v},
    {Key::key_B, XK_b},
    {Key::key_Q, XK_q},
    {Key::key_W, XK_w},
    {Key::key_E, XK_e},
    {Key::key_R, XK_r},
    {Key::key_Y, XK_y},
    {Key::key_T, XK_t},
    {Key::key_1, XK_1},
    {Key::key_2, XK_2},
    {Key::key_3, XK_3},
    {Key::key_4, XK_4},
    {Key::key_6, XK_6},
    {Key::key_5, XK_5},
    {Key::key_Equal, XK_equal},
    {Key::key_9, XK_9},
    {Key::key_7, XK_7},
    {Key::key_Minus, XK_minus},
    {Key::key_8, XK_8},
    {Key::key_0, XK_0},
    {Key::key_RightBracket, XK_bracketright},
    {Key::key_O, XK_o},
    {Key::key_U, XK_u},
    {Key::key_LeftBracket, XK_bracketleft},
    {Key::key_I, XK_i},
    {Key::key_P, XK_p},
    {Key::key_L, XK_l},
    {Key::key_J, XK_j},
    {Key::key_Quote, XK_apostrophe},
    {Key::key_K, XK_k},
    {Key::key_Semicolon, XK_semicolon},
    {Key::key_Backslash, XK_backslash},
    {Key::key_Comma, XK_comma},
    {Key::key_Slash, XK_slash},
    {Key::key_N, XK_n},
    {Key::key_M, XK_m},
    {Key::key_Period, XK_period},
    {Key::key_Grave, XK_grave},
    {Key::key_KeypadDecimal, XK_KP_Decimal},
    {Key::key_KeypadMultiply, XK_KP_Multiply},
    {Key::key_KeypadPlus, XK_KP_Add},
    {Key::key_KeypadClear, XK_Num_Lock},
    {Key::key_KeypadDivide, XK_KP_Divide},
    {Key::key_KeypadEnter, XK_KP_Enter},
    {Key::key_KeypadMinus, XK_KP_Subtract},
    {Key::key_KeypadEquals, XK_KP_Equal},
    {Key::key_Keypad0, XK_KP_0},
    {Key::key_Keypad1, XK_KP_1},
    {Key::key_Keypad2, XK_KP_2},
    {Key::key_Keypad3, XK_KP_3},
    {Key::key_Keypad4, XK_KP_4},
    {Key::key_Keypad5, XK_KP_5},
    {Key::key_Keypad6, XK_KP_6},
    {Key::key_Keypad7, XK_KP_7},
    {Key::key_Keypad8, XK_KP_8},
    {Key::key_Keypad9, XK_KP_9},
    {Key::key_Return, XK_Return},
    {Key::key_Tab, XK_Tab},
    {Key::key_Space, XK_space},
    {Key::key_Delete, XK_BackSpace},
    {Key::key_Escape, XK_Escape},
    {Key::key_Command, XK_Super_L},
    {Key::key_Shift, XK_Shift_L},
    {Key::key_CapsLock, XK_Caps_Lock},
    {Key::key_Option, XK_Alt_L},
    {Key::key_Control, XK_Control_L},
    {Key::key_RightCommand, XK_Super_R},
    {Key::key_RightShift, XK_Shift_R},
    {Key::key_RightOption, XK_Alt_R},
    {Key::key_RightControl, XK_Control_R},
    {Key::key_Function, kFnSymbol},
    {Key::key_F17, XK_F17},
    {Key::key_VolumeUp, XF86XK_AudioRaiseVolume},
    {Key::key_VolumeDown, XF86XK_AudioLowerVolume},
    {Key::key_Mute, XF86XK_AudioMute},
    {Key::key_F18, XK_F18},
    {Key::key_F19, XK_F19},
    {Key::key_F20, XK_F20},
    {Key::key_F5, XK_F5},
    {Key::key_F6, XK_F6},
    {Key::key_F7, XK_F7},
    {Key::key_F3, XK_F3},
    {Key::key_F8, XK_F8},
    {Key::key_F9, XK_F9},
    {Key::key_F11, XK_F11},
    {Key::key_F13, XK_F13},
    {Key::key_F16, XK_F16},
    {Key::key_F14, XK_F14},
    {Key::key_F10, XK_F10},
    {Key::key_F12, XK_F12},
    {Key::key_F15, XK_F15},
    {Key::key_Help, XK_Insert},
    {Key::key_Home, XK_Home},
    {Key::key_PageUp, XK_Prior},
    {Key::key_ForwardDelete, XK_Delete},
    {Key::key_F4, XK_F4},
    {Key::key_End, XK_End},
    {Key::key_F2, XK_F2},
    {Key::key_PageDown, XK_Next},
    {Key::key_F1, XK_F1},
    {Key::key_LeftArrow, XK_Left},
    {Key::key_RightArrow, XK_Right},
    {Key::key_DownArrow, XK_Down},
    {Key::key_UpArrow, XK_Up},
}};

constexpr int kEvdevKeycodeOffset = 8;
constexpr unsigned kLeftButton = 1;
constexpr unsigned kWheelUp = 4, kWheelDown = 5, kWheelLeft = 6, kWheelRight = 7;

// Xlib reports protocol errors through one process-wide handler whose default exits the
// process. Ours counts the errors of the connections registered here and hands every other
// connection's errors to the handler that was installed before it, unless that was Xlib's
// default: a stray error must not end the server.
// Root coordinates travel as 16-bit signed values; the server then confines the pointer to
// the screen. Nothing for a position that is not a number.
std::optional<std::pair<int, int>> rootPixel(double x, double y) {
  if (!std::isfinite(x) || !std::isfinite(y)) return std::nullopt;
  auto pixel = [](double v) { return static_cast<int>(std::lround(std::clamp(v, -32768.0, 32767.0))); };
  return std::pair{pixel(x), pixel(y)};
}

std::int32_t takeSteps(std::int64_t& remainder, std::int32_t pixels) {
  remainder += pixels;
  const std::int64_t steps = remainder / kPixelsPerWheelStep;  // toward zero
  remainder -= steps * kPixelsPerWheelStep;
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(steps, -kMaxWheelStepsPerEvent, kMaxWheelStepsPerEvent));
}

}  // namespace

WheelAccumulator::Steps WheelAccumulator::add(std::int32_t pixelsX, std::int32_t pixelsY) {
  return Steps{takeSteps(remainderX_, pixelsX), takeSteps(remainderY_, pixelsY)};
}

void WheelAccumulator::reset() {
  remainderX_ = 0;
  remainderY_ = 0;
}

struct InputPosterX11::Impl {
  std::string displayName;
  // Recorded errors and a lost connection never end the process. When the X
  // server goes away the next operation opens a new connection; while none can
  // be opened, events are dropped (the outage is logged once).
  std::unique_ptr<XDisplay> connection;
  bool outage = false;
  Display* display = nullptr;
  std::mutex mutex;
  std::atomic<std::uint64_t> errors{0};
  WheelAccumulator wheel;
  bool buttonHeld = false;
  std::set<std::uint8_t> keysHeld;
  std::array<std::optional<std::uint8_t>, input::keyCodeCount> keycodes{};
  bool keymapLoaded = false;
  std::optional<int> xkbEventType;

  // Throws XError.
  void open() {
    std::unique_ptr<XDisplay> opened = XDisplay::open(displayName);
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    if (!XTestQueryExtension(opened->get(), &eventBase, &errorBase, &major, &minor)) {
      throw XError("the X server has no XTEST extension");
    }
    connection = std::move(opened);
    display = connection->get();
    // A new server holds nothing pressed by us and may have another keymap.
    buttonHeld = false;
    keysHeld.clear();
    keymapLoaded = false;
    xkbEventType.reset();
    watchKeymap();
    // Events posted by this connection must not be held up by another client's grab.
    XTestGrabControl(display, True);
  }

  void ensureConnected() {
    if (connection && !connection->lost()) return;
    display = nullptr;
    connection.reset();
    open();
  }

  // Runs one operation with the mutex held, on a working connection. When
  // there is none, the operation's events are lost and `fallback` is returned.
  template <typename Operation, typename Result = std::invoke_result_t<Operation>>
  Result run(Operation&& operation, Result fallback = {}) {
    std::lock_guard lock(mutex);
    try {
      ensureConnected();
      Result result = operation();
      if (outage) log::info("Input reaches the X server again.");
      outage = false;
      return result;
    } catch (const XError& error) {
      if (!outage) log::warning(std::string("Input events are dropped: ") + error.what());
      outage = true;
      return fallback;
    }
  }

  // An operation that posts events and returns nothing.
  template <typename Operation>
  void post(Operation&& operation) {
    run([&] {
      operation();
      return true;
    });
  }

  // Every operation but a pointer move ends with a round trip, so its events have
  // reached the server (and any error has been counted) before the operation returns. Throws when the
  // connection broke meanwhile.
  void sync() {
    XSync(display, False);
    if (connection->lost()) throw XError("the X server connection was lost");
    if (connection->takeError() != 0) ++errors;
  }

  // A pointer move only flushes: the headset sends many a second, and a round
  // trip would wait behind whatever the X server is busy with (a frame grab of
  // the capture). Its error, or a lost connection, shows at the next round trip.
  void flush() {
    XFlush(display);
    if (connection->lost()) throw XError("the X server connection was lost");
  }

  void movePointer(std::pair<int, int> pixel) {
    XTestFakeMotionEvent(display, DefaultScreen(display), pixel.first, pixel.second, CurrentTime);
  }

  void setButton(bool down) {
    XTestFakeButtonEvent(display, kLeftButton, down ? True : False, CurrentTime);
    buttonHeld = down;
  }

  void clickWheel(unsigned button, std::int32_t count) {
    for (std::int32_t i = 0; i < count; ++i) {
      XTestFakeButtonEvent(display, button, True, CurrentTime);
      XTestFakeButtonEvent(display, button, False, CurrentTime);
    }
  }

  // Keymap changes reach an XKB-aware connection only as the XKB events it selected; a
  // server without XKB announces them with MappingNotify to every client.
  void watchKeymap() {
    int opcode = 0, eventBase = 0, errorBase = 0;
    int major = XkbMajorVersion, minor = XkbMinorVersion;
    if (!XkbQueryExtension(display, &opcode, &eventBase, &errorBase, &major, &minor)) return;
    const unsigned long changes = XkbMapNotifyMask | XkbNewKeyboardNotifyMask;
    if (XkbSelectEvents(display, XkbUseCoreKbd, changes, changes)) xkbEventType = eventBase;
  }

  void drainEvents() {
    while (XPending(display) > 0) {
      XEvent event;
      XNextEvent(display, &event);
      if (event.type == MappingNotify) {
        XRefreshKeyboardMapping(&event.xmapping);
        keymapLoaded = false;
      } else if (xkbEventType && event.type == *xkbEventType) {
        keymapLoaded = false;
      }
    }
  }

  std::optional<std::uint8_t> keycodeFor(Key key) {
    drainEvents();
    if (!keymapLoaded) {
      loadKeymap();
      keymapLoaded = true;
    }
    const auto raw = static_cast<std::int64_t>(key);
    if (raw < 0 || raw >= input::keyCodeCount) return std::nullopt;
    return keycodes[static_cast<std::size_t>(raw)];
  }

  // Resolves every key to an X keycode. On an evdev-based keymap (recognised by the arrow
  // keys sitting at their evdev places) a key is posted at its physical place whatever
  // symbol the layout puts there, as a real keyboard's key would be; only a place without
  // any symbol gives way to another keycode that carries the key's symbol. On any other
  // keymap keys are found by symbol.
  void loadKeymap() {
    keycodes.fill(std::nullopt);
    int minKeycode = 0, maxKeycode = 0;
    XDisplayKeycodes(display, &minKeycode, &maxKeycode);
    int perKeycode = 0;
    KeySym* symbols =
        XGetKeyboardMapping(display, static_cast<::KeyCode>(minKeycode), maxKeycode - minKeycode + 1, &perKeycode);
    if (symbols == nullptr) return;
    auto inRange = [&](int keycode) { return keycode >= minKeycode && keycode <= maxKeycode; };
    auto symbolAt = [&](int keycode, int index) { return symbols[(keycode - minKeycode) * perKeycode + index]; };
    auto carries = [&](int keycode, KeySym symbol) {
      if (!inRange(keycode)) return false;
      for (int i = 0; i < perKeycode; ++i) {
        if (symbolAt(keycode, i) == symbol) return true;
      }
      return false;
    };
    auto hasAnySymbol = [&](int keycode) {
      if (!inRange(keycode)) return false;
      for (int i = 0; i < perKeycode; ++i) {
        if (symbolAt(keycode, i) != NoSymbol) return true;
      }
      return false;
    };
    auto findSymbol = [&](KeySym symbol) -> std::optional<int> {
      for (int keycode = minKeycode; keycode <= maxKeycode; ++keycode) {
        if (carries(keycode, symbol)) return keycode;
      }
      return std::nullopt;
    };
    const bool evdevKeymap =
        carries(KEY_UP + kEvdevKeycodeOffset, XK_Up) && carries(KEY_LEFT + kEvdevKeycodeOffset, XK_Left);
    for (const KeyEntry& entry : keyTable) {
      const int physical = evdevKeyCode(entry.key) + kEvdevKeycodeOffset;
      std::optional<int> chosen;
      if (evdevKeymap && hasAnySymbol(physical)) {
        chosen = physical;
      } else if (auto bySymbol = findSymbol(entry.symbol)) {
        chosen = bySymbol;
      } else if (evdevKeymap && inRange(physical)) {
        chosen = physical;  // an unbound key still reaches clients as its keycode
      }
      if (chosen && *chosen >= 8 && *chosen <= 255) {
        keycodes[static_cast<std::size_t>(entry.key)] = static_cast<std::uint8_t>(*chosen);
      }
    }
    XFree(symbols);
  }
};

InputPosterX11::InputPosterX11(const std::string& displayName) : impl_(std::make_unique<Impl>()) {
  // The connection is used by whichever thread runs the owner's operation.
  impl_->displayName = displayName;
  impl_->open();
}

InputPosterX11::~InputPosterX11() {
  std::lock_guard lock(impl_->mutex);
  if (!impl_->connection || impl_->connection->lost()) return;
  // Leave nothing pressed behind: a held modifier would spoil the local user's typing.
  for (const std::uint8_t keycode : impl_->keysHeld) {
    XTestFakeKeyEvent(impl_->display, keycode, False, CurrentTime);
  }
  if (impl_->buttonHeld) impl_->setButton(false);
  XSync(impl_->display, False);
}

void InputPosterX11::moveMouse(double x, double y) {
  const auto pixel = rootPixel(x, y);
  if (!pixel) return;
  impl_->post([&] {
    impl_->movePointer(*pixel);
    impl_->flush();
  });
}

void InputPosterX11::leftDown(double x, double y, std::optional<std::int64_t>) {
  const auto pixel = rootPixel(x, y);
  if (!pixel) return;
  impl_->post([&] {
    impl_->movePointer(*pixel);
    impl_->setButton(true);
    impl_->sync();
  });
}

void InputPosterX11::leftUp(double x, double y, std::optional<std::int64_t>) {
  const auto pixel = rootPixel(x, y);
  if (!pixel) return;
  impl_->post([&] {
    impl_->movePointer(*pixel);
    impl_->setButton(false);
    impl_->sync();
  });
}

void InputPosterX11::dragTo(double x, double y) {
  const auto pixel = rootPixel(x, y);
  if (!pixel) return;
  impl_->post([&] {
    impl_->movePointer(*pixel);
    impl_->sync();
  });
}

void InputPosterX11::scroll(ScrollPhase phase, std::int32_t pixelsX, std::int32_t pixelsY) {
  impl_->post([&] {
    if (phase != ScrollPhase::changed) {
      // X wheels have no gesture phases; a gesture's edges only drop the carried remainder.
      impl_->wheel.reset();
      return;
    }
    const auto steps = impl_->wheel.add(pixelsX, pixelsY);
    if (steps.vertical == 0 && steps.horizontal == 0) return;
    impl_->clickWheel(steps.vertical > 0 ? kWheelUp : kWheelDown, std::abs(steps.vertical));
    impl_->clickWheel(steps.horizontal > 0 ? kWheelLeft : kWheelRight, std::abs(steps.horizontal));
    impl_->sync();
  });
}

void InputPosterX11::postKey(Key key, bool down) {
  impl_->post([&] {
    const auto keycode = impl_->keycodeFor(key);
    if (!keycode) return;
    XTestFakeKeyEvent(impl_->display, *keycode, down ? True : False, CurrentTime);
    if (down) {
      impl_->keysHeld.insert(*keycode);
    } else {
      impl_->keysHeld.erase(*keycode);
    }
    impl_->sync();
  });
}

std::chrono::nanoseconds InputPosterX11::doubleClickInterval() {
  return impl_->run([&] { return desktopDoubleClickInterval(impl_->display); },
                    std::chrono::nanoseconds(kDefaultDoubleClickInterval));
}

std::optional<std::uint8_t> InputPosterX11::xKeycode(Key key) {
  return impl_->run([&] { return impl_->keycodeFor(key); });
}

std::uint64_t InputPosterX11::protocolErrors() const { return impl_->errors.load(); }

InputServices makeInputServices(const std::string& displayName) {
  auto poster = std::make_shared<InputPosterX11>(displayName);
  return {poster, poster};
}

}  // namespace marlinax::platform::x11
