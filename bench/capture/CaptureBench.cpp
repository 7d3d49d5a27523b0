// Grabbing and scaling one 1920x1080 monitor to the 2400x1280 casting size,
// under a private Xvfb started for the run.

#include <deque>
#include <memory>

#include <benchmark/benchmark.h>

#include "platform/x11/CaptureSource.h"
#include "platform/x11/CaptureX11.h"
#include "platform/x11/XDisplay.h"
#include "support/Xvfb.h"

namespace {

using namespace marlinax::platform;
using namespace marlinax::platform::x11;
using marlinax::testsupport::Xvfb;

// One server for every benchmark: two monitors, the left one filled with a
// busy pattern so that the scaler works on real content.
struct Setup {
  Xvfb xvfb{Xvfb::twoMonitors()};
  std::unique_ptr<XDisplay> display = openCaptureConnection(xvfb.displayName());
  Monitor left;

  Setup() {
    Display* dpy = display->get();
    GC gc = XCreateGC(dpy, display->root(), 0, nullptr);
    for (int y = 0; y < 1080; y += 12) {
      for (int x = 0; x < 1920; x += 40) {
        XSetForeground(dpy, gc, static_cast<unsigned long>((x * 7919 + y * 104729) & 0xFFFFFF));
        XFillRectangle(dpy, display->root(), gc, x, y, 31, 9);
      }
    }
    XFreeGC(dpy, gc);
    XSync(dpy, False);
    for (const auto& monitor : listMonitors(*display)) {
      if (monitor.rect.x == 0) left = monitor;
    }
  }
};

Setup& setup() {
  static Setup instance;
  return instance;
}

CaptureConfiguration casting(bool cursor) {
  CaptureConfiguration configuration;
  configuration.width = 2400;
  configuration.height = 1280;
  configuration.showsCursor = cursor;
  return configuration;
}

void BM_ShmGrab1920x1080(benchmark::State& state) {
  auto& s = setup();
  ShmImage image(*s.display, s.left.rect.width, s.left.rect.height);
  for (auto _ : state) {
    if (!image.grab(s.left.rect.x, s.left.rect.y)) state.SkipWithError("grab failed");
    benchmark::DoNotOptimize(image.data());
  }
}
BENCHMARK(BM_ShmGrab1920x1080)->Unit(benchmark::kMillisecond);

void BM_ScaleTo2400x1280(benchmark::State& state) {
  auto& s = setup();
  ShmImage image(*s.display, s.left.rect.width, s.left.rect.height);
  image.grab(s.left.rect.x, s.left.rect.y);
  ImagePool pool(2);
  for (auto _ : state) {
    auto output = pool.acquire(2400, 1280);
    scaleInto(image.data(), image.stride(), image.width(), image.height(), *output);
    makeOpaque(output->pixels.data(), output->stride, output->width, output->height);
    benchmark::DoNotOptimize(output->pixels.data());
  }
}
BENCHMARK(BM_ScaleTo2400x1280)->Unit(benchmark::kMillisecond);

// The whole per-frame work of a casting stream: grab, cursor, scale, alpha,
// into recycled output images.
void BM_GrabScaleCursorPooled(benchmark::State& state) {
  auto& s = setup();
  FrameBuilder builder(*s.display, casting(true));
  auto cursor = fetchCursor(*s.display);
  PointerPosition pointer{400, 300};
  for (auto _ : state) {
    auto frame = builder.build(s.left.rect, cursor ? &*cursor : nullptr, pointer);
    if (!frame) state.SkipWithError("build failed");
    benchmark::DoNotOptimize(frame);
  }
}
BENCHMARK(BM_GrabScaleCursorPooled)->Unit(benchmark::kMillisecond);

// The same while the consumer keeps the last eight frames, so that every
// output image is a fresh 12 MB allocation (what the pool saves).
void BM_GrabScaleCursorAllocating(benchmark::State& state) {
  auto& s = setup();
  FrameBuilder builder(*s.display, casting(true));
  auto cursor = fetchCursor(*s.display);
  PointerPosition pointer{400, 300};
  std::deque<SampleBuffer> held;
  for (auto _ : state) {
    auto frame = builder.build(s.left.rect, cursor ? &*cursor : nullptr, pointer);
    if (!frame) state.SkipWithError("build failed");
    held.push_back(std::move(*frame));
    if (held.size() > 8) held.pop_front();
  }
}
BENCHMARK(BM_GrabScaleCursorAllocating)->Unit(benchmark::kMillisecond);

// A preview through the public interface: a fresh shared-memory segment every time.
void BM_Screenshot1200x640(benchmark::State& state) {
  auto& s = setup();
  auto service = makeCaptureService(s.xvfb.displayName());
  DisplayInfo display{s.left.id, {0, 0, 1920, 1080}};
  CaptureConfiguration preview = casting(true);
  preview.width = 1200;
  preview.height = 640;
  for (auto _ : state) {
    auto shot = service->screenshot(display, preview);
    if (!shot) state.SkipWithError("no screenshot");
    benchmark::DoNotOptimize(shot);
  }
}
BENCHMARK(BM_Screenshot1200x640)->Unit(benchmark::kMillisecond);

}  // namespace
