#include "peer/Headset.h"

#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

namespace marlinax::peer {

using namespace messaging;

asio::awaitable<std::optional<Bytes>> HeadsetHandler::handle(Messages message, Bytes data) {
  auto self = shared_from_this();
  co_return co_await serveClientMessage(*self, message, std::move(data));
}

asio::awaitable<clientMessages::MacOSHandshake::Reply>
HeadsetHandler::macOSHandshake(clientMessages::MacOSHandshake::Request request) {
  {
    std::lock_guard lock(mutex_);
    computerVersion_ = request.version;
  }
  co_return clientMessages::MacOSHandshake::Reply{.version = identity_.version, .name = identity_.name};
}

asio::awaitable<SerializableVoid> HeadsetHandler::childWindows(clientMessages::ChildWindows::Request) {
  ++childWindowLists_;
  co_return SerializableVoid{};
}

asio::awaitable<SerializableVoid> HeadsetHandler::windowFrame(clientMessages::WindowFrame::Request request) {
  ++frames_;
  FrameSink sink;
  {
    std::lock_guard lock(mutex_);
    sink = frameSink_;
  }
  if (sink) sink(std::move(request));
  co_return SerializableVoid{};
}

void HeadsetHandler::setFrameSink(FrameSink sink) {
  std::lock_guard lock(mutex_);
  frameSink_ = std::move(sink);
}

std::optional<std::int64_t> HeadsetHandler::computerVersion() const {
  std::lock_guard lock(mutex_);
  return computerVersion_;
}

HeadsetSession::HeadsetSession(asio::any_io_executor executor, transport::Connection connection,
                               HeadsetIdentity identity)
    : connection_(connection), handler_(std::make_shared<HeadsetHandler>(std::move(identity))),
      multiplexer_(std::move(executor), connection, handler_) {}

asio::awaitable<std::shared_ptr<HeadsetSession>> HeadsetSession::open(asio::any_io_executor executor, std::string host,
                                                                      std::uint16_t port, Bytes pairingCode,
                                                                      HeadsetIdentity identity) {
  transport::Connection connection = co_await transport::openConnection(executor, std::move(host), port, pairingCode);
  co_return std::make_shared<HeadsetSession>(executor, connection, std::move(identity));
}

asio::awaitable<std::optional<std::int64_t>> HeadsetSession::computerHandshake(std::chrono::milliseconds limit) const {
  auto deadline = std::chrono::steady_clock::now() + limit;
  asio::steady_timer timer(co_await asio::this_coro::executor);
  for (;;) {
    if (auto version = handler_->computerVersion()) co_return version;
    if (std::chrono::steady_clock::now() >= deadline || multiplexer_.finished()) co_return std::nullopt;
    timer.expires_after(std::chrono::milliseconds(5));
    co_await timer.async_wait(asio::use_awaitable);
  }
}

}  // namespace marlinax::peer
