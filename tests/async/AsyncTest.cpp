// The queue, the semaphore and running work elsewhere, driven by coroutines
// on real io_contexts and thread pools.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <asio/thread_pool.hpp>
#include <asio/use_future.hpp>

#include "async/Queue.h"
#include "async/RunOn.h"
#include "async/Semaphore.h"

namespace marlinax::async {
namespace {

using namespace asio::experimental::awaitable_operators;

// Runs what is ready; the context may have run out of work (and stopped) before.
void settle(asio::io_context& io) {
  io.restart();
  io.poll();
}

// What one reader saw: values, then how the queue ended for it (none: still waiting).
struct Reader {
  std::vector<int> values;
  std::optional<std::error_code> end;
  bool operator==(const Reader&) const = default;
};

void read(asio::io_context& io, Queue<int> queue, Reader& reader) {
  auto loop = [queue, &reader]() mutable -> asio::awaitable<void> {
    try {
      while (auto value = co_await queue.next()) reader.values.push_back(*value);
      reader.end = std::error_code{};
    } catch (const std::system_error& failure) {
      reader.end = failure.code();
    }
  };
  asio::co_spawn(io, loop, asio::detached);
  settle(io);
}

// Three readers wait on one queue; a value pushed then goes to the first, and
// all see its end (twice; later pushes are ignored). A reader of a second queue, bounded, with five values pushed
// before its end, gets the newest that fit unless close() discarded them.
TEST(Queue, EndingWakesEveryWaiterOnceAndHandsOutWhatTheBoundKept) {
  const std::error_code reset = std::make_error_code(std::errc::connection_reset);
  struct Case {
    bool close;  // else finish with `error`
    std::size_t capacity, dropped;
    std::vector<int> unreadGiven;
    std::error_code error;
  };
  for (const Case& c : {Case{false, 0, 0, {0, 1, 2, 3, 4}, {}}, Case{false, 1, 4, {4}, {}},
                        Case{false, 3, 2, {2, 3, 4}, reset}, Case{true, 3, 2, {}, {}}}) {
    asio::io_context io;
    Queue<int> queue, later(c.capacity);
    std::vector<Reader> waiting(4);
    for (int i = 0; i < 3; ++i) read(io, queue, waiting[i]);
    queue.push(9);  // goes to the first waiter
    for (int i = 0; i < 5; ++i) later.push(i);
    for (Queue<int>* q : {&queue, &queue, &later}) c.close ? q->close() : q->finish(c.error);
    queue.push(1);
    read(io, later, waiting[3]);
    const std::vector<Reader> expected{{{9}, c.error}, {{}, c.error}, {{}, c.error}, {c.unreadGiven, c.error}};
    EXPECT_EQ(std::pair(waiting, later.dropped()), std::pair(expected, c.dropped)) << c.capacity;
  }
}

// Permit holders in the order they got their permit; each keeps it until dropped.
struct Holders {
  std::vector<int> order;
  std::map<int, Semaphore::Permit> held;
  std::map<int, std::error_code> failed;
};

void acquire(asio::io_context& io, Semaphore& semaphore, Holders& holders, int id, asio::cancellation_slot slot = {}) {
  auto take = [&semaphore, &holders, id]() -> asio::awaitable<void> {
    try {
      holders.held[id] = co_await semaphore.acquire();
      holders.order.push_back(id);
    } catch (const std::system_error& failure) {
      holders.failed[id] = failure.code();
    }
  };
  asio::co_spawn(io, take, asio::bind_cancellation_slot(slot, asio::detached));
  settle(io);  // arrival order is call order
}

// Permits go out up to the capacity (0 counts as 1); a returned one, even the
// newest, passes to the oldest waiter, and a cancelled waiter leaves the line
// without taking another waiter's place.
// close() wakes the waiters without a permit; a permit held across it stays valid.
TEST(Semaphore, GrantsTheCapacityInArrivalOrderUntilClosed) {
  for (std::size_t capacity : {0u, 1u, 2u}) {
    SCOPED_TRACE(capacity);
    const std::size_t limit = capacity == 0 ? 1 : capacity;
    asio::io_context io;
    Semaphore semaphore(capacity);
    Holders holders;
    asio::cancellation_signal signal;
    // The holders and one waiter, then the waiter that is cancelled, then the rest.
    for (int id = 0; id <= static_cast<int>(limit); ++id) acquire(io, semaphore, holders, id);
    acquire(io, semaphore, holders, 10, signal.slot());
    for (int id = static_cast<int>(limit) + 1; id < 6; ++id) acquire(io, semaphore, holders, id);
    signal.emit(asio::cancellation_type::terminal);
    EXPECT_EQ(std::pair(semaphore.waiting(), semaphore.available()), std::pair(6 - limit, std::size_t{0}));
    for (int next = static_cast<int>(limit); next < 5; ++next) {
      holders.held.erase(holders.order.back());
      settle(io);
      ASSERT_EQ(holders.order.back(), next);
    }
    semaphore.close();
    acquire(io, semaphore, holders, 6);
    EXPECT_EQ(holders.order, (std::vector<int>{0, 1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(holders.failed, (std::map<int, std::error_code>{{10, asio::error::operation_aborted}}));
    EXPECT_TRUE(holders.held.at(4));
    for (int id : {5, 6}) EXPECT_FALSE(holders.held.at(id));
    holders.held.clear();
    EXPECT_EQ(std::pair(semaphore.available(), semaphore.waiting()), std::pair(limit, std::size_t{0}));
  }
}

// Two producer threads push into a queue; 200 coroutines on two threads each
// take one value while holding one of three permits. Every value arrives once
// and never more than three hold a permit.
TEST(QueueAndSemaphore, ConcurrentProducersAndHolders) {
  asio::io_context io;
  Queue<int> queue;
  Semaphore semaphore(3);
  std::atomic<int> holding = 0;
  std::vector<std::atomic<int>> taken(200);  // how often each value arrived
  for (int i = 0; i < 200; ++i) {
    auto take = [&]() -> asio::awaitable<void> {
      auto permit = co_await semaphore.acquire();
      EXPECT_LE(++holding, 3);  // how many overlap depends on the scheduling; never more
      auto value = co_await queue.next();
      --holding;
      ++taken.at(value.value());
    };
    asio::co_spawn(io, take, asio::detached);
  }
  std::vector<std::thread> threads;
  for (int producer = 0; producer < 2; ++producer)
    threads.emplace_back([&, producer] {
      for (int i = 0; i < 100; ++i) queue.push(producer * 100 + i);
    });
  for (int reader = 0; reader < 2; ++reader) threads.emplace_back([&] { io.run(); });
  for (auto& thread : threads) thread.join();
  EXPECT_TRUE(std::ranges::all_of(taken, [](const std::atomic<int>& count) { return count == 1; }));
  EXPECT_EQ(semaphore.available(), 3u);
}

TEST(RunOn, RunsElsewhereResumesHomePassesOnWhatWorkThrowsAndInterruptsOnlyTheLoser) {
  asio::io_context io;
  asio::thread_pool pool(1);
  auto home = asio::make_strand(io);
  auto task = [&]() -> asio::awaitable<std::vector<std::string>> {
    std::vector<std::string> seen;
    auto elsewhere = [caller = std::this_thread::get_id()] { return std::this_thread::get_id() != caller; };
    seen.push_back(co_await runOn(pool.get_executor(), elsewhere) ? "ran elsewhere" : "ran here");
    seen.push_back(home.running_in_this_thread() ? "back home" : "not home");
    try {
      co_await runOn(pool.get_executor(), []() -> int { throw std::runtime_error("work failed"); });
    } catch (const std::runtime_error& error) {
      seen.push_back(error.what());
    }
    co_await runOn(pool.get_executor(), [&seen] { seen.push_back("void work"); });
    // Interruptible work that loses a race to a timer is interrupted once;
    // work that wins is not. The work gives 0 when interrupted.
    for (bool loses : {true, false}) {
      Queue<int> gate;
      if (!loses) gate.push(1);
      asio::steady_timer timer(home, std::chrono::milliseconds(loses ? 1 : 60'000));
      auto work = [](Queue<int> gate) -> asio::awaitable<int> { co_return (co_await gate.next()).value_or(0); };
      auto interrupt = [&] {
        seen.push_back("interrupted");
        gate.finish();
      };
      auto outcome = co_await (interruptible(work(gate), interrupt) || timer.async_wait(asio::use_awaitable));
      seen.push_back("gave " + std::to_string(outcome.index() == 0 ? std::get<0>(outcome) : -1));
    }
    co_return seen;
  };
  auto result = asio::co_spawn(home, task(), asio::use_future);
  io.run();  // returns only once the task is done: it counts as work while away
  ASSERT_EQ(result.wait_for(std::chrono::seconds(0)), std::future_status::ready);
  EXPECT_EQ(result.get(), (std::vector<std::string>{"ran elsewhere", "back home", "work failed", "void work",
                                                    "interrupted", "gave -1", "gave 1"}));
}

}  // namespace
}  // namespace marlinax::async
