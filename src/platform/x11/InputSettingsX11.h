#pragma once

// The desktop's double-click interval on X11. Desktops publish their input settings through
// an XSETTINGS manager: the owner of the selection _XSETTINGS_S<screen> keeps every setting,
// in a small binary format, in its _XSETTINGS_SETTINGS property; the interval is the integer
// "Net/DoubleClickTime" in milliseconds.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

#include <X11/Xlib.h>

#include "codec/Bytes.h"
#include "platform/InputPoster.h"

namespace marlinax::platform::x11 {

// The integer setting called `name` in an _XSETTINGS_SETTINGS property value; nothing when
// the value is malformed or holds no integer of that name.
std::optional<std::int32_t> xsettingsInteger(ByteView settings, std::string_view name);

// Reads the current double-click interval of the display's default screen, or
// kDefaultDoubleClickInterval when no XSETTINGS manager publishes a positive one. Costs two round
// trips. The caller owns the connection and serialises its use; X errors on it (such as the
// manager's window vanishing) must not be fatal, which the caller's error handler ensures.
std::chrono::nanoseconds desktopDoubleClickInterval(Display* display);

}  // namespace marlinax::platform::x11
