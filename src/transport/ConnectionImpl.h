// The shared part behind Connection values. Not for use outside transport.
#pragma once

#include <atomic>
#include <chrono>

#include "async/Queue.h"
#include "transport/Connection.h"
#include "transport/Framing.h"

namespace marlinax::transport {

class Connection::Impl {
 public:
  explicit Impl(bool listening) : listening_(listening) {}
  virtual ~Impl() = default;
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  virtual asio::awaitable<void> connect() = 0;
  virtual asio::awaitable<void> send(Bytes data) = 0;
  // A transport that cannot write pieces as they lie sends them joined.
  virtual asio::awaitable<void> sendPieces(std::span<const ByteView> pieces) {
    Bytes joined;
    for (ByteView piece : pieces) joined.insert(joined.end(), piece.begin(), piece.end());
    co_await send(std::move(joined));
  }
  virtual void close() = 0;
  // The consumer took one message out of data(); a transport that paused
  // reading because too many were waiting may read again.
  virtual void messageTaken() {}

  async::Queue<Bytes>& data() { return data_; }
  bool listening() const { return listening_; }
  void setMaximumMessageSize(std::uint64_t bytes) { maximumMessageSize_ = bytes; }
  std::uint64_t maximumMessageSize() const { return maximumMessageSize_; }
  void setMessageDeadline(std::chrono::milliseconds deadline) { messageDeadline_ = deadline.count(); }
  std::chrono::milliseconds messageDeadline() const { return std::chrono::milliseconds(messageDeadline_.load()); }

 protected:
  async::Queue<Bytes> data_;

 private:
  const bool listening_;
  std::atomic<std::uint64_t> maximumMessageSize_{kDefaultMaximumMessageSize};
  std::atomic<std::int64_t> messageDeadline_{kDefaultMessageDeadline.count()};
};

}  // namespace marlinax::transport
