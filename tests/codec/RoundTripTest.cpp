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

  std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }

  // Fills `v` at random, field by field for records; nodes nest `depth` more levels at most.
  template <class T>
  void fill(T& v, int depth) {
    if constexpr (std::is_integral_v<T>) {
      const std::size_t k = pick(8);  // favour the extremes now and then; a bool takes one random bit
      const auto bits = std::is_same_v<T, bool> ? rng_() & 1 : rng_();
      v = k == 0 ? std::numeric_limits<T>::min() : k == 1 ? std::numeric_limits<T>::max() : static_cast<T>(bits);
    } else if constexpr (std::is_floating_point_v<T>) {
      const auto bound = static_cast<T>(std::is_same_v<T, float> ? 1e6 : 1e300);
      v = std::uniform_real_distribution<T>(-bound, bound)(rng_);
    } else if constexpr (std::is_same_v<T, Tint>) {
      v = static_cast<Tint>(1 + pick(3));
    } else if constexpr (std::is_same_v<T, Rect>) {
      v = Rect{double(pick(65536)) - 32768, 0.5, 1e9, -3};
    } else if constexpr (std::is_same_v<T, std::string>) {
      static const std::string pieces[] = {
          "a", "Z", "0", " ", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", std::string(1, '\0'), "~"};
      for (std::size_t i = pick(4) == 0 ? pick(200) : pick(6); i > 0; --i) v += pieces[pick(std::size(pieces))];
    } else if constexpr (isOptional<T>) {
      if (pick(3)) fill(v.emplace(), depth);
    } else if constexpr (requires { typename T::mapped_type; }) {
      for (std::size_t i = pick(4); i > 0; --i) {
        std::string key;
        fill(key, depth);
        fill(v[key], depth);
      }
    } else if constexpr (requires { v.emplace_back(); }) {
      std::size_t n = pick(4) == 0 ? pick(std::is_same_v<T, Bytes> ? 300 : 12) : pick(4);
      if constexpr (std::is_same_v<T, std::vector<Node>>) n = depth >= 0 ? pick(3) : 0;
      for (; n > 0; --n) fill(v.emplace_back(), depth);
    } else {
      std::apply([&](auto... f) { (fill(v.*(f.member), depth - std::is_same_v<T, Node>), ...); }, T::codingFields());
    }
  }

 private:
  std::mt19937_64 rng_;
};

// Every value reads back as itself and is written again as the same bytes; every strict prefix of
// the first (smaller) ones is rejected.
TEST(RoundTrip, RandomNestedValuesAndTheirPrefixes) {
  Generator gen(20240611);
  for (int i = 0; i < 300; ++i) {
    Node value;
    gen.fill(value, i < 20 ? 2 : 3);
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
