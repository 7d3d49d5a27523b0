// Casting through the server handler at the casting size (2400 x 1280): frames
// pushed into a capture stream as fast as the handler takes them, built on a
// pool of worker threads, sent over an in-memory connection and answered by a
// headset. Compared with the fragment pipeline on one thread, the ceiling that
// one core gives.

#include <benchmark/benchmark.h>

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

#include "media/Fragment.h"
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
  return sample;
}

class AnsweringHeadset final : public messaging::MessageProtocol {
 public:
  asio::awaitable<std::optional<Bytes>> handle(messaging::Messages message, Bytes) override {
    if (message != messaging::Messages::windowFrame)
      co_return std::nullopt;
    frames.fetch_add(1);
    co_return Bytes{};
  }
  std::atomic<std::uint64_t> frames = 0;
};

void BM_FragmentPipelineOneThread(benchmark::State& state) {
  std::vector<platform::SampleBuffer> frames;
  for (int i = 0; i < 4; ++i)
    frames.push_back(desktopFrame(i));
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

// Arg: frames in flight.
void BM_CastingThroughHandler(benchmark::State& state) {
  asio::io_context io;
  auto work = asio::make_work_guard(io);
  std::vector<std::thread> ioThreads;
  for (int i = 0; i < 2; ++i)
    ioThreads.emplace_back([&io] { io.run(); });
  asio::thread_pool cpu(std::max(1u, std::thread::hardware_concurrency()));

  auto capture = std::make_shared<platform::FakeCaptureService>(
      std::vector<platform::DisplayInfo>{{kDisplay, {0, 0, 1920, 1080}}});
  server::Services services;
  services.capture = capture;
  services.frameExecutor = cpu.get_executor();
  services.framesInFlight = static_cast<std::size_t>(state.range(0));
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
  for (int i = 0; i < 4; ++i)
    frames.push_back(desktopFrame(i));
  std::atomic<bool> producing = true;
  std::thread producer([&] {
    for (std::size_t i = 0; producing; ++i) {
      capture->push(kDisplay, frames[i % frames.size()]);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });

  std::uint64_t start = headset->frames.load();
  for (auto _ : state) {
    std::uint64_t target = headset->frames.load() + 1;
    while (headset->frames.load() < target)
      std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(headset->frames.load() - start));

  producing = false;
  producer.join();
  handler->endConnection();
  headsetEnd.close();
  work.reset();
  io.stop();
  for (auto& thread : ioThreads)
    thread.join();
  cpu.stop();
  cpu.join();
}
BENCHMARK(BM_CastingThroughHandler)->Arg(1)->Arg(2)->Arg(3)->Arg(4)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
