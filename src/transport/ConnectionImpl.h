// The shared part behind Connection values. Not for use outside transport.
#pragma once

#include "transport/AsyncQueue.h"
#include "transport/Connection.h"
#include "transport/Framing.h"

#include <atomic>

namespace marlinax::transport {

class Connection::Impl {
public:
  explicit Impl(bool listening) : listening_(listening) {}
  virtual ~Impl() = default;
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  virtual asio::awaitable<void> connect() = 0;
  virtual asio::awaitable<void> send(Bytes data) = 0;
  virtual void close() = 0;

  AsyncQueue<Bytes>& data() { return data_; }
  bool listening() const { return listening_; }
  void setMaximumMessageSize(std::uint64_t bytes) { maximumMessageSize_ = bytes; }
  std::uint64_t maximumMessageSize() const { return maximumMessageSize_; }

protected:
  AsyncQueue<Bytes> data_;

private:
  const bool listening_;
  std::atomic<std::uint64_t> maximumMessageSize_{kDefaultMaximumMessageSize};
};

}  // namespace marlinax::transport
