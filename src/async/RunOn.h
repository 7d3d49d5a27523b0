#pragma once

// Running work somewhere else and coming back: a function on another
// executor (CPU work off the network threads), or a coroutine of its own that
// the caller's cancellation interrupts.

#include <exception>
#include <functional>
#include <type_traits>
#include <utility>

#include <asio/any_io_executor.hpp>
#include <asio/co_spawn.hpp>
#include <asio/this_coro.hpp>

#include "async/Waiter.h"

namespace marlinax::async {

// Runs `work()` on `executor` and resumes the caller on its own executor with
// the result, or rethrows what `work` threw. The caller's executor counts as
// busy meanwhile. A non-void result must be default-constructible.
template <class Work, class R = std::invoke_result_t<Work&>>
asio::awaitable<R> runOn(asio::any_io_executor executor, Work work) {
  if constexpr (std::is_void_v<R>) {
    auto start = [&](Waiter<void(std::exception_ptr)> waiter) {
      asio::post(executor, [work = std::move(work), waiter = std::move(waiter)]() mutable {
        std::exception_ptr error;
        try {
          work();
        } catch (...) {
          error = std::current_exception();
        }
        waiter(error);
      });
    };
    co_await suspend<void(std::exception_ptr)>(std::move(start));
  } else {
    auto start = [&](Waiter<void(std::exception_ptr, R)> waiter) {
      asio::post(executor, [work = std::move(work), waiter = std::move(waiter)]() mutable {
        std::exception_ptr error;
        R result{};
        try {
          result = work();
        } catch (...) {
          error = std::current_exception();
        }
        waiter(error, std::move(result));
      });
    };
    co_return co_await suspend<void(std::exception_ptr, R)>(std::move(start));
  }
}

// Runs `work` as a coroutine of its own on the caller's executor and returns
// its result. When the caller is cancelled (for example as the losing side of
// `a || b`), `interrupt` is called; it must make `work` end soon (close the
// connection it waits on), and its outcome is still awaited. `work` itself
// never sees the cancellation. T must be default-constructible.
template <class T>
asio::awaitable<T> interruptible(asio::awaitable<T> work, std::function<void()> interrupt) {
  auto executor = co_await asio::this_coro::executor;
  auto start = [&](Waiter<void(std::exception_ptr, T)> waiter) {
    waiter.onCancel([interrupt](asio::cancellation_type) { interrupt(); });
    asio::co_spawn(executor, std::move(work), [waiter = std::move(waiter)](std::exception_ptr error, T value) mutable {
      waiter(error, std::move(value));
    });
  };
  co_return co_await suspend<void(std::exception_ptr, T)>(std::move(start));
}

}  // namespace marlinax::async
