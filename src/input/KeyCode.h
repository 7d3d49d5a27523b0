#pragma once

// The headset's key vocabulary: one case per physical key of a Mac ANSI keyboard. A key
// travels as its raw value (its position in the list, 0 to 112); the order of the cases
// is therefore part of the wire format and must never change.

#include <cstdint>
#include <optional>

#include "codec/Cod.h"

namespace marlinax::input {

enum class KeyCode : std::int64_t {
  key_A = 0,
  key_S = 1,
  key_D = 2,
  key_F = 3,
  key_H = 4,
  key_G = 5,
  key_Z = 6,
  key_X = 7,
  key_C = 8,
  key_V = 9,
  key_B = 10,
  key_Q = 11,
  key_W = 12,
  key_E = 13,
  key_R = 14,
  key_Y = 15,
  key_T = 16,
  key_1 = 17,
  key_2 = 18,
  key_3 = 19,
  key_4 = 20,
  key_6 = 21,
  key_5 = 22,
  key_Equal = 23,
  key_9 = 24,
  key_7 = 25,
  key_Minus = 26,
  key_8 = 27,
  key_0 = 28,
  key_RightBracket = 29,
  key_O = 30,
  key_U = 31,
  key_LeftBracket = 32,
  key_I = 33,
  key_P = 34,
  key_L = 35,
  key_J = 36,
  key_Quote = 37,
  key_K = 38,
  key_Semicolon = 39,
  key_Backslash = 40,
  key_Comma = 41,
  key_Slash = 42,
  key_N = 43,
  key_M = 44,
  key_Period = 45,
  key_Grave = 46,
  key_KeypadDecimal = 47,
  key_KeypadMultiply = 48,
  key_KeypadPlus = 49,
  key_KeypadClear = 50,
  key_KeypadDivide = 51,
  key_KeypadEnter = 52,
  key_KeypadMinus = 53,
  key_KeypadEquals = 54,
  key_Keypad0 = 55,
  key_Keypad1 = 56,
  key_Keypad2 = 57,
  key_Keypad3 = 58,
  key_Keypad4 = 59,
  key_Keypad5 = 60,
  key_Keypad6 = 61,
  key_Keypad7 = 62,
  key_Keypad8 = 63,
  key_Keypad9 = 64,
  key_Return = 65,
  key_Tab = 66,
  key_Space = 67,
  key_Delete = 68,
  key_Escape = 69,
  key_Command = 70,
  key_Shift = 71,
  key_CapsLock = 72,
  key_Option = 73,
  key_Control = 74,
  key_RightCommand = 75,
  key_RightShift = 76,
  key_RightOption = 77,
  key_RightControl = 78,
  key_Function = 79,
  key_F17 = 80,
  key_VolumeUp = 81,
  key_VolumeDown = 82,
  key_Mute = 83,
  key_F18 = 84,
  key_F19 = 85,
  key_F20 = 86,
  key_F5 = 87,
  key_F6 = 88,
  key_F7 = 89,
  key_F3 = 90,
  key_F8 = 91,
  key_F9 = 92,
  key_F11 = 93,
  key_F13 = 94,
  key_F16 = 95,
  key_F14 = 96,
  key_F10 = 97,
  key_F12 = 98,
  key_F15 = 99,
  key_Help = 100,
  key_Home = 101,
  key_PageUp = 102,
  key_ForwardDelete = 103,
  key_F4 = 104,
  key_End = 105,
  key_F2 = 106,
  key_PageDown = 107,
  key_F1 = 108,
  key_LeftArrow = 109,
  key_RightArrow = 110,
  key_DownArrow = 111,
  key_UpArrow = 112
};

// Number of cases; raw values are 0 ..< keyCodeCount.
inline constexpr std::int64_t keyCodeCount = 113;

// The case with the given raw value; nothing for a value outside 0 to 112.
constexpr std::optional<KeyCode> keyCodeFromRaw(std::int64_t raw) {
  if (raw < 0 || raw >= keyCodeCount) return std::nullopt;
  return static_cast<KeyCode>(raw);
}

// The macOS virtual key code of a key (the kVK_* constants of the Mac keyboard event
// interface). A value that is not one of the cases (only possible through a cast) gives
// 0xFFFF, which no key has.
constexpr std::uint16_t virtualKeyCode(KeyCode key) {
  switch (key) {
  case KeyCode::key_A: return 0x00;
  case KeyCode::key_S: return 0x01;
  case KeyCode::key_D: return 0x02;
  case KeyCode::key_F: return 0x03;
  case KeyCode::key_H: return 0x04;
  case KeyCode::key_G: return 0x05;
  case KeyCode::key_Z: return 0x06;
  case KeyCode::key_X: return 0x07;
  case KeyCode::key_C: return 0x08;
  case KeyCode::key_V: return 0x09;
  case KeyCode::key_B: return 0x0B;
  case KeyCode::key_Q: return 0x0C;
  case KeyCode::key_W: return 0x0D;
  case KeyCode::key_E: return 0x0E;
  case KeyCode::key_R: return 0x0F;
  case KeyCode::key_Y: return 0x10;
  case KeyCode::key_T: return 0x11;
  case KeyCode::key_1: return 0x12;
  case KeyCode::key_2: return 0x13;
  case KeyCode::key_3: return 0x14;
  case KeyCode::key_4: return 0x15;
  case KeyCode::key_6: return 0x16;
  case KeyCode::key_5: return 0x17;
  case KeyCode::key_Equal: return 0x18;
  case KeyCode::key_9: return 0x19;
  case KeyCode::key_7: return 0x1A;
  case KeyCode::key_Minus: return 0x1B;
  case KeyCode::key_8: return 0x1C;
  case KeyCode::key_0: return 0x1D;
  case KeyCode::key_RightBracket: return 0x1E;
  case KeyCode::key_O: return 0x1F;
  case KeyCode::key_U: return 0x20;
  case KeyCode::key_LeftBracket: return 0x21;
  case KeyCode::key_I: return 0x22;
  case KeyCode::key_P: return 0x23;
  case KeyCode::key_L: return 0x25;
  case KeyCode::key_J: return 0x26;
  case KeyCode::key_Quote: return 0x27;
  case KeyCode::key_K: return 0x28;
  case KeyCode::key_Semicolon: return 0x29;
  case KeyCode::key_Backslash: return 0x2A;
  case KeyCode::key_Comma: return 0x2B;
  case KeyCode::key_Slash: return 0x2C;
  case KeyCode::key_N: return 0x2D;
  case KeyCode::key_M: return 0x2E;
  case KeyCode::key_Period: return 0x2F;
  case KeyCode::key_Grave: return 0x32;
  case KeyCode::key_KeypadDecimal: return 0x41;
  case KeyCode::key_KeypadMultiply: return 0x43;
  case KeyCode::key_KeypadPlus: return 0x45;
  case KeyCode::key_KeypadClear: return 0x47;
  case KeyCode::key_KeypadDivide: return 0x4B;
  case KeyCode::key_KeypadEnter: return 0x4C;
  case KeyCode::key_KeypadMinus: return 0x4E;
  case KeyCode::key_KeypadEquals: return 0x51;
  case KeyCode::key_Keypad0: return 0x52;
  case KeyCode::key_Keypad1: return 0x53;
  case KeyCode::key_Keypad2: return 0x54;
  case KeyCode::key_Keypad3: return 0x55;
  case KeyCode::key_Keypad4: return 0x56;
  case KeyCode::key_Keypad5: return 0x57;
  case KeyCode::key_Keypad6: return 0x58;
  case KeyCode::key_Keypad7: return 0x59;
  case KeyCode::key_Keypad8: return 0x5B;
  case KeyCode::key_Keypad9: return 0x5C;
  case KeyCode::key_Return: return 0x24;
  case KeyCode::key_Tab: return 0x30;
  case KeyCode::key_Space: return 0x31;
  case KeyCode::key_Delete: return 0x33;
  case KeyCode::key_Escape: return 0x35;
  case KeyCode::key_Command: return 0x37;
  case KeyCode::key_Shift: return 0x38;
  case KeyCode::key_CapsLock: return 0x39;
  case KeyCode::key_Option: return 0x3A;
  case KeyCode::key_Control: return 0x3B;
  case KeyCode::key_RightCommand: return 0x36;
  case KeyCode::key_RightShift: return 0x3C;
  case KeyCode::key_RightOption: return 0x3D;
  case KeyCode::key_RightControl: return 0x3E;
  case KeyCode::key_Function: return 0x3F;
  case KeyCode::key_F17: return 0x40;
  case KeyCode::key_VolumeUp: return 0x48;
  case KeyCode::key_VolumeDown: return 0x49;
  case KeyCode::key_Mute: return 0x4A;
  case KeyCode::key_F18: return 0x4F;
  case KeyCode::key_F19: return 0x50;
  case KeyCode::key_F20: return 0x5A;
  case KeyCode::key_F5: return 0x60;
  case KeyCode::key_F6: return 0x61;
  case KeyCode::key_F7: return 0x62;
  case KeyCode::key_F3: return 0x63;
  case KeyCode::key_F8: return 0x64;
  case KeyCode::key_F9: return 0x65;
  case KeyCode::key_F11: return 0x67;
  case KeyCode::key_F13: return 0x69;
  case KeyCode::key_F16: return 0x6A;
  case KeyCode::key_F14: return 0x6B;
  case KeyCode::key_F10: return 0x6D;
  case KeyCode::key_F12: return 0x6F;
  case KeyCode::key_F15: return 0x71;
  case KeyCode::key_Help: return 0x72;
  case KeyCode::key_Home: return 0x73;
  case KeyCode::key_PageUp: return 0x74;
  case KeyCode::key_ForwardDelete: return 0x75;
  case KeyCode::key_F4: return 0x76;
  case KeyCode::key_End: return 0x77;
  case KeyCode::key_F2: return 0x78;
  case KeyCode::key_PageDown: return 0x79;
  case KeyCode::key_F1: return 0x7A;
  case KeyCode::key_LeftArrow: return 0x7B;
  case KeyCode::key_RightArrow: return 0x7C;
  case KeyCode::key_DownArrow: return 0x7D;
  case KeyCode::key_UpArrow: return 0x7E;
  }
  return 0xFFFF;
}

}  // namespace marlinax::input

namespace marlinax::codec {

// A key is encoded as the single-value signed integer of its raw value; a raw value outside
// 0 to 112 does not decode.
template <>
struct RawValueEnum<input::KeyCode> {
  using Raw = std::int64_t;
  static std::optional<input::KeyCode> fromRaw(Raw raw) { return input::keyCodeFromRaw(raw); }
  static Raw toRaw(input::KeyCode key) { return static_cast<Raw>(key); }
};

}  // namespace marlinax::codec
