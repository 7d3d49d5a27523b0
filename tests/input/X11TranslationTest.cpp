// The pure translation steps of the X11 poster: desktop settings parsing, wheel steps and the
// physical key table. No X server needed.

#include <gtest/gtest.h>
#include <linux/input-event-codes.h>

#include <set>
#include <string>

#include "platform/x11/InputPosterX11.h"
#include "platform/x11/InputSettingsX11.h"

namespace marlinax::platform {
namespace {

using input::KeyCode;

// Builds an _XSETTINGS_SETTINGS value in either byte order.
class SettingsBuilder {
public:
  explicit SettingsBuilder(bool bigEndian) : bigEndian_(bigEndian) {
    bytes_ = {std::uint8_t(bigEndian ? 1 : 0), 0, 0, 0};
    number(7, 4);  // serial
    countAt_ = bytes_.size();
    number(0, 4);
  }

  SettingsBuilder& integer(const std::string& name, std::int32_t value) {
    header(0, name);
    number(static_cast<std::uint32_t>(value), 4);
    return *this;
  }
  SettingsBuilder& string(const std::string& name, const std::string& value) {
    header(1, name);
    number(static_cast<std::uint32_t>(value.size()), 4);
    padded(value);
    return *this;
  }
  SettingsBuilder& color(const std::string& name) {
    header(2, name);
    for (int i = 0; i < 4; ++i) number(0xFFFF, 2);
    return *this;
  }
  // Overrides the declared number of settings.
  SettingsBuilder& declareCount(std::uint32_t count) {
    declared_ = count;
    return *this;
  }

  Bytes bytes() const {
    Bytes result = bytes_;
    const std::uint32_t count = declared_.value_or(settings_);
    for (std::size_t i = 0; i < 4; ++i) {
      const std::size_t shift = bigEndian_ ? 8 * (3 - i) : 8 * i;
      result[countAt_ + i] = std::uint8_t(count >> shift);
    }
    return result;
  }

private:
  void header(std::uint8_t type, const std::string& name) {
    ++settings_;
    bytes_.push_back(type);
    bytes_.push_back(0);
    number(static_cast<std::uint32_t>(name.size()), 2);
    padded(name);
    number(3, 4);  // last-change serial
  }
  void padded(const std::string& text) {
    bytes_.insert(bytes_.end(), text.begin(), text.end());
    while (bytes_.size() % 4 != 0) bytes_.push_back(0);
  }
  void number(std::uint32_t value, int width) {
    for (int i = 0; i < width; ++i) {
      const int shift = bigEndian_ ? 8 * (width - 1 - i) : 8 * i;
      bytes_.push_back(std::uint8_t(value >> shift));
    }
  }

