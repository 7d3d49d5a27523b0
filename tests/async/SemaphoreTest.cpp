#include "async/Semaphore.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>
#include <vector>

#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>

namespace marlinax::async {
namespace {

// Runs what is ready; the context may have run out of work (and stopped) before.
void settle(asio::io_context& io) {
  io.restart();
  io.poll();
}

// Holders in the order they got their permit; each keeps it until dropped.
struct Holders {
  std::vector<int> order;
  std::map<int, Semaphore::Permit> held;
  std::map<int, std::error_code> failed;
};

void acquire(asio::io_context& io, Semaphore& semaphore, Holders& holders, int id, asio::cancellation_slot slot = {}) {
  asio::co_spawn(
      io,
      [&semaphore, &holders, id]() -> asio::awaitable<void> {
        try {
          auto permit = co_await semaphore.acquire();
          holders.order.push_back(id);
          holders.held[id] = std::move(permit);
        } catch (const std::system_error& failure) {
          holders.failed[id] = failure.code();
        }
      },
      asio::bind_cancellation_slot(slot, asio::detached));
}

TEST(Semaphore, GrantsAtMostCapacityAndPassesReturnedPermitsToTheOldestWaiter) {
  for (std::size_t capacity : {0u, 1u, 2u}) {
    const std::size_t limit = capacity == 0 ? 1 : capacity;
    asio::io_context io;
    Semaphore semaphore(capacity);
    Holders holders;
    for (int id = 0; id < 5; ++id) {
      acquire(io, semaphore, holders, id);
      settle(io);  // arrival order is spawn order
    }
    ASSERT_EQ(holders.order.size(), limit) << "capacity " << capacity;
    EXPECT_EQ(semaphore.waiting(), 5 - limit);
    EXPECT_EQ(semaphore.available(), 0u);
    // Returning the newest permit still wakes the oldest waiter, one at a time.
    for (std::size_t next = limit; next < 5; ++next) {
      holders.held.erase(holders.order.back());
      settle(io);
      ASSERT_EQ(holders.order.size(), next + 1);
      EXPECT_EQ(holders.order.back(), static_cast<int>(next));
    }
    EXPECT_TRUE(holders.held.at(4));
    holders.held.clear();
    EXPECT_EQ(semaphore.available(), limit);
  }
}

// A cancelled waiter leaves the permit to the next; close wakes the others
// without one, and a permit held across the close stays valid.
TEST(Semaphore, CancelledWaiterLeavesThePermitToTheNextAndCloseWakesTheRest) {
  asio::io_context io;
  Semaphore semaphore(1);
  Holders holders;
  asio::cancellation_signal signal;
  acquire(io, semaphore, holders, 0);
  acquire(io, semaphore, holders, 1, signal.slot());
  for (int id : {2, 3}) acquire(io, semaphore, holders, id);
  settle(io);
  signal.emit(asio::cancellation_type::terminal);
  settle(io);
  EXPECT_EQ(holders.failed.at(1), asio::error::operation_aborted);
  holders.held.erase(0);
  settle(io);
  EXPECT_EQ(holders.order, (std::vector<int>{0, 2}));

  semaphore.close();
  acquire(io, semaphore, holders, 4);
  settle(io);
  EXPECT_EQ(holders.order, (std::vector<int>{0, 2, 3, 4}));
  EXPECT_TRUE(holders.held.at(2));
  for (int id : {3, 4}) EXPECT_FALSE(holders.held.at(id));
  holders.held.clear();  // the held permit comes back after the close
  EXPECT_EQ(semaphore.available(), 1u);
  EXPECT_EQ(semaphore.waiting(), 0u);
}

// Many coroutines on two threads: never more holders than permits.
TEST(Semaphore, ConcurrentHoldersNeverExceedTheCapacity) {
  asio::io_context io;
  Semaphore semaphore(3);
  std::atomic<int> holding = 0, most = 0, done = 0;
  for (int i = 0; i < 200; ++i)
    asio::co_spawn(
        io,
        [&]() -> asio::awaitable<void> {
          auto permit = co_await semaphore.acquire();
          const int now = ++holding;
          for (int seen = most; now > seen && !most.compare_exchange_weak(seen, now);) {
          }
          co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
          --holding;
          ++done;
        },
        asio::detached);
  std::thread other([&] { io.run(); });
  io.run();
  other.join();
  EXPECT_EQ(done, 200);
  EXPECT_LE(most, 3);  // how many overlap depends on the scheduling; never more
  EXPECT_EQ(semaphore.available(), 3u);
}

}  // namespace
}  // namespace marlinax::async
