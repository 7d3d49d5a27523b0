// Decodes arbitrary bytes as several value types. Every outcome must be a value or a decoding
// error; a value must encode to bytes that decode and re-encode to the same bytes.

#include <cstdlib>

#include "FuzzTypes.h"

namespace {

using namespace marlinax;
using namespace marlinax::codec;

template <class T>
void check(ByteView data) {
  Bytes once;
  try {
    once = CodEncoder().encode(CodDecoder().decode<T>(data));
  } catch (const ProducerError&) {
    return;
  } catch (const DataCorrupted&) {
    return;
  }
  // What this encoder writes, this decoder reads back to the same bytes.
  Bytes twice = CodEncoder().encode(CodDecoder().decode<T>(once));
  if (twice != once) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ByteView bytes(data, size);
  check<fuzz::Node>(bytes);
  check<fuzz::Manual>(bytes);
  check<std::vector<std::optional<fuzz::Leaf>>>(bytes);
  check<std::map<std::string, std::optional<std::string>>>(bytes);
  check<std::optional<Rect>>(bytes);
  check<Bytes>(bytes);
  check<std::vector<std::vector<std::int32_t>>>(bytes);
  check<std::optional<Int>>(bytes);
  return 0;
}
