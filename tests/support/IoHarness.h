#pragma once

// A running io_context for tests of coroutine code: two threads (so handlers
// really run concurrently), and helpers to wait for a task's result or for a
// condition with a generous bound, so a broken test fails instead of hanging.

#include <chrono>
#include <future>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include <asio/awaitable.hpp>
#include <asio/co_spawn.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>

#include "support/Eventually.h"

namespace marlinax::testing {

inline constexpr auto kPatience = std::chrono::seconds(20);

class IoHarness {
 public:
  explicit IoHarness(int threads = 2) : work_(io_.get_executor()) {
    for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { io_.run(); });
  }
  ~IoHarness() { stop(); }

  void stop() {
    if (threads_.empty()) return;
    work_.reset();
    io_.stop();
    for (auto& thread : threads_) thread.join();
    threads_.clear();
  }

  asio::io_context& io() { return io_; }
  asio::any_io_executor executor() { return io_.get_executor(); }

  // Starts the task now; the future gives its result or rethrows its error.
  template <class T>
  std::future<T> start(asio::awaitable<T> task) {
    return asio::co_spawn(io_, std::move(task), asio::use_future);
  }

  // Runs the task to its end and returns its result (rethrowing its error).
  template <class T>
  T await(asio::awaitable<T> task) {
    return get(start(std::move(task)));
  }

  template <class T>
  static T get(std::future<T> future) {
    if (future.wait_for(kPatience) != std::future_status::ready) throw std::runtime_error("task did not finish");
    return future.get();
  }

  template <class T>
  static bool finishes(std::future<T>& future) {
    return future.wait_for(kPatience) == std::future_status::ready;
  }

  // Polls `condition` until it holds or the patience runs out.
  template <class Condition>
  static bool eventually(Condition condition) {
    return testsupport::eventually(std::move(condition), kPatience);
  }

 private:
  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  std::vector<std::thread> threads_;
};

}  // namespace marlinax::testing
