// The pure translation steps of the X11 poster: desktop settings parsing, wheel steps and the
// physical key table. No X server needed.

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/XSettingsBuilder.h"
#include "platform/x11/InputPosterX11.h"
#include "platform/x11/InputSettingsX11.h"

namespace marlinax::platform::x11 {
namespace {

using input::KeyCode;

constexpr std::string_view doubleClick = "Net/DoubleClickTime";

TEST(XSettings, FindsTheIntegerAfterOtherKindsInBothByteOrders) {
  for (const bool bigEndian : {false, true}) {
    SCOPED_TRACE(bigEndian ? "MSBFirst" : "LSBFirst");
    const Bytes settings = XSettingsBuilder(bigEndian)
                               .string("Net/ThemeName", "Adwaita")  // 7 bytes: padded
                               .color("Gtk/Color")
                               .integer("Net/DoubleClickTimeout", 9)  // a longer name
                               .integer("Net/DoubleClick", 8)         // a shorter name
                               .integer("Net/DoubleClickTime", 250)
                               .integer("Net/CursorBlinkTime", -1200)  // values are signed
                               .bytes();
    EXPECT_EQ(xsettingsInteger(settings, doubleClick), 250);
    EXPECT_EQ(xsettingsInteger(settings, "Net/CursorBlinkTime"), -1200);
    EXPECT_EQ(xsettingsInteger(settings, "Net/ThemeName"), std::nullopt);  // not an integer
    EXPECT_EQ(xsettingsInteger(settings, "Xft/DPI"), std::nullopt);
  }
}

TEST(XSettings, MalformedValuesAreRejectedWithoutReadingPastTheEnd) {
  const Bytes good =
      XSettingsBuilder(false).string("Net/ThemeName", "Adwaita").integer("Net/DoubleClickTime", 250).bytes();
  // Every truncation loses the integer (it is the last thing in the value); an empty list has none.
  EXPECT_EQ(xsettingsInteger(XSettingsBuilder(false).bytes(), doubleClick), std::nullopt);
  for (std::size_t length = 0; length < good.size(); ++length) {
    EXPECT_EQ(xsettingsInteger(ByteView(good.data(), length), doubleClick), std::nullopt) << "length " << length;
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
  std::fill_n(longName.begin() + 14, 2, 0xFF);
  EXPECT_EQ(xsettingsInteger(longName, doubleClick), std::nullopt);

  // An unknown type stops the reading: its size is unknown.
  Bytes unknownType = good;
  unknownType[12] = 3;
  EXPECT_EQ(xsettingsInteger(unknownType, doubleClick), std::nullopt);

  // More settings declared than present, or fewer: only what is declared and present counts.
  Bytes declared = good;  // the count sits in bytes 8..11
  std::fill_n(declared.begin() + 8, 4, 0xFF);
  EXPECT_EQ(xsettingsInteger(declared, doubleClick), 250);
  std::fill_n(declared.begin() + 8, 4, 0);
  declared[8] = 1;  // only the string
  EXPECT_EQ(xsettingsInteger(declared, doubleClick), std::nullopt);
}

// Each row adds (x, y) pixels and expects (x, y) steps; a reset row drops the remainder first.
TEST(WheelAccumulator, CarriesTheRemainderWithinAGestureAndCutsHugeAmounts) {
  static_assert(kPixelsPerWheelStep == 30);
  constexpr std::int32_t max = std::numeric_limits<std::int32_t>::max(), min = std::numeric_limits<std::int32_t>::min();
  constexpr std::int32_t cap = kMaxWheelStepsPerEvent;
  struct Row {
    bool reset;
    std::int32_t x, y, stepsX, stepsY;
  };
  // clang-format off
  const Row rows[] = {
      {false, 0, 29, 0, 0}, {false, 0, 1, 0, 1},         // 30 in all
      {false, -10, 75, 0, 2},                            // 15 carried
      {false, -20, -44, -1, 0}, {false, 0, -1, 0, -1},   // -29 carried
      {false, 29, 0, 0, 0}, {false, -29, 0, 0, 0},       // reversing cancels the carried amount
      {true, 25, -25, 0, 0}, {true, 25, -25, 0, 0}, {false, 5, -5, 1, -1},
      {false, max, min, cap, -cap}, {false, max, min, cap, -cap},
      {false, -max, max, -cap, cap},                     // the cut-off part is not carried into the next event
      {true, 30, 0, 1, 0},
  };
  // clang-format on
  WheelAccumulator wheel;
  for (const Row& row : rows) {
    if (row.reset) wheel.reset();
    EXPECT_EQ(wheel.add(row.x, row.y), (WheelAccumulator::Steps{row.stepsX, row.stepsY})) << row.x << "," << row.y;
  }
}

}  // namespace
}  // namespace marlinax::platform::x11
