#include "messaging/Multiplexer.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <span>
#include <utility>
#include <vector>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>

#include "async/Waiter.h"
#include "codec/Cod.h"
#include "log/Log.h"

namespace marlinax::messaging {

// ---- Replies ---------------------------------------------------------------

std::optional<std::int64_t> Replies::registerContinuation(std::unique_ptr<Continuation> continuation) {
  std::unique_lock lock(mutex_);
  if (closed_) {
    auto error = closed_;
    lock.unlock();
    continuation->resume(error, {});
    return std::nullopt;
  }
  std::int64_t token = token_++;
  continuations_.emplace(token, std::move(continuation));
  return token;
}

bool Replies::resume(std::int64_t token, Bytes body) {
  std::unique_ptr<Continuation> continuation;
  {
    std::lock_guard lock(mutex_);
    auto found = continuations_.find(token);
    if (found == continuations_.end()) return false;
    continuation = std::move(found->second);
    continuations_.erase(found);
  }
  continuation->resume(nullptr, std::move(body));
  return true;
}

void Replies::cancelAll(std::exception_ptr error) {
  std::map<std::int64_t, std::unique_ptr<Continuation>> failed;
  {
    std::lock_guard lock(mutex_);
    failed.swap(continuations_);
  }
  for (auto& [token, continuation] : failed) continuation->resume(error, {});
}

void Replies::close(std::exception_ptr error) {
  {
    std::lock_guard lock(mutex_);
    closed_ = error;
  }
  cancelAll(error);
}

std::size_t Replies::pendingCount() const {
  std::lock_guard lock(mutex_);
  return continuations_.size();
}

// ---- Multiplexer -----------------------------------------------------------

struct Multiplexer::State {
  asio::any_io_executor executor;
  transport::Connection connection;
  std::shared_ptr<MessageProtocol> localInterface;  // released when the read loop ends
  Replies replies;
  Limits limits;
  std::atomic<bool> finished = false;
  // Back-pressure: guarded by flowMutex.
  std::mutex flowMutex;
  std::size_t inProgress = 0;
  std::size_t queuedReplyBytes = 0;
  async::Waiter<void()> readerWaiting;  // the read loop, parked until below the bounds
  Stats stats;
  std::mutex finishedMutex;
  std::vector<std::function<void()>> finishedCallbacks;

  State(asio::any_io_executor executor, transport::Connection connection, std::shared_ptr<MessageProtocol> handler,
        Limits limits)
      : executor(std::move(executor)), connection(std::move(connection)), localInterface(std::move(handler)),
        limits(limits) {
    stats.limits = limits;
  }

  bool belowBoundsLocked() const {
    return inProgress < limits.requestsInProgress && queuedReplyBytes < limits.queuedReplyBytes;
  }

  // Called with flowMutex held after a bound was released; returns the parked
  // read loop to resume, if it may go on now.
  async::Waiter<void()> wakeReaderLocked() {
    if (readerWaiting && belowBoundsLocked()) return std::move(readerWaiting);
    return {};
  }
};

namespace {

// A pending request's caller, resumed with the reply or the failure. It counts
// as outstanding work of its executor, so that executor's run() does not
// return while a caller waits for its reply.
class WaiterContinuation final : public Replies::Continuation {
 public:
  explicit WaiterContinuation(async::Waiter<void(std::exception_ptr, Bytes)> waiter) : waiter_(std::move(waiter)) {}
  void resume(std::exception_ptr error, Bytes body) override { waiter_(error, std::move(body)); }

 private:
  async::Waiter<void(std::exception_ptr, Bytes)> waiter_;
};

// Writes the identifier byte and the token, then the body's pieces as they lie.
asio::awaitable<void> sendMessage(std::shared_ptr<Multiplexer::State> state, std::int64_t token, MessagePieces body,
                                  Messages message) {
  Bytes head;
  head.reserve(10);
  head.push_back(static_cast<std::uint8_t>(message));
  codec::appendVarint(head, static_cast<std::uint64_t>(token));
  std::vector<ByteView> pieces;
  pieces.reserve(body.pieces.size() + 1);
  pieces.push_back(head);
  pieces.insert(pieces.end(), body.pieces.begin(), body.pieces.end());
  try {
    co_await state->connection.sendPieces(pieces);
  } catch (const std::exception& error) {
    bool first = false;
    {
      std::lock_guard lock(state->flowMutex);
      first = state->stats.failedSends++ == 0;
    }
    // Once the connection is gone every queued message fails: the first
    // failure is printed, the others only counted.
    if (first) {
      std::printf("%s\n", error.what());
      std::fflush(stdout);
    }
  }
}

// Parks the read loop until the connection is below both bounds.
asio::awaitable<void> belowBounds(std::shared_ptr<Multiplexer::State> state) {
  auto start = [state](async::Waiter<void()> resume) {
    {
      std::lock_guard lock(state->flowMutex);
      if (!state->belowBoundsLocked()) {
        state->readerWaiting = std::move(resume);
        return;
      }
    }
    resume();
  };
  co_await async::suspend<void()>(std::move(start));
}

// Counts one incoming message as in progress until destroyed.
class InProgress {
 public:
  explicit InProgress(std::shared_ptr<Multiplexer::State> state) : state_(std::move(state)) {}
  InProgress(const InProgress&) = delete;
  InProgress& operator=(const InProgress&) = delete;
  ~InProgress() {
    async::Waiter<void()> resume;
    {
      std::lock_guard lock(state_->flowMutex);
      --state_->inProgress;
      state_->queuedReplyBytes -= queued_;
      resume = state_->wakeReaderLocked();
    }
    if (resume) resume();
  }

