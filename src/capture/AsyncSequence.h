#pragma once

// An asynchronous sequence with one or more producers on any thread and
// readers in coroutines: a mutex-guarded queue whose waiting readers are
// resumed through their own executors.

#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/awaitable.hpp>
#include <asio/execution/outstanding_work.hpp>
#include <asio/post.hpp>
#include <asio/prefer.hpp>
#include <asio/use_awaitable.hpp>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace marlinax::capture {

template <class T>
class AsyncSequence {
 public:
  // capacity 0: unbounded. Otherwise, when `capacity` elements are unread, the
  // oldest is dropped to make room for a new one (capacity 1: newest wins).
  explicit AsyncSequence(std::size_t capacity = 0) : capacity_(capacity) {}

  AsyncSequence(const AsyncSequence&) = delete;
  AsyncSequence& operator=(const AsyncSequence&) = delete;

  ~AsyncSequence() { finish(); }

  // Adds an element, or hands it straight to a waiting reader. Ignored once the
  // sequence has finished. Safe from any thread.
  void yield(T value) {
    Waiter waiter;
    {
      std::lock_guard lock(mutex_);
      if (finished_) return;
      if (waiters_.empty()) {
        if (capacity_ != 0 && items_.size() >= capacity_) {
          items_.pop_front();
          ++dropped_;
        }
        items_.push_back(std::move(value));
        return;
      }
      waiter = std::move(waiters_.front());
      waiters_.pop_front();
    }
    waiter(std::optional<T>(std::move(value)));
  }

  // Ends the sequence: unread elements are discarded, waiting readers and
  // every later next() get none. Idempotent; safe from any thread.
  void finish() {
    std::deque<Waiter> waiters;
    std::deque<T> discarded;
    {
      std::lock_guard lock(mutex_);
      if (finished_) return;
      finished_ = true;
      waiters.swap(waiters_);
      discarded.swap(items_);
    }
    for (auto& waiter : waiters) waiter(std::nullopt);
  }

  // The next element, waiting for one; none once the sequence has finished.
  // Each waiting call is resumed exactly once, on its own executor.
  asio::awaitable<std::optional<T>> next() {
    if (auto ready = tryNext(); ready || isFinished()) co_return ready;
    // A named initiation: g++ 12 destroys a closure temporary inside a
    // co_await expression twice.
    auto initiation = [sequence = this](auto handler) { sequence->wait(std::move(handler)); };
    co_return co_await asio::async_initiate<decltype(asio::use_awaitable), void(std::optional<T>)>(
        std::move(initiation), asio::use_awaitable);
  }

  // The next element if one is buffered, without waiting.
  std::optional<T> tryNext() {
    std::lock_guard lock(mutex_);
    if (items_.empty()) return std::nullopt;
    std::optional<T> value(std::move(items_.front()));
    items_.pop_front();
    return value;
  }

  bool isFinished() const {
    std::lock_guard lock(mutex_);
    return finished_;
  }
  std::size_t buffered() const {
    std::lock_guard lock(mutex_);
    return items_.size();
  }
  // How many unread elements were dropped to respect the capacity.
  std::size_t dropped() const {
    std::lock_guard lock(mutex_);
    return dropped_;
  }

 private:
  using Waiter = std::function<void(std::optional<T>)>;

  template <class Handler>
  void wait(Handler handler) {
    // Keeps the reader's executor busy while it waits, so that its io_context
    // does not run out of work.
    auto executor = asio::prefer(asio::get_associated_executor(handler), asio::execution::outstanding_work.tracked);
    auto shared = std::make_shared<Handler>(std::move(handler));
    Waiter waiter = [shared, executor](std::optional<T> value) {
      asio::post(executor, [shared, value = std::move(value)]() mutable { (*shared)(std::move(value)); });
    };

    std::optional<T> ready;  // stays none when the sequence has finished meanwhile
    {
      std::lock_guard lock(mutex_);
      if (!items_.empty()) {
        ready.emplace(std::move(items_.front()));
        items_.pop_front();
      } else if (!finished_) {
        waiters_.push_back(std::move(waiter));
        return;
      }
    }
    waiter(std::move(ready));
  }

  mutable std::mutex mutex_;
  const std::size_t capacity_;
  std::deque<T> items_;
  std::deque<Waiter> waiters_;
  std::size_t dropped_ = 0;
  bool finished_ = false;
};

}  // namespace marlinax::capture
