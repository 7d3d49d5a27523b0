// An io_context run by two threads, as in the server, and a way to wait for a
// coroutine's result from the test body.
#pragma once

// A standard header before any asio header: asio 1.22 picks its aligned
// allocation functions from macros the standard library defines, and every
// translation unit must see the same choice.
#include <cstddef>

#include <asio/co_spawn.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>

#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

namespace marlinax::transport::testing {

class IoThreads {
public:
  explicit IoThreads(int threads = 2) : work_(asio::make_work_guard(context_)) {
    for (int i = 0; i < threads; ++i) {
      threads_.emplace_back([this] { context_.run(); });
    }
  }
  ~IoThreads() {
    work_.reset();
    context_.stop();
    for (auto& thread : threads_) {
      thread.join();
    }
  }

  asio::io_context& context() { return context_; }
  asio::any_io_executor executor() { return context_.get_executor(); }

  // Runs the awaitable on the context and returns its result (or rethrows).
  // The deadline only guards against a hang; nothing measures time with it.
  template <class T>
  T run(asio::awaitable<T> awaitable, std::chrono::seconds deadline = std::chrono::seconds(60)) {
    auto future = asio::co_spawn(context_, std::move(awaitable), asio::use_future);
    if (future.wait_for(deadline) != std::future_status::ready) {
      throw std::runtime_error("coroutine did not finish");
    }
    return future.get();
  }

private:
  asio::io_context context_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  std::vector<std::thread> threads_;
};

}  // namespace marlinax::transport::testing