  // The reply of `bytes` now waits to be written.
  void queue(std::size_t bytes) {
    std::lock_guard lock(state_->flowMutex);
    queued_ += bytes;
    state_->queuedReplyBytes += bytes;
    state_->stats.queuedReplyBytesPeak = std::max(state_->stats.queuedReplyBytesPeak, state_->queuedReplyBytes);
  }

 private:
  std::shared_ptr<Multiplexer::State> state_;
  std::size_t queued_ = 0;
};

asio::awaitable<void> handleIncoming(std::shared_ptr<Multiplexer::State> state,
                                     std::shared_ptr<MessageProtocol> handler, Bytes message,
                                     std::shared_ptr<InProgress> inProgress) {
  if (message.empty()) co_return;
  auto identifier = messageFromByte(message[0]);
  if (!identifier) co_return;
  std::size_t offset = 1;
  std::uint64_t token = 0;
  try {
    token = codec::readVarint(message, offset);
  } catch (const std::exception& error) {
    log::debug(std::string("message with a malformed token dropped: ") + error.what());
    co_return;
  }
  if (token > static_cast<std::uint64_t>(INT64_MAX)) co_return;
  Bytes body(message.begin() + static_cast<std::ptrdiff_t>(offset), message.end());
  message.clear();
  message.shrink_to_fit();

  std::optional<Bytes> reply;
  try {
    // The handler takes its own copy: when it has no reply, the body is the
    // peer's reply to one of our requests and is still needed here.
    reply = co_await handler->handle(*identifier, body);
  } catch (const std::exception& error) {
    log::warning(std::string(messageName(*identifier)) + " failed: " + error.what());
    co_return;  // a failed request is not answered
  } catch (...) {
    log::warning(std::string(messageName(*identifier)) + " failed");
    co_return;
  }
  if (reply) {
    inProgress->queue(reply->size());
    co_await sendMessage(state, static_cast<std::int64_t>(token), MessagePieces::of(std::move(*reply)), *identifier);
    co_return;
  }
  state->replies.resume(static_cast<std::int64_t>(token), std::move(body));
}

asio::awaitable<void> run(std::shared_ptr<Multiplexer::State> state) {
  std::shared_ptr<MessageProtocol> handler = state->localInterface;
  for (;;) {
    co_await belowBounds(state);
    std::optional<Bytes> message;
    try {
      message = co_await state->connection.receive();
    } catch (...) {
      state->replies.close(std::current_exception());
      break;
    }
    if (!message) {
      state->replies.close(std::make_exception_ptr(ConnectionClosed()));
      break;
    }
    std::shared_ptr<InProgress> inProgress;
    {
      std::lock_guard lock(state->flowMutex);
      ++state->stats.messagesReceived;
      ++state->inProgress;
      state->stats.requestsInProgressPeak = std::max(state->stats.requestsInProgressPeak, state->inProgress);
    }
    inProgress = std::make_shared<InProgress>(state);
    asio::co_spawn(state->executor, handleIncoming(state, handler, std::move(*message), std::move(inProgress)),
                   asio::detached);
  }
  std::vector<std::function<void()>> callbacks;
  {
    std::lock_guard lock(state->finishedMutex);
    state->finished = true;
    callbacks.swap(state->finishedCallbacks);
  }
  // Tasks already started keep their own reference to the handler.
  state->localInterface.reset();
  for (auto& callback : callbacks) callback();
}

}  // namespace

Multiplexer::Multiplexer(asio::any_io_executor executor, transport::Connection connection,
                         std::shared_ptr<MessageProtocol> localInterface, Limits limits)
    : state_(std::make_shared<State>(std::move(executor), std::move(connection), std::move(localInterface), limits)) {
  asio::co_spawn(state_->executor, run(state_), asio::detached);
}

MessagePieces MessagePieces::of(Bytes data) {
  auto owned = std::make_shared<const Bytes>(std::move(data));
  return MessagePieces{.pieces = {ByteView(*owned)}, .owner = owned};
}

asio::awaitable<Bytes> Multiplexer::sendWithReply(Messages message, Bytes data) const {
  return sendPiecesWithReply(message, MessagePieces::of(std::move(data)));
}

asio::awaitable<Bytes> Multiplexer::sendPiecesWithReply(Messages message, MessagePieces data) const {
  auto state = state_;
  // Registers the caller's continuation and sends in a task of its own; the
  // caller resumes when the reply comes or the stream ends.
  auto start = [state, message, data = std::move(data)](async::Waiter<void(std::exception_ptr, Bytes)> waiter) mutable {
    auto token = state->replies.registerContinuation(std::make_unique<WaiterContinuation>(std::move(waiter)));
    if (!token) return;  // already failed: the stream has ended
    asio::co_spawn(state->executor, sendMessage(state, *token, std::move(data), message), asio::detached);
  };
  co_return co_await async::suspend<void(std::exception_ptr, Bytes)>(std::move(start));
}

asio::awaitable<void> Multiplexer::send(std::int64_t token, Bytes data, Messages message) const {
  co_await sendMessage(state_, token, MessagePieces::of(std::move(data)), message);
}

bool Multiplexer::finished() const { return state_->finished; }

void Multiplexer::whenFinished(std::function<void()> callback) const {
  {
    std::lock_guard lock(state_->finishedMutex);
    if (!state_->finished) {
      state_->finishedCallbacks.push_back(std::move(callback));
      return;
    }
  }
  callback();
}
std::size_t Multiplexer::pendingRequests() const { return state_->replies.pendingCount(); }

Multiplexer::Stats Multiplexer::stats() const {
  std::lock_guard lock(state_->flowMutex);
  return state_->stats;
}
asio::any_io_executor Multiplexer::executor() const { return state_->executor; }
transport::Connection Multiplexer::connection() const { return state_->connection; }

}  // namespace marlinax::messaging
