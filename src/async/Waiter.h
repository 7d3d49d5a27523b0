#pragma once

// Suspending a coroutine until something else resumes it. Every primitive in
// this folder parks its waiting coroutines as Waiters; nothing else in the
// product stores an Asio completion handler by hand.

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>

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

namespace marlinax::async {

template <class Signature>
class Waiter;

// A suspended coroutine, type-erased. While it waits, its executor counts it
// as outstanding work, so that executor's run() does not return meanwhile.
template <class... Args>
class Waiter<void(Args...)> {
 public:
  Waiter() = default;
  template <class Handler>
  explicit Waiter(Handler handler) : impl_(std::make_unique<Impl<Handler>>(std::move(handler))) {}

  explicit operator bool() const { return impl_ != nullptr; }

  // `cancel` runs (on the cancelling thread) when the awaiting operation is
  // cancelled, e.g. as the losing side of `a || b`; it must see to it that the
  // waiter is resumed. Without a cancellation slot nothing is installed.
  void onCancel(std::function<void(asio::cancellation_type)> cancel) { impl_->onCancel(std::move(cancel)); }

  // Resumes the coroutine with `args`, posted to its own executor: never
  // inside this call. Once only; the waiter is empty afterwards.
  void operator()(Args... args) {
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
    // g++ 12 sees an empty std::optional argument's unused storage as read.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
    std::exchange(impl_, nullptr)->resume(std::move(args)...);
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
  }

 private:
  struct Base {
    virtual ~Base() = default;
    virtual void resume(Args... args) = 0;
    virtual void onCancel(std::function<void(asio::cancellation_type)> cancel) = 0;
  };

  template <class Handler>
  struct Impl final : Base {
    explicit Impl(Handler h)
        : handler(std::move(h)),
          work(asio::prefer(asio::get_associated_executor(handler), asio::execution::outstanding_work.tracked)) {}

    void onCancel(std::function<void(asio::cancellation_type)> cancel) override {
      auto slot = asio::get_associated_cancellation_slot(handler);
      if (slot.is_connected()) slot.assign(std::move(cancel));
    }

    void resume(Args... args) override {
      auto executor = work;
      asio::post(executor,
                 [handler = std::move(handler), work = std::move(work), ... args = std::move(args)]() mutable {
                   asio::get_associated_cancellation_slot(handler).clear();
                   std::move(handler)(std::move(args)...);
                 });
    }

    Handler handler;
    std::decay_t<decltype(asio::prefer(std::declval<asio::associated_executor_t<Handler>>(),
                                       asio::execution::outstanding_work.tracked))>
        work;
  };

  std::unique_ptr<Base> impl_;
};

// Suspends the calling coroutine and hands `start` the Waiter<Signature> that
// resumes it; `start` keeps it or calls it at once. The result is what
// asio::use_awaitable makes of Signature: void() gives void, void(T) gives T,
// void(std::error_code, T) and void(std::exception_ptr, T) give T or throw.
//
// Pass `start` as a named object (std::move(start)), never as a lambda written
// inside the co_await expression: g++ 12 destroys a closure temporary inside a
// co_await expression twice.
template <class Signature, class Start>
auto suspend(Start&& start) {
  auto initiation = [start = std::forward<Start>(start)](auto handler) mutable {
    start(Waiter<Signature>(std::move(handler)));
  };
  return asio::async_initiate<decltype(asio::use_awaitable), Signature>(std::move(initiation), asio::use_awaitable);
}

// Waiters in arrival order, each found again by the id add() gave it (for
// cancellation). Not synchronised: its owner guards it.
template <class Signature>
class WaitList {
 public:
  std::uint64_t add(Waiter<Signature> waiter) {
    entries_.emplace_back(nextId_, std::move(waiter));
    return nextId_++;
  }
  // Adds a waiter that leaves the list when its operation is cancelled and is
  // then resumed with operation_aborted. `owner` holds this list as `waiters`
  // under its `mutex`; the caller holds that mutex now.
  template <class Owner>
  void addCancellable(Waiter<Signature> waiter, const std::shared_ptr<Owner>& owner) {
    waiter.onCancel([weak = std::weak_ptr<Owner>(owner), id = nextId_](asio::cancellation_type) {
      auto alive = weak.lock();
      if (!alive) return;
      Waiter<Signature> cancelled;
      {
        std::lock_guard lock(alive->mutex);
        cancelled = alive->waiters.remove(id);
      }
      if (cancelled) cancelled(asio::error::operation_aborted, {});
    });
    add(std::move(waiter));
  }
  // The oldest waiter; an empty one when none waits.
  Waiter<Signature> popFront() {
    if (entries_.empty()) return {};
    Waiter<Signature> waiter = std::move(entries_.front().second);
    entries_.pop_front();
    return waiter;
  }
  // The waiter with that id; an empty one when it was resumed already.
  Waiter<Signature> remove(std::uint64_t id) {
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
      if (it->first == id) {
        Waiter<Signature> waiter = std::move(it->second);
        entries_.erase(it);
        return waiter;
      }
    }
    return {};
  }
  std::deque<Waiter<Signature>> takeAll() {
    std::deque<Waiter<Signature>> all;
    for (auto& entry : entries_) all.push_back(std::move(entry.second));
    entries_.clear();
    return all;
  }
  bool empty() const { return entries_.empty(); }
  std::size_t size() const { return entries_.size(); }

 private:
  std::deque<std::pair<std::uint64_t, Waiter<Signature>>> entries_;
  std::uint64_t nextId_ = 0;
};

}  // namespace marlinax::async
