// The frame pipeline (alpha, JPEG, mask comparison, LZ4, serialisation) against a bare
// TurboJPEG encode of the same frame with the same settings, on a reproducible
// 2400x1280 desktop-like frame. Prints the ratio of the two after the table.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>

#include <benchmark/benchmark.h>
#include <turbojpeg.h>
#include <unistd.h>

#include "media/AppleLz4.h"
#include "media/Fragment.h"
#include "media/Masks.h"
#include "media/SegmentedJpeg.h"

namespace {

using namespace marlinax;

constexpr int kWidth = 2400;
constexpr int kHeight = 1280;

void fill(platform::Image& image, int x0, int y0, int x1, int y1, std::uint8_t b, std::uint8_t g, std::uint8_t r) {
  for (int y = y0; y < y1; ++y)
    for (int x = x0; x < x1; ++x) {
      std::uint8_t* p = image.row(y) + 4 * x;
      p[0] = b, p[1] = g, p[2] = r;
    }
}

// A desktop: gradient wallpaper, windows with title bars and lines of glyph-like text,
// a photo-like region (smooth colour plus noise). Alpha is opaque, as X11 captures are.
std::shared_ptr<const platform::Image> makeDesktop() {
  auto image = std::make_shared<platform::Image>();
  image->width = kWidth;
  image->height = kHeight;
  image->stride = kWidth * 4;
  image->pixels.assign(static_cast<std::size_t>(image->stride) * kHeight, 0xFF);
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) {
      std::uint8_t* p = image->row(y) + 4 * x;
      p[0] = static_cast<std::uint8_t>(120 + y / 12);
      p[1] = static_cast<std::uint8_t>(60 + x / 24);
      p[2] = static_cast<std::uint8_t>(40 + (x + y) / 40);
    }

  std::mt19937 random(2024);
  struct Window {
    int x0, y0, x1, y1;
  };
  for (const Window& w : {Window{60, 40, 1300, 900}, Window{1000, 300, 2300, 1200}, Window{200, 950, 900, 1260}}) {
    fill(*image, w.x0, w.y0, w.x1, w.y1, 0xF4, 0xF4, 0xF4);
    fill(*image, w.x0, w.y0, w.x1, w.y0 + 28, 0x50, 0x40, 0x38);
    // Text: 16-pixel lines of 8x12 glyph cells with random strokes, ragged line ends.
    for (int line = w.y0 + 40; line + 16 < w.y1 - 8; line += 16) {
      const int end = w.x1 - 20 - static_cast<int>(random() % 300);
      for (int cell = w.x0 + 12; cell + 8 < end; cell += 8) {
        if (random() % 7 == 0) continue;  // a space
        for (int gy = 0; gy < 12; ++gy)
          for (int gx = 1; gx < 7; ++gx)
            if (random() % 3 == 0) fill(*image, cell + gx, line + gy, cell + gx + 1, line + gy + 1, 0x20, 0x20, 0x20);
      }
    }
  }
  // The photo.
  std::normal_distribution<double> noise(0.0, 6.0);
  for (int y = 380; y < 880; ++y)
    for (int x = 1100; x < 1900; ++x) {
      std::uint8_t* p = image->row(y) + 4 * x;
      const double base = 128 + 60 * std::sin(x / 37.0) * std::cos(y / 53.0);
      for (int c = 0; c < 3; ++c)
        p[c] = static_cast<std::uint8_t>(std::clamp(base + 30 * c - 30 + noise(random), 0.0, 255.0));
    }
  return image;
}

const platform::SampleBuffer& desktopSample() {
  static const platform::SampleBuffer sample = [] {
    platform::SampleBuffer s;
    s.image = makeDesktop();
    s.presentationTime = {1, 60};
    s.duration = {1, 60};
    return s;
  }();
  return sample;
}

// One Masks for all threads, as one headset has; each thread casts its own display.
media::Masks& sharedMasks() {
  static media::Masks masks;
  return masks;
}

