#pragma once

// A counting semaphore for coroutines: at most `capacity` permits are out at
// a time; later acquisitions wait in arrival order, and a returned permit
// passes straight to the oldest waiter. Nothing here blocks a thread.

#include <cstddef>
#include <memory>
#include <mutex>
#include <system_error>

#include <asio/error.hpp>

#include "async/Waiter.h"

namespace marlinax::async {

class Semaphore {
 public:
  // Returns its permit when the last copy is destroyed. Empty (false) when the
  // semaphore was closed instead of granting one.
  using Permit = std::shared_ptr<void>;

  // A capacity of 0 counts as 1.
  explicit Semaphore(std::size_t capacity) : state_(std::make_shared<State>(capacity == 0 ? 1 : capacity)) {}

  // A permit, waiting for one when none is free. Throws std::system_error with
  // asio::error::operation_aborted when the waiting operation is cancelled.
  asio::awaitable<Permit> acquire() {
    auto state = state_;
    auto start = [state](Waiter<Signature> waiter) { State::wait(state, std::move(waiter)); };
    const bool granted = co_await suspend<Signature>(std::move(start));
    co_return granted ? State::permit(state) : Permit();
  }

  // Wakes every waiter with an empty permit, and every later acquire() gets
  // one at once. Permits out stay valid. Idempotent; safe from any thread.
  void close() {
    std::deque<Waiter<Signature>> waiting;
    {
      std::lock_guard lock(state_->mutex);
      state_->closed = true;
      waiting = state_->waiters.takeAll();
    }
    for (auto& waiter : waiting) waiter({}, false);
  }

  std::size_t waiting() const {
    std::lock_guard lock(state_->mutex);
    return state_->waiters.size();
  }
  std::size_t available() const {
    std::lock_guard lock(state_->mutex);
    return state_->free;
  }

 private:
  using Signature = void(std::error_code, bool);

  struct State {
    explicit State(std::size_t capacity) : free(capacity) {}

    static Permit permit(const std::shared_ptr<State>& state) {
      return Permit(state.get(), [state](void*) { state->release(); });
    }

    static void wait(const std::shared_ptr<State>& state, Waiter<Signature> waiter) {
      bool granted = false;
      {
        std::lock_guard lock(state->mutex);
        if (!state->closed) {
          if (state->free == 0) {
            state->waiters.addCancellable(std::move(waiter), state);
            return;
          }
          --state->free;
          granted = true;
        }
      }
      waiter({}, granted);
    }

    void release() {
      Waiter<Signature> next;
      {
        std::lock_guard lock(mutex);
        next = closed ? Waiter<Signature>() : waiters.popFront();
        if (!next) ++free;
      }
      if (next) next({}, true);
    }

    std::mutex mutex;
    std::size_t free;
    WaitList<Signature> waiters;
    bool closed = false;
  };

  std::shared_ptr<State> state_;
};

}  // namespace marlinax::async
