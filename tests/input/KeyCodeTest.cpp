#include "input/KeyCode.h"

#include <gtest/gtest.h>

#include <limits>
#include <set>

#include "codec/Cod.h"

namespace marlinax::input {
namespace {

TEST(KeyCode, VirtualKeyCodesFollowTheMacTable) {
  EXPECT_EQ(virtualKeyCode(KeyCode::key_A), 0);
  EXPECT_EQ(virtualKeyCode(KeyCode::key_B), 11);
  EXPECT_EQ(virtualKeyCode(KeyCode::key_L), 37);
  EXPECT_EQ(virtualKeyCode(KeyCode::key_Grave), 50);
  EXPECT_EQ(virtualKeyCode(KeyCode::key_RightCommand), 54);
  EXPECT_EQ(virtualKeyCode(KeyCode::key_Function), 63);
  EXPECT_EQ(virtualKeyCode(KeyCode::key_F17), 64);
  EXPECT_EQ(virtualKeyCode(KeyCode::key_UpArrow), 126);
  EXPECT_EQ(virtualKeyCode(static_cast<KeyCode>(113)), 0xFFFF);

  // Every key has its own code, and the codes that have no key are never used.
  const std::set<int> unused = {10, 52, 66, 68, 70, 77, 93, 94, 95, 102, 104, 108, 110, 112};
  std::set<int> codes;
  for (std::int64_t raw = 0; raw < keyCodeCount; ++raw) {
    const int code = virtualKeyCode(static_cast<KeyCode>(raw));
    EXPECT_TRUE(codes.insert(code).second) << "raw " << raw;
    EXPECT_FALSE(unused.contains(code)) << "raw " << raw;
  }
  EXPECT_EQ(codes.size() + unused.size(), 127u);  // together exactly the codes 0 to 126

  // Within each run of cases the codes ascend, key_RightCommand being the one exception.
  for (const auto& [first, last] : {std::pair{0, 46}, {47, 64}, {65, 79}, {80, 112}}) {
    int previous = -1;
    for (int raw = first; raw <= last; ++raw) {
      if (raw == static_cast<int>(KeyCode::key_RightCommand)) continue;
      const int code = virtualKeyCode(static_cast<KeyCode>(raw));
      EXPECT_GT(code, previous) << "raw " << raw;
      previous = code;
    }
  }
}

struct Typed {
  KeyCode key = KeyCode::key_A;
  bool down = false;
  static constexpr auto codingFields() {
    return std::make_tuple(codec::field("key", &Typed::key), codec::field("down", &Typed::down));
  }
};

// The same record with the key as a plain integer, to write any raw value.
struct RawTyped {
  std::int64_t key = 0;
  bool down = false;
  static constexpr auto codingFields() {
    return std::make_tuple(codec::field("key", &RawTyped::key), codec::field("down", &RawTyped::down));
  }
};

// A key travels as its raw value, 0 to 112; no other value decodes.
TEST(KeyCode, TravelsAsItsRawValueFrom0To112) {
  for (std::int64_t raw = 0; raw < keyCodeCount; ++raw) {
    const Typed typed{static_cast<KeyCode>(raw), raw % 2 == 1};
    const Bytes bytes = codec::CodEncoder().encode(typed);
    EXPECT_EQ(bytes, codec::CodEncoder().encode(RawTyped{raw, typed.down})) << "raw " << raw;
    const auto decoded = codec::CodDecoder().decode<Typed>(bytes);
    EXPECT_EQ(decoded.key, typed.key);
    EXPECT_EQ(decoded.down, typed.down);
    EXPECT_EQ(keyCodeFromRaw(raw), typed.key);
  }
  for (const std::int64_t raw : {std::int64_t{113}, std::int64_t{-1}, std::int64_t{1} << 40,
                                 std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max()}) {
    EXPECT_EQ(keyCodeFromRaw(raw), std::nullopt) << raw;
    const Bytes bytes = codec::CodEncoder().encode(RawTyped{raw, true});
    EXPECT_THROW(codec::CodDecoder().decode<Typed>(bytes), codec::DataCorrupted) << raw;
  }
}

}  // namespace
}  // namespace marlinax::input
