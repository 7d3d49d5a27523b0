#pragma once

// A counting semaphore for coroutines: at most `capacity` holders at a time,
// later ones wait in arrival order. Nothing here blocks a thread.

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>

#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/awaitable.hpp>
#include <asio/execution/outstanding_work.hpp>
#include <asio/post.hpp>
#include <asio/prefer.hpp>
#include <asio/use_awaitable.hpp>

namespace marlinax::server {

class WorkSlots : public std::enable_shared_from_this<WorkSlots> {
 public:
  explicit WorkSlots(std::size_t capacity) : free_(capacity == 0 ? 1 : capacity) {}

  // Holds a slot until the returned handle is destroyed.
  asio::awaitable<std::shared_ptr<void>> acquire() {
    auto self = shared_from_this();
    auto initiation = [self](auto handler) {
      auto executor = asio::prefer(asio::get_associated_executor(handler), asio::execution::outstanding_work.tracked);
      auto shared = std::make_shared<decltype(handler)>(std::move(handler));
      std::function<void()> resume = [shared, executor] {
        asio::post(executor, [shared]() mutable { std::move(*shared)(); });
      };
      {
        std::lock_guard lock(self->mutex_);
        if (self->free_ == 0) {
          self->waiters_.push_back(std::move(resume));
          return;
        }
        --self->free_;
      }
      resume();
    };
    co_await asio::async_initiate<decltype(asio::use_awaitable), void()>(std::move(initiation), asio::use_awaitable);
    co_return std::shared_ptr<void>(nullptr, [self](void*) { self->release(); });
  }

  std::size_t waiting() const {
    std::lock_guard lock(mutex_);
    return waiters_.size();
  }

 private:
  void release() {
    std::function<void()> next;
    {
      std::lock_guard lock(mutex_);
      if (waiters_.empty()) {
        ++free_;
        return;
      }
      next = std::move(waiters_.front());
      waiters_.pop_front();
    }
    next();  // the slot passes straight to the oldest waiter
  }

  mutable std::mutex mutex_;
  std::size_t free_;
  std::deque<std::function<void()>> waiters_;
};

}  // namespace marlinax::server
