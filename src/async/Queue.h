#pragma once

// An asynchronous queue: producers push from any thread, readers await next()
// in coroutines. Copies share one queue.
//
// Bounds: capacity 0 is unbounded and a push never waits. Otherwise a push
// onto `capacity` unread values drops the oldest of them (capacity 1: the
// newest wins), and dropped() counts them.
//
// Ending: finish() ends the queue after the values already pushed, which
// readers still get first; then next() gives none, or throws
// std::system_error when finish() carried an error. close() ends it at once,
// discarding unread values. Either way later pushes are ignored.
//
// A waiting next() that is cancelled throws std::system_error with
// asio::error::operation_aborted.

#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <utility>

#include <asio/error.hpp>

#include "async/Waiter.h"

namespace marlinax::async {

template <class T>
class Queue {
 public:
  explicit Queue(std::size_t capacity = 0) : state_(std::make_shared<State>(capacity)) {}

  void push(T value) {
    Waiter<Signature> waiter;
    {
      std::lock_guard lock(state_->mutex);
      if (state_->ended) return;
      waiter = state_->waiters.popFront();
      if (!waiter) {
        if (state_->capacity != 0 && state_->items.size() >= state_->capacity) {
          state_->items.pop_front();
          ++state_->dropped;
        }
        state_->items.push_back(std::move(value));
        return;
      }
    }
    waiter({}, std::move(value));
  }

  // Only the first finish() or close() counts. Safe from any thread.
  void finish(std::error_code error = {}) { state_->end(error, false); }
  void close() { state_->end({}, true); }

  // The next value, waiting for one; each waiting reader gets its own value
  // and is resumed on its own executor.
  asio::awaitable<std::optional<T>> next() {
    auto state = state_;  // the queue outlives the suspension
    {
      std::lock_guard lock(state->mutex);
      if (auto value = state->takeLocked()) co_return value;
      if (state->ended) {
        if (state->error) throw std::system_error(state->error);
        co_return std::nullopt;
      }
    }
    auto start = [state](Waiter<Signature> waiter) { State::wait(state, std::move(waiter)); };
    co_return co_await suspend<Signature>(std::move(start));
  }

  // The next value if one is unread, without waiting.
  std::optional<T> tryNext() {
    std::lock_guard lock(state_->mutex);
    return state_->takeLocked();
  }

  bool isFinished() const {
    std::lock_guard lock(state_->mutex);
    return state_->ended;
  }
  std::size_t buffered() const {
    std::lock_guard lock(state_->mutex);
    return state_->items.size();
  }
  std::size_t dropped() const {
    std::lock_guard lock(state_->mutex);
    return state_->dropped;
  }

 private:
  using Signature = void(std::error_code, std::optional<T>);

  struct State {
    explicit State(std::size_t c) : capacity(c) {}

    std::optional<T> takeLocked() {
      if (items.empty()) return std::nullopt;
      std::optional<T> value(std::move(items.front()));
      items.pop_front();
      return value;
    }

    static void wait(const std::shared_ptr<State>& state, Waiter<Signature> waiter) {
      std::optional<T> value;
      std::error_code error;
      {
        std::lock_guard lock(state->mutex);
        // A value or the end may have come since next() looked.
        value = state->takeLocked();
        if (!value && !state->ended) {
          state->waiters.addCancellable(std::move(waiter), state);
          return;
        }
        if (!value) error = state->error;
      }
      waiter(error, std::move(value));
    }

    void end(std::error_code endError, bool discard) {
      std::deque<Waiter<Signature>> waiting;
      std::deque<T> discarded;  // destroyed outside the lock
      {
        std::lock_guard lock(mutex);
        if (ended) return;
        ended = true;
        error = endError;
        if (discard) discarded.swap(items);
        waiting = waiters.takeAll();  // readers wait only while nothing is unread
      }
      for (auto& waiter : waiting) waiter(endError, {});
    }

    std::mutex mutex;
    const std::size_t capacity;
    std::deque<T> items;
    WaitList<Signature> waiters;
    std::size_t dropped = 0;
    bool ended = false;
    std::error_code error;
  };

  std::shared_ptr<State> state_;
};

}  // namespace marlinax::async
