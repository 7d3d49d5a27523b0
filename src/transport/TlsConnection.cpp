#include "transport/TlsConnection.h"

#include <algorithm>
#include <deque>
#include <span>
#include <vector>

#include <asio/bind_executor.hpp>
#include <asio/co_spawn.hpp>
#include <asio/connect.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/ssl/error.hpp>
#include <asio/ssl/stream.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include "transport/ConnectionImpl.h"
#include "transport/TlsContext.h"
#include "transport/TransportError.h"

namespace marlinax::transport {
namespace {

using asio::use_awaitable;

class TlsConnection final : public Connection::Impl, public std::enable_shared_from_this<TlsConnection> {
 public:
  TlsConnection(asio::ip::tcp::socket socket, std::shared_ptr<TlsContext> context, bool listening)
      : Impl(listening), context_(std::move(context)),
        // The TLS stream is only ever touched from this strand.
        executor_(asio::make_strand(socket.get_executor())), stream_(std::move(socket), context_->context) {
    std::error_code ignored;
    stream_.lowest_layer().set_option(asio::ip::tcp::no_delay(true), ignored);
  }

  asio::awaitable<void> connect() override {
    auto self = shared_from_this();
    co_await asio::co_spawn(executor_, self->handshake(), use_awaitable);
  }

  asio::awaitable<void> send(Bytes data) override {
    const ByteView piece(data);
    co_await sendPieces(std::span<const ByteView>(&piece, 1));
  }

  asio::awaitable<void> sendPieces(std::span<const ByteView> pieces) override {
    auto self = shared_from_this();
    co_await asio::co_spawn(executor_, self->write(pieces), use_awaitable);
  }

  void close() override {
    asio::post(executor_, [self = shared_from_this()] { self->closeOnStrand(); });
  }

  void messageTaken() override {
    asio::post(executor_, [self = shared_from_this()] {
      if (self->waiting_ > 0) {
        --self->waiting_;
      }
      if (self->waiting_ < kMaxWaitingMessages) {
        self->resumeReading_.cancel();
      }
    });
  }

 private:
  enum class State { created, handshaking, ready, ended, failed, closed };

  // The server writes little-endian and reads big-endian; a connection this
  // program opens plays the headset's part and mirrors that.
  HeaderOrder writeOrder() const { return listening() ? HeaderOrder::littleEndian : HeaderOrder::bigEndian; }
  HeaderOrder readOrder() const { return listening() ? HeaderOrder::bigEndian : HeaderOrder::littleEndian; }

  // Everything below runs on executor_, the connection's strand.

  asio::awaitable<void> handshake() {
    if (state_ == State::closed) {
      throw std::system_error(TransportError::closedBeforeReady);
    }
    if (state_ != State::created) {
      throw std::system_error(asio::error::already_connected);
    }
    state_ = State::handshaking;
    auto [error] =
        co_await stream_.async_handshake(listening() ? asio::ssl::stream_base::server : asio::ssl::stream_base::client,
                                         asio::experimental::as_tuple(use_awaitable));
    if (state_ == State::closed) {
      throw std::system_error(TransportError::closedBeforeReady);
    }
    if (error) {
      fail(error);
      throw std::system_error(error);
    }
    state_ = State::ready;
    asio::co_spawn(executor_, receiveLoop(shared_from_this()), asio::detached);
  }

  // Feeds data_ until the stream ends. Holds the connection alive meanwhile:
  // a connection lives as long as its peer keeps it open.
  asio::awaitable<void> receiveLoop(std::shared_ptr<TlsConnection> /*keepAlive*/) {
    FrameReader reader(maximumMessageSize(), readOrder());
    std::error_code end;
    try {
      for (;;) {
        const auto space = reader.prepare();
        const std::size_t count =
            co_await stream_.async_read_some(asio::buffer(space.data(), space.size()), use_awaitable);
        reader.commit(count);
        while (auto message = reader.next()) {
          ++waiting_;
          data_.push(std::move(*message));
        }
        watchMessageDeadline(reader.midMessage());
        // The consumer is behind: leave the bytes in the socket, so the peer
        // meets a full TCP window instead of this process buffering for it.
        while (waiting_ >= kMaxWaitingMessages && state_ == State::ready) {
          resumeReading_.expires_at(asio::steady_timer::time_point::max());
          co_await resumeReading_.async_wait(asio::experimental::as_tuple(use_awaitable));
        }
        if (state_ != State::ready) {
          break;
        }
      }
    } catch (const std::system_error& error) {
      end = error.code();
    }
    watchMessageDeadline(false);
    // Whole messages parsed before an oversize header are still delivered.
    while (auto message = reader.next()) {
      data_.push(std::move(*message));
    }
    if (state_ != State::ready) {
      co_return;  // closed locally, or failed by a send: data_ has ended already
    }
    // A peer closing, with or without close_notify, is a normal end unless it
    // cuts a message short.
    const bool peerClosed = end == asio::error::eof || end == asio::ssl::error::stream_truncated;
    if (peerClosed && !reader.midMessage()) {
      state_ = State::ended;
      data_.finish();
    } else {
      fail(peerClosed ? make_error_code(TransportError::messageTruncated) : end);
    }
  }

