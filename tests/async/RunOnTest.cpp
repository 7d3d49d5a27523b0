#include "async/RunOn.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <thread>

#include <asio/co_spawn.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <asio/thread_pool.hpp>
#include <asio/use_future.hpp>

#include "async/Queue.h"

namespace marlinax::async {
namespace {

using namespace asio::experimental::awaitable_operators;

TEST(RunOn, RunsOnTheOtherExecutorAndResumesOnTheCallers) {
  asio::io_context io;
  asio::thread_pool pool(1);
  auto home = asio::make_strand(io);
  std::thread::id workThread, caller;
  bool resumedAtHome = false;
  auto task = [&]() -> asio::awaitable<int> {
    caller = std::this_thread::get_id();
    auto work = [&] {
      workThread = std::this_thread::get_id();
      return 42;
    };
    int result = co_await runOn(pool.get_executor(), std::move(work));
    resumedAtHome = home.running_in_this_thread();
    auto fail = []() -> int { throw std::runtime_error("work failed"); };
    try {
      co_await runOn(pool.get_executor(), std::move(fail));
      result = -1;
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), "work failed");
    }
    bool ran = false;
    auto nothing = [&] { ran = true; };
    co_await runOn(pool.get_executor(), std::move(nothing));
    co_return ran ? result : -2;
  };
  auto result = asio::co_spawn(home, task(), asio::use_future);
  io.run();  // returns only once the task is done: it counts as work while away
  ASSERT_EQ(result.wait_for(std::chrono::seconds(0)), std::future_status::ready);
  EXPECT_EQ(result.get(), 42);
  EXPECT_NE(workThread, caller);
  EXPECT_TRUE(resumedAtHome);
  pool.join();
}

TEST(RunOn, InterruptibleIsInterruptedOnlyWhenItLoses) {
  for (bool loses : {true, false}) {
    asio::io_context io;
    Queue<int> gate;
    if (!loses) gate.push(1);
    int interrupts = 0;
    auto work = [](Queue<int> gate) -> asio::awaitable<int> {
      auto value = co_await gate.next();
      co_return value ? *value : 0;  // 0: interrupted
    };
    auto race = [&]() -> asio::awaitable<std::size_t> {
      asio::steady_timer timer(io, std::chrono::milliseconds(loses ? 1 : 60'000));
      std::function<void()> interrupt = [&] {
        ++interrupts;
        gate.finish();
      };
      auto working = interruptible(work(gate), std::move(interrupt));
      auto expiry = timer.async_wait(asio::use_awaitable);
      auto outcome = co_await (std::move(working) || std::move(expiry));
      if (outcome.index() == 0) {
        EXPECT_EQ(std::get<0>(outcome), 1);
      }
      co_return outcome.index();
    };
    auto winner = asio::co_spawn(io, race(), asio::use_future);
    io.run();
    EXPECT_EQ(winner.get(), loses ? 1u : 0u);
    EXPECT_EQ(interrupts, loses ? 1 : 0);
  }
}

}  // namespace
}  // namespace marlinax::async
