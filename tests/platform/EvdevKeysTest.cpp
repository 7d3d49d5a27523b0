#include "platform/EvdevKeys.h"

#include <gtest/gtest.h>

#include <set>
#include <utility>
#include <vector>

namespace marlinax::platform {
namespace {

// Every key sits at its PC place (what mutter, the portal and X11's evdev keymaps take).
TEST(EvdevKeyCode, PutsEveryKeyAtItsPcPlace) {
  const std::vector<std::pair<input::KeyCode, std::uint16_t>> cases = {
      {input::KeyCode::key_A, KEY_A},
      {input::KeyCode::key_B, KEY_B},
      {input::KeyCode::key_Return, KEY_ENTER},
      {input::KeyCode::key_Delete, KEY_BACKSPACE},
      {input::KeyCode::key_ForwardDelete, KEY_DELETE},
      {input::KeyCode::key_Command, KEY_LEFTMETA},
      {input::KeyCode::key_RightCommand, KEY_RIGHTMETA},
      {input::KeyCode::key_Option, KEY_LEFTALT},
      {input::KeyCode::key_Help, KEY_INSERT},
      {input::KeyCode::key_KeypadClear, KEY_NUMLOCK},
      {input::KeyCode::key_Grave, KEY_GRAVE},
      {input::KeyCode::key_Function, KEY_FN},
      {input::KeyCode::key_UpArrow, KEY_UP},
      {input::KeyCode::key_F20, KEY_F20},
  };
  for (const auto& [key, code] : cases) EXPECT_EQ(evdevKeyCode(key), code) << static_cast<int>(key);
  // Every key has a code of its own.
  std::set<std::uint16_t> seen;
  for (std::int64_t raw = 0; raw < input::keyCodeCount; ++raw) {
    std::uint16_t code = evdevKeyCode(static_cast<input::KeyCode>(raw));
    EXPECT_NE(code, KEY_RESERVED) << raw;
    EXPECT_TRUE(seen.insert(code).second) << "raw " << raw << " shares code " << code;
  }
  EXPECT_EQ(evdevKeyCode(static_cast<input::KeyCode>(113)), KEY_RESERVED);
  // The one key beyond what X keycodes (at most 255 = evdev code 247) can reach.
  EXPECT_GT(evdevKeyCode(input::KeyCode::key_Function) + 8, 255);
}

}  // namespace
}  // namespace marlinax::platform
