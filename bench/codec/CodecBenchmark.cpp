// Encode and decode of a display list of 64 entries, shaped like the reply to a display request.

#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "codec/Cod.h"

namespace {

using namespace marlinax;
using namespace marlinax::codec;

struct Display {
  std::uint32_t identifier = 0;
  std::optional<std::string> title;
  std::string app;
  Rect frame;
  Int windowLayer = 0;
  static constexpr auto codingFields() {
    return std::make_tuple(field("identifier", &Display::identifier), field("title", &Display::title),
                           field("app", &Display::app), field("frame", &Display::frame),
                           field("windowLayer", &Display::windowLayer));
  }
};

struct DisplayList {
  std::vector<Display> displays;
  static constexpr auto codingFields() { return std::make_tuple(field("displays", &DisplayList::displays)); }
};

DisplayList makeList() {
  DisplayList list;
  for (int i = 0; i < 64; ++i) {
    Display d;
    d.identifier = 0x1000u + static_cast<std::uint32_t>(i);
    if (i % 4 != 0) d.title = "Display " + std::to_string(i + 1);
    d.app = "Marlinax";
    d.frame = Rect{1920.0 * (i % 8), 1080.0 * (i / 8), 1920, 1080};
    d.windowLayer = i % 3;
    list.displays.push_back(std::move(d));
  }
  return list;
}

void BM_EncodeDisplays(benchmark::State& state) {
  const DisplayList list = makeList();
  std::size_t size = 0;
  for (auto _ : state) {
    Bytes bytes = CodEncoder().encode(list);
    size = bytes.size();
    benchmark::DoNotOptimize(bytes.data());
  }
  state.counters["bytes"] = static_cast<double>(size);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}
BENCHMARK(BM_EncodeDisplays);

void BM_DecodeDisplays(benchmark::State& state) {
  const Bytes bytes = CodEncoder().encode(makeList());
  for (auto _ : state) {
    DisplayList list = CodDecoder().decode<DisplayList>(bytes);
    benchmark::DoNotOptimize(list.displays.data());
  }
  state.counters["bytes"] = static_cast<double>(bytes.size());
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_DecodeDisplays);

// The bulk path for byte strings, e.g. a frame of about 300 kB.
void BM_ByteString(benchmark::State& state) {
  const Bytes payload(static_cast<std::size_t>(state.range(0)), 0xA5);
  for (auto _ : state) {
    Bytes bytes = CodEncoder().encode(payload);
    Bytes back = CodDecoder().decode<Bytes>(bytes);
    benchmark::DoNotOptimize(back.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * payload.size()));
}
BENCHMARK(BM_ByteString)->Arg(300 << 10);

}  // namespace
