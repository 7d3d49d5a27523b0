#pragma once

// The Linux input event code (KEY_*) of each key of the headset's keyboard: the
// key at the same place on a PC keyboard. Help sits where PC keyboards have
// Insert, keypad Clear where they have Num Lock; Command is the Super (Windows)
// key, Option is Alt. Compositors that take evdev codes (mutter's remote
// desktop, the remote-desktop portal) are given these.

#include <cstdint>

#include <linux/input-event-codes.h>

#include "input/KeyCode.h"

namespace marlinax::platform {

// KEY_RESERVED (0) for a value that is not one of the cases.
constexpr std::uint16_t evdevKeyCode(input::KeyCode key) {
  using input::KeyCode;
  switch (key) {
  case KeyCode::key_A: return KEY_A;
  case KeyCode::key_S: return KEY_S;
  case KeyCode::key_D: return KEY_D;
  case KeyCode::key_F: return KEY_F;
  case KeyCode::key_H: return KEY_H;
  case KeyCode::key_G: return KEY_G;
  case KeyCode::key_Z: return KEY_Z;
  case KeyCode::key_X: return KEY_X;
  case KeyCode::key_C: return KEY_C;
  case KeyCode::key_V: return KEY_V;
  case KeyCode::key_B: return KEY_B;
  case KeyCode::key_Q: return KEY_Q;
  case KeyCode::key_W: return KEY_W;
  case KeyCode::key_E: return KEY_E;
  case KeyCode::key_R: return KEY_R;
  case KeyCode::key_Y: return KEY_Y;
  case KeyCode::key_T: return KEY_T;
  case KeyCode::key_1: return KEY_1;
  case KeyCode::key_2: return KEY_2;
  case KeyCode::key_3: return KEY_3;
  case KeyCode::key_4: return KEY_4;
  case KeyCode::key_6: return KEY_6;
  case KeyCode::key_5: return KEY_5;
  case KeyCode::key_Equal: return KEY_EQUAL;
  case KeyCode::key_9: return KEY_9;
  case KeyCode::key_7: return KEY_7;
  case KeyCode::key_Minus: return KEY_MINUS;
  case KeyCode::key_8: return KEY_8;
  case KeyCode::key_0: return KEY_0;
  case KeyCode::key_RightBracket: return KEY_RIGHTBRACE;
  case KeyCode::key_O: return KEY_O;
  case KeyCode::key_U: return KEY_U;
  case KeyCode::key_LeftBracket: return KEY_LEFTBRACE;
  case KeyCode::key_I: return KEY_I;
  case KeyCode::key_P: return KEY_P;
  case KeyCode::key_L: return KEY_L;
  case KeyCode::key_J: return KEY_J;
  case KeyCode::key_Quote: return KEY_APOSTROPHE;
  case KeyCode::key_K: return KEY_K;
  case KeyCode::key_Semicolon: return KEY_SEMICOLON;
  case KeyCode::key_Backslash: return KEY_BACKSLASH;
  case KeyCode::key_Comma: return KEY_COMMA;
  case KeyCode::key_Slash: return KEY_SLASH;
  case KeyCode::key_N: return KEY_N;
  case KeyCode::key_M: return KEY_M;
  case KeyCode::key_Period: return KEY_DOT;
  case KeyCode::key_Grave: return KEY_GRAVE;
  case KeyCode::key_KeypadDecimal: return KEY_KPDOT;
  case KeyCode::key_KeypadMultiply: return KEY_KPASTERISK;
  case KeyCode::key_KeypadPlus: return KEY_KPPLUS;
  case KeyCode::key_KeypadClear: return KEY_NUMLOCK;
  case KeyCode::key_KeypadDivide: return KEY_KPSLASH;
  case KeyCode::key_KeypadEnter: return KEY_KPENTER;
  case KeyCode::key_KeypadMinus: return KEY_KPMINUS;
  case KeyCode::key_KeypadEquals: return KEY_KPEQUAL;
  case KeyCode::key_Keypad0: return KEY_KP0;
  case KeyCode::key_Keypad1: return KEY_KP1;
  case KeyCode::key_Keypad2: return KEY_KP2;
  case KeyCode::key_Keypad3: return KEY_KP3;
  case KeyCode::key_Keypad4: return KEY_KP4;
  case KeyCode::key_Keypad5: return KEY_KP5;
  case KeyCode::key_Keypad6: return KEY_KP6;
  case KeyCode::key_Keypad7: return KEY_KP7;
  case KeyCode::key_Keypad8: return KEY_KP8;
  case KeyCode::key_Keypad9: return KEY_KP9;
  case KeyCode::key_Return: return KEY_ENTER;
  case KeyCode::key_Tab: return KEY_TAB;
  case KeyCode::key_Space: return KEY_SPACE;
  case KeyCode::key_Delete: return KEY_BACKSPACE;
  case KeyCode::key_Escape: return KEY_ESC;
  case KeyCode::key_Command: return KEY_LEFTMETA;
  case KeyCode::key_Shift: return KEY_LEFTSHIFT;
  case KeyCode::key_CapsLock: return KEY_CAPSLOCK;
  case KeyCode::key_Option: return KEY_LEFTALT;
  case KeyCode::key_Control: return KEY_LEFTCTRL;
  case KeyCode::key_RightCommand: return KEY_RIGHTMETA;
  case KeyCode::key_RightShift: return KEY_RIGHTSHIFT;
  case KeyCode::key_RightOption: return KEY_RIGHTALT;
  case KeyCode::key_RightControl: return KEY_RIGHTCTRL;
  case KeyCode::key_Function: return KEY_FN;
  case KeyCode::key_F17: return KEY_F17;
  case KeyCode::key_VolumeUp: return KEY_VOLUMEUP;
  case KeyCode::key_VolumeDown: return KEY_VOLUMEDOWN;
  case KeyCode::key_Mute: return KEY_MUTE;
  case KeyCode::key_F18: return KEY_F18;
  case KeyCode::key_F19: return KEY_F19;
  case KeyCode::key_F20: return KEY_F20;
  case KeyCode::key_F5: return KEY_F5;
  case KeyCode::key_F6: return KEY_F6;
  case KeyCode::key_F7: return KEY_F7;
  case KeyCode::key_F3: return KEY_F3;
  case KeyCode::key_F8: return KEY_F8;
  case KeyCode::key_F9: return KEY_F9;
  case KeyCode::key_F11: return KEY_F11;
  case KeyCode::key_F13: return KEY_F13;
  case KeyCode::key_F16: return KEY_F16;
  case KeyCode::key_F14: return KEY_F14;
  case KeyCode::key_F10: return KEY_F10;
  case KeyCode::key_F12: return KEY_F12;
  case KeyCode::key_F15: return KEY_F15;
  case KeyCode::key_Help: return KEY_INSERT;
  case KeyCode::key_Home: return KEY_HOME;
  case KeyCode::key_PageUp: return KEY_PAGEUP;
  case KeyCode::key_ForwardDelete: return KEY_DELETE;
  case KeyCode::key_F4: return KEY_F4;
  case KeyCode::key_End: return KEY_END;
  case KeyCode::key_F2: return KEY_F2;
  case KeyCode::key_PageDown: return KEY_PAGEDOWN;
  case KeyCode::key_F1: return KEY_F1;
  case KeyCode::key_LeftArrow: return KEY_LEFT;
  case KeyCode::key_RightArrow: return KEY_RIGHT;
  case KeyCode::key_DownArrow: return KEY_DOWN;
  case KeyCode::key_UpArrow: return KEY_UP;
  }
  return KEY_RESERVED;
}

}  // namespace marlinax::platform
