#include "transport/Connection.h"

#include <array>
#include <mutex>

#include "transport/ConnectionImpl.h"
#include "transport/TransportError.h"

namespace marlinax::transport {

Connection::Connection(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

asio::awaitable<void> Connection::connect() {
  auto impl = impl_;  // keeps the connection alive across the suspension
  co_await impl->connect();
}

asio::awaitable<std::optional<Bytes>> Connection::receive() {
  auto impl = impl_;
  std::optional<Bytes> message = co_await impl->data().next();
  if (message) {
    impl->messageTaken();
  }
  co_return message;
}

asio::awaitable<void> Connection::send(Bytes data) {
  auto impl = impl_;
  co_await impl->send(std::move(data));
}

asio::awaitable<void> Connection::sendPieces(std::span<const ByteView> pieces) {
  auto impl = impl_;
  co_await impl->sendPieces(pieces);
}

bool Connection::listening() const { return impl_->listening(); }

void Connection::setMaximumMessageSize(std::uint64_t bytes) { impl_->setMaximumMessageSize(bytes); }

void Connection::setMessageDeadline(std::chrono::milliseconds deadline) { impl_->setMessageDeadline(deadline); }

void Connection::close() { impl_->close(); }

namespace {

// Both ends of an in-memory pair. Each side's incoming stream is the other
// side's outgoing one; a message is handed over whole, so sends cannot
// interleave.
struct PipeCore {
  std::mutex mutex;
  bool closed = false;
  std::array<async::Queue<Bytes>, 2> toSide;
  std::array<std::weak_ptr<Connection::Impl>, 2> sides;
};

class PipeConnection final : public Connection::Impl {
 public:
  PipeConnection(std::shared_ptr<PipeCore> core, int side) : Impl(side == 0), core_(std::move(core)), side_(side) {
    data_ = core_->toSide[side];
  }

  asio::awaitable<void> connect() override {
    std::lock_guard lock(core_->mutex);
    if (core_->closed) {
      throw std::system_error(TransportError::closedBeforeReady);
    }
    co_return;
  }

  asio::awaitable<void> send(Bytes data) override {
    const int other = 1 - side_;
    {
      std::lock_guard lock(core_->mutex);
      if (core_->closed) {
        throw std::system_error(TransportError::closed);
      }
      auto receiver = core_->sides[other].lock();
      if (!receiver || data.size() <= receiver->maximumMessageSize()) {
        core_->toSide[other].push(std::move(data));
        co_return;
      }
      // The receiver refuses the announced length and drops the connection,
      // as a socket peer would: its stream fails, ours ends.
      core_->closed = true;
    }
    core_->toSide[other].finish(TransportError::messageTooLarge);
    core_->toSide[side_].finish();
  }

  void close() override {
    {
      std::lock_guard lock(core_->mutex);
      core_->closed = true;
    }
    core_->toSide[0].finish();
    core_->toSide[1].finish();
  }

 private:
  std::shared_ptr<PipeCore> core_;
  int side_;
};

}  // namespace

std::pair<Connection, Connection> Connection::makePipe(asio::any_io_executor /*executor*/) {
  auto core = std::make_shared<PipeCore>();
  auto first = std::make_shared<PipeConnection>(core, 0);
  auto second = std::make_shared<PipeConnection>(core, 1);
  core->sides = {first, second};
  return {Connection(std::move(first)), Connection(std::move(second))};
}

}  // namespace marlinax::transport