void pipeline(benchmark::State& state, bool confirmed) {
  const auto display = static_cast<std::uint32_t>(state.thread_index() + (confirmed ? 100 : 0));
  media::Masks& masks = sharedMasks();
  {
    media::Fragment first = media::Fragment::make(desktopSample());
    masks.forget(display);
    masks.process(first, display);
    if (confirmed) masks.acknowledge(media::sha256(first.storage.mask->bytes), display);
  }
  std::size_t bytes = 0;
  for (auto _ : state) {
    media::Fragment fragment = media::Fragment::make(desktopSample());
    masks.process(fragment, display);
    const Bytes wire = fragment.serialize();
    bytes += wire.size();
    benchmark::DoNotOptimize(wire.data());
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["bytes/frame"] =
      benchmark::Counter(static_cast<double>(bytes) / state.iterations(), benchmark::Counter::kAvgThreads);
}

void BM_PipelineMaskTravels(benchmark::State& state) { pipeline(state, false); }
void BM_PipelineMaskConfirmed(benchmark::State& state) { pipeline(state, true); }

void BM_BareTurboJpeg(benchmark::State& state) {
  const platform::Image& image = *desktopSample().image;
  tjhandle handle = tjInitCompress();
  const unsigned long capacity = tjBufSize(kWidth, kHeight, TJSAMP_444);
  unsigned char* buffer = tjAlloc(static_cast<int>(capacity));
  std::size_t bytes = 0;
  for (auto _ : state) {
    unsigned long size = capacity;
    if (tjCompress2(handle, image.pixels.data(), kWidth, image.stride, kHeight, TJPF_BGRX, &buffer, &size, TJSAMP_444,
                    100, TJFLAG_NOREALLOC) != 0) {
      state.SkipWithError(tjGetErrorStr2(handle));
      break;
    }
    bytes += size;
    benchmark::DoNotOptimize(buffer);
  }
  tjFree(buffer);
  tjDestroy(handle);
  state.SetItemsProcessed(state.iterations());
  state.counters["bytes/frame"] =
      benchmark::Counter(static_cast<double>(bytes) / state.iterations(), benchmark::Counter::kAvgThreads);
}

// The segment cache. Full change: every frame differs everywhere from the one
// before (two desktops, a band of noise shifted each frame), so every segment is
// compressed again. Small change: a 600 x 300 window area changes every frame
// (typing, scrolling) and the capture reports it as damage. The argument is the
// number of segments per 8-pixel row (the restart interval is the row / it).
std::shared_ptr<platform::Image> variant(const platform::Image& base, int frame, int x0, int y0, int x1, int y1) {
  auto image = std::make_shared<platform::Image>(base);
  std::mt19937 random(static_cast<std::uint32_t>(frame));
  for (int y = y0; y < y1; ++y)
    for (int x = x0; x < x1; ++x)
      if (random() % 5 == 0) fill(*image, x, y, x + 1, y + 1, 0x20, 0x20, 0x20);
  return image;
}

const std::vector<std::shared_ptr<platform::Image>>& fullChangeFrames() {
  static const auto frames = [] {
    std::vector<std::shared_ptr<platform::Image>> result;
    for (int f = 0; f < 2; ++f) result.push_back(variant(*desktopSample().image, f, 0, 0, kWidth, kHeight));
    return result;
  }();
  return frames;
}

// The reference for the full-change case: TurboJPEG on the same frames.
void BM_BareTurboJpegFullChange(benchmark::State& state) {
  const auto& frames = fullChangeFrames();
  tjhandle handle = tjInitCompress();
  const unsigned long capacity = tjBufSize(kWidth, kHeight, TJSAMP_444);
  unsigned char* buffer = tjAlloc(static_cast<int>(capacity));
  std::size_t frame = 0;
  for (auto _ : state) {
    const platform::Image& image = *frames[frame++ % 2];
    unsigned long size = capacity;
    if (tjCompress2(handle, image.pixels.data(), kWidth, image.stride, kHeight, TJPF_BGRX, &buffer, &size, TJSAMP_444,
                    100, TJFLAG_NOREALLOC) != 0) {
      state.SkipWithError(tjGetErrorStr2(handle));
      break;
    }
    benchmark::DoNotOptimize(buffer);
  }
  tjFree(buffer);
  tjDestroy(handle);
}

void BM_SegmentedFullChange(benchmark::State& state) {
  const auto& frames = fullChangeFrames();
  media::SegmentedJpegEncoder encoder(static_cast<int>(state.range(0)));
  std::size_t bytes = 0, frame = 0;
  for (auto _ : state) {
    const Bytes& jpeg = encoder.encode(frames[frame++ % 2]);
    bytes += jpeg.size();
    benchmark::DoNotOptimize(jpeg.data());
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["bytes/frame"] = static_cast<double>(bytes) / state.iterations();
}

void BM_SegmentedSmallChange(benchmark::State& state) {
  const platform::Image& base = *desktopSample().image;
  const media::PixelRect area{700, 100, 600, 300};
  std::vector<std::shared_ptr<platform::Image>> frames;
  for (int f = 0; f < 2; ++f)
    frames.push_back(variant(base, f, area.x, area.y, area.x + area.width, area.y + area.height));
  media::SegmentedJpegEncoder encoder(static_cast<int>(state.range(0)));
  encoder.encode(frames[1]);
  std::size_t frame = 0, segments = 0;
  for (auto _ : state) {
    const Bytes& jpeg = encoder.encode(frames[frame++ % 2], std::span<const media::PixelRect>(&area, 1));
    segments += static_cast<std::size_t>(encoder.segmentsEncoded());
    benchmark::DoNotOptimize(jpeg.data());
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["segments/frame"] = static_cast<double>(segments) / state.iterations();
}

// The pipeline's steps on their own, to see where the time beyond the JPEG goes.
void BM_StepAlpha(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(media::extractAlpha(*desktopSample().image).bytes.data());
}

void BM_StepMaskLz4(benchmark::State& state) {
  const media::MaskPlane mask = media::extractAlpha(*desktopSample().image);
  for (auto _ : state) benchmark::DoNotOptimize(media::compressAppleLz4(mask.bytes).data());
}

void BM_StepMaskCompare(benchmark::State& state) {
  media::Masks masks;
  media::Fragment fragment;
  fragment.storage.mask = std::make_shared<media::MaskPlane>(media::extractAlpha(*desktopSample().image));
  masks.process(fragment, 1);
  for (auto _ : state) {
    masks.process(fragment, 1);
    benchmark::DoNotOptimize(fragment.skipMask);
  }
}

void BM_StepSha256(benchmark::State& state) {
  const media::MaskPlane mask = media::extractAlpha(*desktopSample().image);
  for (auto _ : state) benchmark::DoNotOptimize(media::sha256(mask.bytes));
}

BENCHMARK(BM_BareTurboJpeg)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PipelineMaskTravels)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PipelineMaskConfirmed)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BareTurboJpeg)->Unit(benchmark::kMillisecond)->UseRealTime()->Threads(2);
BENCHMARK(BM_PipelineMaskConfirmed)->Unit(benchmark::kMillisecond)->UseRealTime()->Threads(2);
BENCHMARK(BM_BareTurboJpegFullChange)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SegmentedFullChange)->Arg(1)->Arg(4)->Arg(12)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SegmentedSmallChange)->Arg(1)->Arg(4)->Arg(12)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_StepAlpha)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StepMaskLz4)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StepMaskCompare)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StepSha256)->Unit(benchmark::kMicrosecond);

