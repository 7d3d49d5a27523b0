// Request/reply cost without the network: two multiplexers over an in-memory
// pair, and the body encodings of the largest routine message (the display list).

#include <future>
#include <thread>

#include <asio/co_spawn.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>
#include <benchmark/benchmark.h>

#include "messaging/MessageCatalogue.h"
#include "messaging/Multiplexer.h"
#include "messaging/Remote.h"

namespace marlinax::messaging {
namespace {

// Answers the handshake as both sides would.
class Answering : public MessageProtocol, public ServerProtocol {
 public:
  asio::awaitable<std::optional<Bytes>> handle(Messages message, Bytes data) override {
    return serveServerMessage(*this, message, std::move(data));
  }
  asio::awaitable<HandshakeReply> visionOSHandshake(HandshakeRequest request) override {
    co_return HandshakeReply{.version = request.version, .name = "Benchmark Computer"};
  }
#define REFUSE(Operation, Message, Reply)                                                                              \
  asio::awaitable<Reply> Operation(serverMessages::Message::Request) override {                                        \
    throw std::runtime_error("not served");                                                                            \
    co_return Reply{};                                                                                                 \
  }
  REFUSE(displays, Windows, serverMessages::Windows::Reply)
  REFUSE(windowPreview, WindowPreview, serverMessages::WindowPreview::Reply)
  REFUSE(startCasting, StartCasting, SerializableVoid)
  REFUSE(stopCasting, StopCasting, SerializableVoid)
  REFUSE(windowMask, WindowMask, SerializableVoid)
  REFUSE(startWatchingForChildWindows, StartWatchingForChildWindows, SerializableVoid)
  REFUSE(stopWatchingForChildWindows, StopWatchingForChildWindows, SerializableVoid)
  REFUSE(mouseMoved, MouseMoved, SerializableVoid)
  REFUSE(clicked, Clicked, SerializableVoid)
  REFUSE(scrollBegan, ScrollBegan, SerializableVoid)
  REFUSE(scrollChanged, ScrollChanged, SerializableVoid)
  REFUSE(scrollEnded, ScrollEnded, SerializableVoid)
  REFUSE(dragBegan, DragBegan, SerializableVoid)
  REFUSE(dragChanged, DragChanged, SerializableVoid)
  REFUSE(dragEnded, DragEnded, SerializableVoid)
  REFUSE(typed, Typed, SerializableVoid)
#undef REFUSE
};

// Takes everything as a reply (the asking side).
class Asking : public MessageProtocol {
 public:
  asio::awaitable<std::optional<Bytes>> handle(Messages, Bytes) override { co_return std::nullopt; }
};

void BM_HandshakeRoundTripOverPipe(benchmark::State& state) {
  asio::io_context io;
  auto work = asio::make_work_guard(io);
  std::thread thread([&io] { io.run(); });
  auto [computer, headset] = transport::Connection::makePipe(io.get_executor());
  Multiplexer serving(io.get_executor(), computer, std::make_shared<Answering>());
  Multiplexer asking(io.get_executor(), headset, std::make_shared<Asking>());
  for (auto _ : state) {
    auto reply = asio::co_spawn(io, Remote::callOver<serverMessages::VisionOSHandshake>(asking, {.version = 1}),
                                asio::use_future);
    benchmark::DoNotOptimize(reply.get());
  }
  headset.close();
  while (!serving.finished() || !asking.finished()) std::this_thread::yield();
  work.reset();
  io.stop();
  thread.join();
}
BENCHMARK(BM_HandshakeRoundTripOverPipe)->UseRealTime();

serverMessages::Windows::Reply displayList(int count) {
  serverMessages::Windows::Reply reply;
  for (int i = 0; i < count; ++i)
    reply.displays.push_back({.identifier = static_cast<std::uint32_t>(600 + i),
                              .title = "Display " + std::to_string(600 + i),
                              .app = "",
                              .frame = {1920.0 * i, 0, 1920, 1080},
                              .windowLayer = 0});
  return reply;
}

void BM_SerializeDisplayList(benchmark::State& state) {
  auto reply = displayList(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(serialize(reply));
}
BENCHMARK(BM_SerializeDisplayList)->Arg(1)->Arg(4)->Arg(16);

void BM_DeserializeDisplayList(benchmark::State& state) {
  Bytes body = serialize(displayList(static_cast<int>(state.range(0))));
  for (auto _ : state) benchmark::DoNotOptimize(deserialize<serverMessages::Windows::Reply>(body));
}
BENCHMARK(BM_DeserializeDisplayList)->Arg(1)->Arg(4)->Arg(16);

}  // namespace
}  // namespace marlinax::messaging
