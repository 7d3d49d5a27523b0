// An unbounded asynchronous sequence: producers push from any thread, a
// consumer awaits next(). Built from a mutex, a deque and stored completion
// handlers because asio's channels have a fixed capacity and these sequences
// must never make a producer wait.
//
// Ending: finish() with no error ends the sequence normally, with an error it
// ends it with that failure. Items pushed before the end are still handed out
// first; next() then yields std::nullopt (normal end) or throws
// std::system_error (failure) on every later call.
#pragma once

// A standard header before any asio header: asio 1.22 picks its aligned
// allocation functions from macros the standard library defines, and every
// translation unit must see the same choice.
#include <cstddef>

#include <asio/associated_cancellation_slot.hpp>
#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/awaitable.hpp>
#include <asio/cancellation_type.hpp>
#include <asio/error.hpp>
#include <asio/execution/outstanding_work.hpp>
#include <asio/post.hpp>
#include <asio/prefer.hpp>
#include <asio/use_awaitable.hpp>

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <utility>

namespace marlinax::transport {

template <class T>
class AsyncQueue {
public:
  AsyncQueue() : state_(std::make_shared<State>()) {}

  // Appends a value unless the sequence has ended (then the value is dropped).
  void push(T value) {
    std::unique_ptr<Waiter> waiter;
    {
      std::lock_guard lock(state_->mutex);
      if (state_->ended) {
        return;
      }
      if (state_->waiters.empty()) {
        state_->items.push_back(std::move(value));
        return;
      }
      waiter = std::move(state_->waiters.front().second);
      state_->waiters.pop_front();
    }
    waiter->complete({}, std::move(value));
  }

  // Ends the sequence; only the first call counts.
  void finish(std::error_code error = {}) {
    std::deque<std::pair<std::uint64_t, std::unique_ptr<Waiter>>> waiters;
    {
      std::lock_guard lock(state_->mutex);
      if (state_->ended) {
        return;
      }
      state_->ended = true;
      state_->error = error;
      // Waiters exist only while no items are buffered.
      waiters.swap(state_->waiters);
    }
    for (auto& entry : waiters) {
      entry.second->complete(error, std::nullopt);
    }
  }

  bool ended() const {
    std::lock_guard lock(state_->mutex);
    return state_->ended;
  }

  // The next value, std::nullopt after a normal end; throws std::system_error
  // after a failure, or with asio::error::operation_aborted when the awaiting
  // operation is cancelled.
  asio::awaitable<std::optional<T>> next() {
    {
      std::lock_guard lock(state_->mutex);
      if (auto value = takeLocked()) {
        co_return value;
      }
      if (state_->ended) {
        if (state_->error) {
          throw std::system_error(state_->error);
        }
        co_return std::nullopt;
      }
    }
    // Named, not a temporary inside the co_await expression: g++ 12 can
    // destroy such temporaries twice.
    auto initiation = [state = state_](auto handler) { start(state, std::move(handler)); };
    auto value = co_await asio::async_initiate<decltype(asio::use_awaitable),
                                               void(std::error_code, std::optional<T>)>(
        std::move(initiation), asio::use_awaitable);
    co_return value;
  }

private:
  struct Waiter {
    virtual ~Waiter() = default;
    virtual void complete(std::error_code error, std::optional<T> value) = 0;
  };

  template <class Handler>
  struct HandlerWaiter final : Waiter {
    explicit HandlerWaiter(Handler&& h)
        : handler(std::move(h)),
          work(asio::prefer(asio::get_associated_executor(handler),
                            asio::execution::outstanding_work.tracked)) {}

    // Runs the handler on its own executor, never inside the producer's call.
    void complete(std::error_code error, std::optional<T> value) override {
      auto executor = work;
      asio::post(executor, [h = std::move(handler), w = std::move(work), error,
                            v = std::move(value)]() mutable {
        asio::get_associated_cancellation_slot(h).clear();
        std::move(h)(error, std::move(v));
      });
    }

    Handler handler;
    std::decay_t<decltype(asio::prefer(std::declval<asio::associated_executor_t<Handler>>(),
                                       asio::execution::outstanding_work.tracked))>
        work;
  };

  struct State {
    mutable std::mutex mutex;
    std::deque<T> items;
    std::deque<std::pair<std::uint64_t, std::unique_ptr<Waiter>>> waiters;
    std::uint64_t nextWaiterId = 0;
    bool ended = false;
    std::error_code error;
  };

  std::optional<T> takeLocked() {
    if (state_->items.empty()) {
      return std::nullopt;
    }
    std::optional<T> value(std::move(state_->items.front()));
    state_->items.pop_front();
    return value;
  }

  template <class Handler>
  static void start(const std::shared_ptr<State>& state, Handler handler) {
    auto slot = asio::get_associated_cancellation_slot(handler);
    std::unique_ptr<Waiter> ready;
    std::optional<T> value;
    std::error_code error;
    {
      std::lock_guard lock(state->mutex);
      // Something may have arrived between next()'s check and now.
      if (!state->items.empty()) {
        value.emplace(std::move(state->items.front()));
        state->items.pop_front();
      } else if (state->ended) {
        error = state->error;
      } else {
        const std::uint64_t id = state->nextWaiterId++;
        if (slot.is_connected()) {
          slot.assign([weak = std::weak_ptr<State>(state), id](asio::cancellation_type) {
            cancel(weak, id);
          });
        }
        state->waiters.emplace_back(id, std::make_unique<HandlerWaiter<Handler>>(std::move(handler)));
        return;
      }
    }
    ready = std::make_unique<HandlerWaiter<Handler>>(std::move(handler));
    ready->complete(error, std::move(value));
  }

  static void cancel(const std::weak_ptr<State>& weak, std::uint64_t id) {
    auto state = weak.lock();
    if (!state) {
      return;
    }
    std::unique_ptr<Waiter> waiter;
    {
      std::lock_guard lock(state->mutex);
      for (auto it = state->waiters.begin(); it != state->waiters.end(); ++it) {
        if (it->first == id) {
          waiter = std::move(it->second);
          state->waiters.erase(it);
          break;
        }
      }
    }
    if (waiter) {
      waiter->complete(asio::error::operation_aborted, std::nullopt);
    }
  }

  std::shared_ptr<State> state_;
};

}  // namespace marlinax::transport
