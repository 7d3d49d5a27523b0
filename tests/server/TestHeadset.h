#pragma once

// The headset's side of a connection for the server's tests: reads each frame
// as the headset would and answers it at once, or holds the answer until
// released; and the link that serves a handler to it over an in-memory pair.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include <asio/thread_pool.hpp>

#include "async/Queue.h"
#include "messaging/MessageCatalogue.h"
#include "messaging/Multiplexer.h"
#include "messaging/Protocols.h"
#include "messaging/Remote.h"
#include "peer/FragmentReader.h"
#include "server/ProtocolImplementation.h"
#include "support/IoHarness.h"

namespace marlinax::server::testpeer {

struct ReceivedFrame {
  std::uint32_t identifier = 0;
  peer::ReadFragment fragment;
  std::int64_t tag() const { return fragment.sampleBuffer.presentationTime.value; }
};

class TestHeadset final : public messaging::MessageProtocol {
 public:
  // Frames and child-window lists are answered; while `holding`, a frame's
  // answer waits for a value pushed to `releases`, or for its end.
  asio::awaitable<std::optional<Bytes>> handle(messaging::Messages message, Bytes data) override {
    if (message == messaging::Messages::childWindows) co_return Bytes{};
    if (message != messaging::Messages::windowFrame) co_return std::nullopt;  // a reply to the headset's request
    auto request = messaging::deserialize<messaging::clientMessages::WindowFrame::Request>(data);
    {
      std::lock_guard lock(mutex_);
      frames_.push_back({request.identifier, peer::readFragment(request.frame)});
    }
    if (holding) co_await releases->next();
    co_return Bytes{};
  }

  std::vector<ReceivedFrame> frames() const {
    std::lock_guard lock(mutex_);
    return frames_;
  }

  std::atomic<bool> holding = false;
  std::shared_ptr<async::Queue<bool>> releases = std::make_shared<async::Queue<bool>>();

 private:
  mutable std::mutex mutex_;
  std::vector<ReceivedFrame> frames_;
};

// A handler serving a TestHeadset over an in-memory pair, with the threads
// that run both: network work on `io`, frame work on `cpu` (set as the
// handler's frame executor). Without `remote` the handler has no connection to
// send frames on until attachRemote(). Ending the link closes the headset's end
// and waits until both read loops have ended.
class HeadsetLink {
 public:
  explicit HeadsetLink(Services services, bool remote = true) {
    services.frameExecutor = cpu.get_executor();
    handler = std::make_shared<ProtocolImplementation>(std::move(services));
    auto [local, far] = transport::Connection::makePipe(io.executor());
    headsetEnd = far;
    server.emplace(io.executor(), local, handler);
    if (remote) attachRemote();
    client.emplace(io.executor(), headsetEnd, headset);
  }
  ~HeadsetLink() {
    close();
    io.stop();
    cpu.join();
  }

  void attachRemote() { handler->setRemote(messaging::Remote(*server)); }

  // Ends the connection from the headset's side.
  void close() {
    headset->releases->finish();
    headsetEnd.close();
    EXPECT_TRUE(testing::IoHarness::eventually([&] { return client->finished() && server->finished(); }));
  }

  template <class M>
  typename M::Reply call(typename M::Request request) {
    return io.await(messaging::Remote::callOver<M>(*client, std::move(request)));
  }
  // A request whose reply is not waited for.
  template <class M>
  std::future<typename M::Reply> start(typename M::Request request) {
    return io.start(messaging::Remote::callOver<M>(*client, std::move(request)));
  }

  testing::IoHarness io;
  asio::thread_pool cpu{2};
  std::shared_ptr<ProtocolImplementation> handler;
  std::shared_ptr<TestHeadset> headset = std::make_shared<TestHeadset>();
  transport::Connection headsetEnd;
  std::optional<messaging::Multiplexer> server, client;
};

}  // namespace marlinax::server::testpeer