  bool bigEndian_;
  Bytes bytes_;
  std::size_t countAt_ = 0;
  std::uint32_t settings_ = 0;
  std::optional<std::uint32_t> declared_;
};

constexpr std::string_view doubleClick = "Net/DoubleClickTime";

TEST(XSettings, FindsTheIntegerAfterOtherKindsInBothByteOrders) {
  for (const bool bigEndian : {false, true}) {
    SCOPED_TRACE(bigEndian ? "MSBFirst" : "LSBFirst");
    const Bytes settings = SettingsBuilder(bigEndian)
                               .string("Net/ThemeName", "Adwaita")  // 7 bytes: padded
                               .color("Gtk/Color")
                               .integer("Net/DoubleClickTimeout", 9)  // a longer name
                               .integer("Net/DoubleClick", 8)         // a shorter name
                               .integer("Net/DoubleClickTime", 250)
                               .integer("Net/CursorBlinkTime", 1200)
                               .bytes();
    EXPECT_EQ(xsettingsInteger(settings, doubleClick), 250);
    EXPECT_EQ(xsettingsInteger(settings, "Net/CursorBlinkTime"), 1200);
    EXPECT_EQ(xsettingsInteger(settings, "Net/ThemeName"), std::nullopt);  // not an integer
    EXPECT_EQ(xsettingsInteger(settings, "Xft/DPI"), std::nullopt);
  }
}

TEST(XSettings, NegativeValuesAndEmptyListsAreRead) {
  EXPECT_EQ(xsettingsInteger(SettingsBuilder(true).integer("Net/DoubleClickTime", -5).bytes(),
                             doubleClick),
            -5);
  EXPECT_EQ(xsettingsInteger(SettingsBuilder(false).bytes(), doubleClick), std::nullopt);
}

TEST(XSettings, MalformedValuesAreRejectedWithoutReadingPastTheEnd) {
  const Bytes good = SettingsBuilder(false)
                         .string("Net/ThemeName", "Adwaita")
                         .integer("Net/DoubleClickTime", 250)
                         .bytes();
  // Every truncation loses the integer (it is the last thing in the value).
  for (std::size_t length = 0; length < good.size(); ++length) {
    EXPECT_EQ(xsettingsInteger(ByteView(good.data(), length), doubleClick), std::nullopt)
        << "length " << length;
  }

  Bytes badOrder = good;
  badOrder[0] = 2;
  EXPECT_EQ(xsettingsInteger(badOrder, doubleClick), std::nullopt);

  // A string claiming 4 GiB, and a name longer than the value.
  Bytes hugeString = good;
  const std::size_t stringLengthAt = 12 + 4 + 16 + 4;  // header, type+len, padded name, serial
  for (int i = 0; i < 4; ++i) hugeString[stringLengthAt + std::size_t(i)] = 0xFF;
  EXPECT_EQ(xsettingsInteger(hugeString, doubleClick), std::nullopt);
  Bytes longName = good;
  longName[14] = 0xFF;
  longName[15] = 0xFF;
  EXPECT_EQ(xsettingsInteger(longName, doubleClick), std::nullopt);

  // An unknown type stops the reading: its size is unknown.
  Bytes unknownType = good;
  unknownType[12] = 3;
  EXPECT_EQ(xsettingsInteger(unknownType, doubleClick), std::nullopt);

  // More settings declared than present, or fewer: only what is declared and present counts.
  EXPECT_EQ(xsettingsInteger(SettingsBuilder(false)
                                 .integer("Net/DoubleClickTime", 250)
                                 .declareCount(0xFFFFFFFF)
                                 .bytes(),
                             doubleClick),
            250);
  EXPECT_EQ(xsettingsInteger(SettingsBuilder(false)
                                 .integer("Net/DoubleClickTime", 250)
                                 .declareCount(0)
                                 .bytes(),
                             doubleClick),
            std::nullopt);
}

TEST(WheelAccumulator, CarriesTheRemainderWithinAGesture) {
  static_assert(pixelsPerWheelStep == 30);
  WheelAccumulator wheel;
  EXPECT_EQ(wheel.add(0, 29), (WheelAccumulator::Steps{0, 0}));
  EXPECT_EQ(wheel.add(0, 1), (WheelAccumulator::Steps{0, 1}));   // 30 in all
  EXPECT_EQ(wheel.add(-10, 75), (WheelAccumulator::Steps{0, 2})); // 15 carried
  EXPECT_EQ(wheel.add(-20, -44), (WheelAccumulator::Steps{-1, -0}));  // -29 carried
  EXPECT_EQ(wheel.add(0, -1), (WheelAccumulator::Steps{0, -1}));
  // Reversing direction cancels the carried amount rather than adding to it.
  EXPECT_EQ(wheel.add(29, 0), (WheelAccumulator::Steps{0, 0}));
  EXPECT_EQ(wheel.add(-29, 0), (WheelAccumulator::Steps{0, 0}));
}

TEST(WheelAccumulator, ResetDropsTheRemainder) {
  WheelAccumulator wheel;
  EXPECT_EQ(wheel.add(25, -25), (WheelAccumulator::Steps{0, 0}));
  wheel.reset();
  EXPECT_EQ(wheel.add(25, -25), (WheelAccumulator::Steps{0, 0}));
  EXPECT_EQ(wheel.add(5, -5), (WheelAccumulator::Steps{1, -1}));
}

TEST(WheelAccumulator, HugeAmountsAreCutToTheStepLimit) {
  WheelAccumulator wheel;
  constexpr auto max = std::numeric_limits<std::int32_t>::max();
  constexpr auto min = std::numeric_limits<std::int32_t>::min();
  EXPECT_EQ(wheel.add(max, min),
            (WheelAccumulator::Steps{maxWheelStepsPerEvent, -maxWheelStepsPerEvent}));
  EXPECT_EQ(wheel.add(max, min),
            (WheelAccumulator::Steps{maxWheelStepsPerEvent, -maxWheelStepsPerEvent}));
  // The cut-off part is not carried into the next event.
  EXPECT_EQ(wheel.add(-max, max),
            (WheelAccumulator::Steps{-maxWheelStepsPerEvent, maxWheelStepsPerEvent}));
  wheel.reset();
  EXPECT_EQ(wheel.add(30, 0), (WheelAccumulator::Steps{1, 0}));
}

TEST(LinuxKeys, EachKeyHasItsOwnPhysicalKey) {
  std::set<std::uint16_t> codes;
  for (std::int64_t raw = 0; raw < input::keyCodeCount; ++raw) {
    const auto code = linuxKeyCode(static_cast<KeyCode>(raw));
    EXPECT_NE(code, KEY_RESERVED) << "raw " << raw;
    EXPECT_TRUE(codes.insert(code).second) << "raw " << raw << " shares Linux key " << code;
  }
  EXPECT_EQ(linuxKeyCode(static_cast<KeyCode>(113)), KEY_RESERVED);
}

TEST(LinuxKeys, MacKeysSitWherePcKeyboardsHaveTheirCounterparts) {
  EXPECT_EQ(linuxKeyCode(KeyCode::key_A), KEY_A);
  EXPECT_EQ(linuxKeyCode(KeyCode::key_Quote), KEY_APOSTROPHE);
  EXPECT_EQ(linuxKeyCode(KeyCode::key_Grave), KEY_GRAVE);
  EXPECT_EQ(linuxKeyCode(KeyCode::key_Return), KEY_ENTER);
  EXPECT_EQ(linuxKeyCode(KeyCode::key_KeypadEnter), KEY_KPENTER);
  EXPECT_EQ(linuxKeyCode(KeyCode::key_Delete), KEY_BACKSPACE);
  EXPECT_EQ(linuxKeyCode(KeyCode::key_ForwardDelete), KEY_DELETE);
  EXPECT_EQ(linuxKeyCode(KeyCode::key_Help), KEY_INSERT);
  EXPECT_EQ(linuxKeyCode(KeyCode::key_KeypadClear), KEY_NUMLOCK);
  EXPECT_EQ(linuxKeyCode(KeyCode::key_Command), KEY_LEFTMETA);
  EXPECT_EQ(linuxKeyCode(KeyCode::key_RightCommand), KEY_RIGHTMETA);
  EXPECT_EQ(linuxKeyCode(KeyCode::key_Option), KEY_LEFTALT);
  EXPECT_EQ(linuxKeyCode(KeyCode::key_RightOption), KEY_RIGHTALT);
  EXPECT_EQ(linuxKeyCode(KeyCode::key_Control), KEY_LEFTCTRL);
  EXPECT_EQ(linuxKeyCode(KeyCode::key_RightShift), KEY_RIGHTSHIFT);
  EXPECT_EQ(linuxKeyCode(KeyCode::key_Function), KEY_FN);
  EXPECT_EQ(linuxKeyCode(KeyCode::key_F13), KEY_F13);
  EXPECT_EQ(linuxKeyCode(KeyCode::key_F20), KEY_F20);
  EXPECT_EQ(linuxKeyCode(KeyCode::key_VolumeUp), KEY_VOLUMEUP);
  EXPECT_EQ(linuxKeyCode(KeyCode::key_Mute), KEY_MUTE);
  EXPECT_EQ(linuxKeyCode(KeyCode::key_PageDown), KEY_PAGEDOWN);
  EXPECT_EQ(linuxKeyCode(KeyCode::key_UpArrow), KEY_UP);
  EXPECT_EQ(linuxKeyCode(KeyCode::key_Keypad7), KEY_KP7);
  EXPECT_EQ(linuxKeyCode(KeyCode::key_KeypadEquals), KEY_KPEQUAL);
}

}  // namespace
}  // namespace marlinax::platform