// Console output as usual, plus the real time per frame of every run, for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs)
      if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
        milliseconds[run.benchmark_name()] = run.GetAdjustedRealTime();
        cpuMilliseconds[run.benchmark_name()] = run.GetAdjustedCPUTime();
        const auto items = run.counters.find("items_per_second");
        if (items != run.counters.end()) perSecond[run.benchmark_name()] = items->second.value;
      }
  }
  std::map<std::string, double> milliseconds;
  std::map<std::string, double> cpuMilliseconds;
  std::map<std::string, double> perSecond;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  auto find = [&](const std::string& prefix, const std::map<std::string, double>& table) -> double {
    for (const auto& [name, value] : table)
      if (name.rfind(prefix, 0) == 0) return value;
    return 0;
  };
  const double bare = find("BM_BareTurboJpeg/real_time", reporter.milliseconds);
  const double bareCpu = find("BM_BareTurboJpeg/real_time", reporter.cpuMilliseconds);
  std::printf("\nPer frame, one thread, against a bare TurboJPEG encode (%.2f ms real, %.2f ms CPU):\n", bare, bareCpu);
  for (const char* name : {"BM_PipelineMaskTravels/real_time", "BM_PipelineMaskConfirmed/real_time"}) {
    const double real = find(name, reporter.milliseconds);
    const double cpu = find(name, reporter.cpuMilliseconds);
    if (bare > 0 && bareCpu > 0 && real > 0)
      std::printf("  %-36s %8.2f ms real = %.3f x   %8.2f ms CPU = %.3f x\n", name, real, real / bare, cpu,
                  cpu / bareCpu);
  }
  const double bareFull = find("BM_BareTurboJpegFullChange/", reporter.cpuMilliseconds);
  std::printf("Full change, bare TurboJPEG on the same frames: %.2f ms CPU\n", bareFull);
  for (const char* name : {"BM_SegmentedFullChange/1/", "BM_SegmentedFullChange/4/", "BM_SegmentedFullChange/12/"}) {
    const double cpu = find(name, reporter.cpuMilliseconds);
    if (bareFull > 0 && cpu > 0)
      std::printf("  %-36s %8.2f ms CPU = %.3f x the bare encode of the same frames\n", name, cpu, cpu / bareFull);
  }
  for (const char* name : {"BM_SegmentedSmallChange/1/", "BM_SegmentedSmallChange/4/", "BM_SegmentedSmallChange/12/"}) {
    const double cpu = find(name, reporter.cpuMilliseconds);
    if (bareCpu > 0 && cpu > 0)
      std::printf("  %-36s %8.2f ms CPU = %.3f x the bare full encode of the desktop\n", name, cpu, cpu / bareCpu);
  }
  const double twoBare = find("BM_BareTurboJpeg/real_time/threads:2", reporter.perSecond);
  const double twoPipeline = find("BM_PipelineMaskConfirmed/real_time/threads:2", reporter.perSecond);
  if (twoBare > 0 && twoPipeline > 0)
    std::printf("Two frames at once on two threads: pipeline %.1f fps, bare TurboJPEG %.1f fps (ratio %.3f)\n",
                twoPipeline, twoBare, twoBare / twoPipeline);
  return 0;
}
