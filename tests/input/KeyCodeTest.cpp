#include "input/KeyCode.h"

#include <gtest/gtest.h>

#include <limits>
#include <set>
#include <utility>
#include <vector>

#include "codec/Cod.h"

namespace marlinax::input {
namespace {

// A key has its Mac virtual key code and travels as its raw value, 0 to 112; no other value decodes.
TEST(KeyCode, VirtualKeyCodesAndRawValues) {
  std::vector<int> known;
  for (KeyCode key : {KeyCode::key_A, KeyCode::key_B, KeyCode::key_L, KeyCode::key_Grave, KeyCode::key_RightCommand,
                      KeyCode::key_Function, KeyCode::key_F17, KeyCode::key_UpArrow, static_cast<KeyCode>(113)})
    known.push_back(virtualKeyCode(key));
  EXPECT_EQ(known, (std::vector<int>{0, 11, 37, 50, 54, 63, 64, 126, 0xFFFF}));

  // Every key has its own code, and the codes that have no key are never used. Within each run of
  // cases (from 0, 47, 65 and 80) the codes ascend, key_RightCommand being the one exception.
  const std::set<int> unused = {10, 52, 66, 68, 70, 77, 93, 94, 95, 102, 104, 108, 110, 112};
  std::set<int> codes;
  int previous = -1;
  for (std::int64_t raw = 0; raw < keyCodeCount; ++raw) {
    const int code = virtualKeyCode(static_cast<KeyCode>(raw));
    EXPECT_TRUE(codes.insert(code).second) << "raw " << raw;
    EXPECT_FALSE(unused.contains(code)) << "raw " << raw;
    const Bytes bytes = codec::CodEncoder().encode(raw);
    EXPECT_EQ(codec::CodEncoder().encode(static_cast<KeyCode>(raw)), bytes) << "raw " << raw;
    EXPECT_EQ(codec::CodDecoder().decode<KeyCode>(bytes), static_cast<KeyCode>(raw));
    EXPECT_EQ(keyCodeFromRaw(raw), static_cast<KeyCode>(raw));

    if (raw == 47 || raw == 65 || raw == 80) previous = -1;
    if (raw == static_cast<int>(KeyCode::key_RightCommand)) continue;
    EXPECT_GT(code, std::exchange(previous, code)) << "raw " << raw;
  }
  EXPECT_EQ(codes.size() + unused.size(), 127u);  // together exactly the codes 0 to 126

  for (const std::int64_t raw : {std::int64_t{113}, std::int64_t{-1}, std::int64_t{1} << 40,
                                 std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max()}) {
    EXPECT_EQ(keyCodeFromRaw(raw), std::nullopt) << raw;
    EXPECT_THROW(codec::CodDecoder().decode<KeyCode>(codec::CodEncoder().encode(raw)), codec::DataCorrupted) << raw;
  }
}

}  // namespace
}  // namespace marlinax::input
