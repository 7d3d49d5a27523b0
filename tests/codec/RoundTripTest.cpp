// Randomised round trips of nested values (fixed seed), and their cut-off copies. Damaged bytes
// are the decoder fuzzer's job.

#include <random>

#include "CodTestSupport.h"
#include "SampleRecords.h"

namespace marlinax::codec::testing {
namespace {

class Generator {
 public:
  explicit Generator(std::uint32_t seed) : rng_(seed) {}

  template <class T>
  T integer() {
    using Wide = std::conditional_t<std::is_signed_v<T>, std::int64_t, std::uint64_t>;
    std::uniform_int_distribution<Wide> dist(std::numeric_limits<T>::min(), std::numeric_limits<T>::max());
    // Favour the extremes now and then.
    switch (pick(8)) {
    case 0: return std::numeric_limits<T>::min();
    case 1: return std::numeric_limits<T>::max();
    default: return static_cast<T>(dist(rng_));
    }
  }

  std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }

  std::string text() {
    static const char* pieces[] = {"a", "Z", "0", " ", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\x00", "~"};
    std::string out;
    std::size_t n = pick(4) == 0 ? pick(200) : pick(6);
    for (std::size_t i = 0; i < n; ++i) {
      std::size_t k = pick(std::size(pieces));
      out += k == 7 ? std::string(1, '\0') : std::string(pieces[k]);
    }
    return out;
  }

  Leaf leaf() {
    Leaf l;
    l.i8 = integer<std::int8_t>();
    l.i16 = integer<std::int16_t>();
    l.i32 = integer<std::int32_t>();
    l.i64 = integer<std::int64_t>();
    l.u8 = integer<std::uint8_t>();
    l.u16 = integer<std::uint16_t>();
    l.u32 = integer<std::uint32_t>();
    l.u64 = integer<std::uint64_t>();
    l.flag = pick(2) == 1;
    l.f = std::uniform_real_distribution<float>(-1e6f, 1e6f)(rng_);
    l.d = std::uniform_real_distribution<double>(-1e300, 1e300)(rng_);
    l.text = text();
    if (pick(2)) l.maybeText = text();
    l.bytes.resize(pick(3) == 0 ? pick(300) : pick(4));
    for (auto& b : l.bytes) b = integer<std::uint8_t>();
    if (pick(2)) l.tint = static_cast<Tint>(1 + pick(3));
    return l;
  }

  Node node(int depth) {
    Node n;
    n.label = text();
    for (std::size_t i = pick(3); i > 0; --i) n.leaves.push_back(leaf());
    for (std::size_t i = pick(4); i > 0; --i) {
      auto& column = n.table[text()];
      for (std::size_t k = pick(12); k > 0; --k)
        column.push_back(pick(4) == 0 ? std::nullopt : std::optional<Int>(integer<Int>()));
    }
    if (pick(2)) n.frame = Rect{double(integer<std::int16_t>()), 0.5, 1e9, -3};
    for (std::size_t i = pick(3); i > 0; --i)
      n.maybeLeaves.push_back(pick(3) == 0 ? std::nullopt : std::optional(leaf()));
    if (depth > 0)
      for (std::size_t i = pick(3); i > 0; --i) n.children.push_back(node(depth - 1));
    for (std::size_t i = pick(5); i > 0; --i) n.words.push_back(pick(2) ? "same" : text());
    return n;
  }

 private:
  std::mt19937 rng_;
};

// Every value reads back as itself and is written again as the same bytes; every strict prefix of
// the first (smaller) ones is rejected.
TEST(RoundTrip, RandomNestedValuesAndTheirPrefixes) {
  Generator gen(20240611);
  for (int i = 0; i < 300; ++i) {
    Node value = gen.node(i < 20 ? 2 : 3);
    Bytes bytes = encode(value);
    Node back = decode<Node>(bytes);
    ASSERT_EQ(back, value) << "value " << i;
    ASSERT_EQ(encode(back), bytes) << "value " << i;
    for (std::size_t cut = 0; i < 20 && cut < bytes.size(); ++cut) {
      Bytes prefix(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(cut));
      ASSERT_TRUE(producerError([&] { decode<Node>(prefix); }).has_value()) << "value " << i << " cut " << cut;
    }
  }
}

}  // namespace
}  // namespace marlinax::codec::testing
