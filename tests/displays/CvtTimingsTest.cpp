#include <gtest/gtest.h>

#include "platform/x11/VirtualDisplayX11.h"

namespace marlinax::platform::x11 {
namespace {

TEST(CvtTimings, MatchTheStandardModeLines) {
  // Mode lines as `cvt W H 60` prints them: clock in MHz, horizontal and
  // vertical display, sync start, sync end and total; all -hsync +vsync.
  struct Case {
    int width, height;
    CvtTimings expected;
  };
  const Case cases[] = {
      {1920, 1080, {173000, 1920, 2048, 2248, 2576, 1080, 1083, 1088, 1120, false, true}},  // 16:9
      {1280, 720, {74500, 1280, 1344, 1472, 1664, 720, 723, 728, 748, false, true}},        // 16:9
      {1024, 768, {63500, 1024, 1072, 1176, 1328, 768, 771, 775, 798, false, true}},        // 4:3
      {1920, 1200, {193250, 1920, 2056, 2256, 2592, 1200, 1203, 1209, 1245, false, true}},  // 16:10
      {2560, 1440, {312250, 2560, 2752, 3024, 3488, 1440, 1443, 1448, 1493, false, true}},  // 16:9
  };
  for (const auto& c : cases) EXPECT_EQ(cvtTimings(c.width, c.height, 60), c.expected) << c.width << "x" << c.height;
}

}  // namespace
}  // namespace marlinax::platform::x11