  asio::awaitable<void> write(std::span<const ByteView> pieces) {
    std::size_t size = 0;
    for (ByteView piece : pieces) size += piece.size();
    // Sends take turns so their bytes never interleave: a send arriving while
    // another is writing waits on a timer that the writer cancels when done.
    // A small message (a reply, an input request) waiting for its turn goes
    // ahead of the large ones (frames) waiting too, never into the middle of
    // the one being written: input round trips stay short while casting.
    if (writing_) {
      auto turn = std::make_shared<Turn>(executor_);
      turn->small = size <= kSmallMessage;
      auto place = writeQueue_.end();
      if (turn->small)
        place =
            std::find_if(writeQueue_.begin(), writeQueue_.end(), [](const auto& waiting) { return !waiting->small; });
      writeQueue_.insert(place, turn);
      co_await turn->timer.async_wait(asio::experimental::as_tuple(use_awaitable));
      if (!turn->granted) {
        // Woken by cancellation of this send, not by the writer: leave the line.
        std::erase(writeQueue_, turn);
        throw std::system_error(asio::error::operation_aborted);
      }
    }
    writing_ = true;
    struct HandOver {
      TlsConnection& connection;
      ~HandOver() { connection.nextWriter(); }
    } handOver{*this};

    if (state_ != State::ready && state_ != State::ended) {
      throw std::system_error(state_ == State::created || state_ == State::handshaking
                                  ? make_error_code(asio::error::not_connected)
                                  : make_error_code(TransportError::closed));
    }
    const auto header = encodeFrameHeader(size, writeOrder());
    // One gather write: asio's TLS stream packs a short header and the pieces
    // after it into records, copying nothing else together.
    std::vector<asio::const_buffer> buffers;
    buffers.reserve(pieces.size() + 1);
    buffers.push_back(asio::buffer(header));
    for (ByteView piece : pieces) buffers.push_back(asio::buffer(piece.data(), piece.size()));
    auto [error, written] = co_await asio::async_write(stream_, buffers, asio::experimental::as_tuple(use_awaitable));
    (void)written;
    if (error) {
      // Part of a message may be on the wire; the stream cannot continue.
      if (state_ == State::closed) {
        throw std::system_error(TransportError::closed);
      }
      fail(error);
      throw std::system_error(error);
    }
  }

  // Arms the deadline when a message is in progress and none is armed;
  // disarms it between messages.
  void watchMessageDeadline(bool inMessage) {
    if (inMessage == deadlineArmed_) {
      return;
    }
    deadlineArmed_ = inMessage;
    ++deadlineGeneration_;
    if (!inMessage) {
      messageDeadline_.cancel();
      return;
    }
    messageDeadline_.expires_after(messageDeadline());
    messageDeadline_.async_wait(asio::bind_executor(
        executor_, [self = shared_from_this(), generation = deadlineGeneration_](std::error_code error) {
          if (!error && generation == self->deadlineGeneration_ && self->state_ == State::ready) {
            self->fail(TransportError::messageStalled);
          }
        }));
  }

  void nextWriter() {
    if (writeQueue_.empty()) {
      writing_ = false;
      return;
    }
    // writing_ stays true: the turn passes straight to the oldest waiter.
    auto turn = std::move(writeQueue_.front());
    writeQueue_.pop_front();
    turn->granted = true;
    turn->timer.cancel();
  }

  void fail(std::error_code error) {
    if (state_ == State::failed || state_ == State::closed) {
      return;
    }
    state_ = State::failed;
    shutdownSocket();
    data_.finish(error);
    resumeReading_.cancel();
    messageDeadline_.cancel();
  }

  void closeOnStrand() {
    if (state_ == State::closed) {
      return;
    }
    state_ = State::closed;
    shutdownSocket();
    data_.finish();
    resumeReading_.cancel();
    messageDeadline_.cancel();
  }

  void shutdownSocket() {
    std::error_code ignored;
    stream_.lowest_layer().shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    stream_.lowest_layer().close(ignored);
  }

  std::shared_ptr<TlsContext> context_;
  asio::any_io_executor executor_;
  asio::ssl::stream<asio::ip::tcp::socket> stream_;
  State state_ = State::created;
  // Messages handed to data_ and not yet taken by the consumer.
  std::size_t waiting_ = 0;
  asio::steady_timer resumeReading_{executor_};
  asio::steady_timer messageDeadline_{executor_};
  bool deadlineArmed_ = false;
  std::uint64_t deadlineGeneration_ = 0;
  bool writing_ = false;
  struct Turn {
    explicit Turn(const asio::any_io_executor& executor) : timer(executor, asio::steady_timer::time_point::max()) {}
    asio::steady_timer timer;
    bool granted = false;
    bool small = false;
  };
  // Messages up to this size may overtake larger ones waiting to be written.
  static constexpr std::size_t kSmallMessage = 64 * 1024;
  std::deque<std::shared_ptr<Turn>> writeQueue_;
};

}  // namespace

Connection makeTlsConnection(asio::ip::tcp::socket socket, std::shared_ptr<TlsContext> context, bool listening) {
  return Connection(std::make_shared<TlsConnection>(std::move(socket), std::move(context), listening));
}

asio::awaitable<Connection> openConnection(asio::any_io_executor executor, std::string host, std::uint16_t port,
                                           ByteView passcode, std::uint64_t maximumMessageSize) {
  auto context = makeClientContext(tlsParameters(passcode));
  asio::ip::tcp::resolver resolver(executor);
  const auto endpoints = co_await resolver.async_resolve(host, std::to_string(port),
                                                         asio::ip::resolver_base::numeric_service, use_awaitable);
  asio::ip::tcp::socket socket(executor);
  co_await asio::async_connect(socket, endpoints, use_awaitable);
  Connection connection = makeTlsConnection(std::move(socket), std::move(context), false);
  connection.setMaximumMessageSize(maximumMessageSize);
  std::exception_ptr failure;
  try {
    co_await connection.connect();
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) {
    connection.close();
    std::rethrow_exception(failure);
  }
  co_return connection;
}

}  // namespace marlinax::transport
