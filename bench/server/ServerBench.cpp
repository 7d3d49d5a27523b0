// Casting through the server handler at the casting size (2400 x 1280): frames
// pushed into a capture stream as fast as the handler takes them, built on a
// pool of worker threads, sent over an in-memory connection and answered by a
// headset. Compared with the fragment pipeline on one thread, the ceiling that
// one core gives.

#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include <asio/co_spawn.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/thread_pool.hpp>
#include <asio/use_future.hpp>
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include "media/Fragment.h"
#include "media/MaskPlane.h"
#include "media/Masks.h"
#include "media/VEncode.h"
#include "messaging/MessageCatalogue.h"
#include "messaging/Multiplexer.h"
#include "messaging/Remote.h"
#include "platform/fake/FakeCapture.h"
#include "server/ProtocolImplementation.h"

namespace {

using namespace marlinax;

constexpr std::uint32_t kDisplay = 1;

// Desktop-like content: a light page with dark word-like runs, different per frame.
platform::SampleBuffer desktopFrame(int seed) {
  auto image = std::make_shared<platform::Image>();
  image->width = 2400;
  image->height = 1280;
  image->stride = image->width * 4;
  image->pixels.resize(static_cast<std::size_t>(image->stride) * image->height);
  for (int y = 0; y < image->height; ++y) {
    std::uint8_t* row = image->row(y);
    bool textRow = (y / 8) % 3 != 0;
    for (int x = 0; x < image->width; ++x) {
      bool ink = textRow && ((x * 7 + y * 3 + seed * 13) % 23 < 4) && (x / 60 + y / 24 + seed) % 5 != 0;
      std::uint8_t shade = ink ? 40 : static_cast<std::uint8_t>(235 + (x + seed) % 16);
      row[4 * x + 0] = shade;
      row[4 * x + 1] = shade;
      row[4 * x + 2] = static_cast<std::uint8_t>(shade - (ink ? 0 : 6));
      row[4 * x + 3] = 0xFF;
    }
  }
  platform::SampleBuffer sample;
  sample.image = image;
  sample.presentationTime = {seed, 60};
  sample.duration = {1, 60};
  sample.opaque = true;  // as a capture marks the frames it made opaque
  return sample;
}

class AnsweringHeadset final : public messaging::MessageProtocol {
 public:
  asio::awaitable<std::optional<Bytes>> handle(messaging::Messages message, Bytes) override {
    if (message != messaging::Messages::windowFrame) co_return std::nullopt;
    frames.fetch_add(1);
    frames.notify_all();
    co_return Bytes{};
  }
  // Sleeps until the headset has taken `count` frames in all (polling would add its own CPU to the
  // server's figure).
  void waitFor(std::uint64_t count) {
    for (std::uint64_t seen = frames.load(); seen < count; seen = frames.load()) frames.wait(seen);
  }
  std::atomic<std::uint64_t> frames = 0;
};

void BM_FragmentPipelineOneThread(benchmark::State& state) {
  std::vector<platform::SampleBuffer> frames;
  for (int i = 0; i < 4; ++i) frames.push_back(desktopFrame(i));
  std::size_t bytes = 0, index = 0;
  for (auto _ : state) {
    Bytes wire = media::Fragment::make(frames[index++ % frames.size()]).serialize();
    bytes += wire.size();
    benchmark::DoNotOptimize(wire.data());
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["bytes_per_frame"] = static_cast<double>(bytes) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_FragmentPipelineOneThread)->Unit(benchmark::kMillisecond)->UseRealTime();

// Process CPU time (every thread) in seconds.
double processCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A replayed sequence of desktop frames: every pixel changing from one frame to
// the next (a new page each time), or one 600 x 300 window area changing on a
// still page, reported as the frame's damage.
std::vector<platform::SampleBuffer> replay(bool fullChange) {
  std::vector<platform::SampleBuffer> frames;
  platform::SampleBuffer page = desktopFrame(0);
  for (int i = 0; i < 12; ++i) {
    platform::SampleBuffer next = desktopFrame(i + 1);
    if (!fullChange) {
      auto image = std::make_shared<platform::Image>(*page.image);
      for (int y = 500; y < 800; ++y) std::copy_n(next.image->row(y) + 4 * 900, 4 * 600, image->row(y) + 4 * 900);
      next.image = image;
      // What a capture reports: only that area may differ from the last frame.
      next.damage = std::vector<platform::ImageRect>{{900, 500, 600, 300}};
    }
    frames.push_back(std::move(next));
  }
  return frames;
}

// The bare TurboJPEG compression of the replayed frames (the yardstick).
// Arg: 1 = every pixel changes, 0 = a 600 x 300 area changes.
void BM_BareTurboJpeg(benchmark::State& state) {
  std::vector<platform::SampleBuffer> frames = replay(state.range(0) != 0);
  std::size_t index = 0;
  double cpu = processCpuSeconds();
  for (auto _ : state) {
    media::SampleBufferData data = media::VEncode::encode(frames[index++ % frames.size()]);
    benchmark::DoNotOptimize(data.data.data());
  }
  state.counters["cpu_ms_per_frame"] = 1000 * (processCpuSeconds() - cpu) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_BareTurboJpeg)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();

// The server's whole CPU cost per delivered frame (mask, compression, LZ4,
// message, multiplexer, in-memory transport, the headset's reply) when the
// capture hands it the replayed frames one by one.
// Args: {1 = every pixel changes / 0 = a 600 x 300 area, 1 = segment cache / 0 = whole compressions}.
void BM_ServerCpuPerFrame(benchmark::State& state) {
  asio::io_context io;
  auto work = asio::make_work_guard(io);
  std::vector<std::thread> ioThreads;
  for (int i = 0; i < 2; ++i) ioThreads.emplace_back([&io] { io.run(); });
  asio::thread_pool cpu(2);
  auto capture = std::make_shared<platform::FakeCaptureService>(
      std::vector<platform::DisplayInfo>{{kDisplay, {0, 0, 1920, 1080}}});
  server::Services services;
  services.capture = capture;
  services.frameExecutor = cpu.get_executor();
  services.segmentCache = state.range(1) != 0;
  auto handler = std::make_shared<server::ProtocolImplementation>(services);
  auto headset = std::make_shared<AnsweringHeadset>();
  auto [serverEnd, headsetEnd] = transport::Connection::makePipe(io.get_executor());
  messaging::Multiplexer server(io.get_executor(), serverEnd, handler);
  handler->setRemote(messaging::Remote(server));
  messaging::Multiplexer client(io.get_executor(), headsetEnd, headset);
  asio::co_spawn(io, messaging::Remote::callOver<messaging::serverMessages::StartCasting>(client, {kDisplay}),
                 asio::use_future)
      .get();
  std::vector<platform::SampleBuffer> frames = replay(state.range(0) != 0);
  std::size_t index = 0;
  auto deliver = [&] {
    const std::uint64_t target = headset->frames.load() + 1;
    capture->push(kDisplay, frames[index++ % frames.size()]);
    headset->waitFor(target);
  };
  deliver();  // the first frame is always compressed whole
  // As a headset does: confirm the mask, so that later frames leave it out.
  media::Sha256Digest digest = media::sha256(media::extractAlpha(*frames[0].image).bytes);
  asio::co_spawn(io,
                 messaging::Remote::callOver<messaging::serverMessages::WindowMask>(
                     client, {.identifier = kDisplay, .hash = Bytes(digest.begin(), digest.end())}),
                 asio::use_future)
      .get();
  double cpuStart = processCpuSeconds();
  for (auto _ : state) deliver();
  state.counters["cpu_ms_per_frame"] =
      1000 * (processCpuSeconds() - cpuStart) / static_cast<double>(state.iterations());

  handler->endConnection();
  headsetEnd.close();
  work.reset();
  io.stop();
  for (auto& thread : ioThreads) thread.join();
  cpu.stop();
  cpu.join();
}
BENCHMARK(BM_ServerCpuPerFrame)
    ->Args({1, 1})
    ->Args({1, 0})
    ->Args({0, 1})
    ->Args({0, 0})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Arg: frames in flight.
void BM_CastingThroughHandler(benchmark::State& state) {
  asio::io_context io;
  auto work = asio::make_work_guard(io);
  std::vector<std::thread> ioThreads;
  for (int i = 0; i < 2; ++i) ioThreads.emplace_back([&io] { io.run(); });
  asio::thread_pool cpu(std::max(1u, std::thread::hardware_concurrency()));

  auto capture = std::make_shared<platform::FakeCaptureService>(
      std::vector<platform::DisplayInfo>{{kDisplay, {0, 0, 1920, 1080}}});
  server::Services services;
  services.capture = capture;
  services.frameExecutor = cpu.get_executor();
  services.maxFramesInFlight = static_cast<std::size_t>(state.range(0));
  auto handler = std::make_shared<server::ProtocolImplementation>(services);
  auto headset = std::make_shared<AnsweringHeadset>();
  auto [serverEnd, headsetEnd] = transport::Connection::makePipe(io.get_executor());
  messaging::Multiplexer server(io.get_executor(), serverEnd, handler);
  handler->setRemote(messaging::Remote(server));
  messaging::Multiplexer client(io.get_executor(), headsetEnd, headset);
  asio::co_spawn(io, messaging::Remote::callOver<messaging::serverMessages::StartCasting>(client, {kDisplay}),
                 asio::use_future)
      .get();

  // The capture side: a new frame whenever the handler took the previous one
  // would be too gentle; a producer pushing at full speed (newest wins) is
  // what a busy screen looks like.
  std::vector<platform::SampleBuffer> frames;
  for (int i = 0; i < 4; ++i) frames.push_back(desktopFrame(i));
  std::atomic<bool> producing = true;
  std::thread producer([&] {
    for (std::size_t i = 0; producing; ++i) {
      capture->push(kDisplay, frames[i % frames.size()]);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });

  std::uint64_t start = headset->frames.load();
  for (auto _ : state) headset->waitFor(headset->frames.load() + 1);
  state.SetItemsProcessed(static_cast<std::int64_t>(headset->frames.load() - start));

  producing = false;
  producer.join();
  handler->endConnection();
  headsetEnd.close();
  work.reset();
  io.stop();
  for (auto& thread : ioThreads) thread.join();
  cpu.stop();
  cpu.join();
}
BENCHMARK(BM_CastingThroughHandler)->Arg(1)->Arg(2)->Arg(3)->Arg(4)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
