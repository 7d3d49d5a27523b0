#pragma once

// Threads for CPU-heavy work (compression, hashing) that give way to the
// process's network threads: each runs at a lower scheduling priority (a nice
// value raised by `niceIncrement`), so a reply or an input request is handled
// at once even while compression keeps every core busy. Lowering one's own
// priority needs no privilege.

#include <optional>
#include <thread>
#include <vector>

#include <asio/any_io_executor.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <sys/resource.h>
#include <unistd.h>

namespace marlinax::async {

class WorkerPool {
 public:
  WorkerPool(unsigned threads, int niceIncrement) : work_(io_.get_executor()) {
    for (unsigned i = 0; i < threads; ++i) {
      threads_.emplace_back([this, niceIncrement] {
        // Linux applies a thread's own id to that thread alone.
        const auto self = static_cast<id_t>(::gettid());
        ::setpriority(PRIO_PROCESS, self, ::getpriority(PRIO_PROCESS, self) + niceIncrement);
        io_.run();
      });
    }
  }
  ~WorkerPool() {
    stop();
    join();
  }
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  asio::any_io_executor executor() { return io_.get_executor(); }

  // Work not yet started is dropped; work under way finishes.
  void stop() {
    work_.reset();
    io_.stop();
  }
  void join() {
    for (auto& thread : threads_)
      if (thread.joinable()) thread.join();
    threads_.clear();
  }

 private:
  asio::io_context io_;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work_;
  std::vector<std::thread> threads_;
};

}  // namespace marlinax::async
