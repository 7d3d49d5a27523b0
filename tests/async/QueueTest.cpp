#include "async/Queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>

namespace marlinax::async {
namespace {

// Runs what is ready; the context may have run out of work (and stopped) before.
void settle(asio::io_context& io) {
  io.restart();
  io.poll();
}

// What one reader saw: values, then how the queue ended for it.
struct Reader {
  std::vector<int> values;
  bool ended = false;
  std::error_code error;
};

void read(asio::io_context& io, Queue<int> queue, Reader& reader, int atMost = 1000,
          asio::cancellation_slot slot = {}) {
  asio::co_spawn(
      io,
      [queue, &reader, atMost]() mutable -> asio::awaitable<void> {
        try {
          for (int i = 0; i < atMost; ++i) {
            auto value = co_await queue.next();
            if (!value) {
              reader.ended = true;
              co_return;
            }
            reader.values.push_back(*value);
          }
        } catch (const std::system_error& failure) {
          reader.error = failure.code();
        }
      },
      asio::bind_cancellation_slot(slot, asio::detached));
}

TEST(Queue, CapacityDropsTheOldestUnreadValues) {
  struct Case {
    std::size_t capacity;
    std::vector<int> read;
    std::size_t dropped;
  };
  for (const Case& c : {Case{0, {0, 1, 2, 3, 4}, 0}, Case{1, {4}, 4}, Case{3, {2, 3, 4}, 2}}) {
    Queue<int> queue(c.capacity);
    for (int i = 0; i < 5; ++i) queue.push(i);
    EXPECT_EQ(queue.buffered(), c.read.size());
    queue.finish();
    asio::io_context io;
    Reader reader;
    read(io, queue, reader);
    io.run();
    EXPECT_EQ(reader.values, c.read) << "capacity " << c.capacity;
    EXPECT_EQ(queue.dropped(), c.dropped) << "capacity " << c.capacity;
    EXPECT_TRUE(reader.ended);
  }
}

TEST(Queue, EndingWakesEveryWaitingReaderOnceAndLaterPushesAreIgnored) {
  const std::error_code failure = std::make_error_code(std::errc::connection_reset);
  struct Case {
    std::string name;
    std::function<void(Queue<int>&)> end;
    std::vector<int> unreadGiven;  // of the value pushed before the end
    std::error_code error;
  };
  for (const Case& c : {Case{"finish", [](Queue<int>& q) { q.finish(); }, {7}, {}},
                        Case{"finish with error", [&](Queue<int>& q) { q.finish(failure); }, {7}, failure},
                        Case{"close", [](Queue<int>& q) { q.close(); }, {}, {}}}) {
    asio::io_context io;
    Queue<int> queue;
    std::vector<Reader> waiting(3);
    for (auto& reader : waiting) read(io, queue, reader);
    settle(io);  // all three wait
    c.end(queue);
    c.end(queue);
    queue.push(1);
    io.run();
    for (auto& reader : waiting) {
      EXPECT_TRUE(reader.values.empty()) << c.name;
      EXPECT_EQ(reader.ended, !c.error) << c.name;
      EXPECT_EQ(reader.error, c.error) << c.name;
    }
    EXPECT_TRUE(queue.isFinished()) << c.name;

    // A value pushed before the end: finish() hands it out first, close() drops it.
    Queue<int> later;
    later.push(7);
    c.end(later);
    Reader reader;
    read(io, later, reader);
    io.restart();
    io.run();
    EXPECT_EQ(reader.values, c.unreadGiven) << c.name;
    EXPECT_EQ(reader.error, c.error) << c.name;
  }
}

TEST(Queue, CancelledReaderLeavesTheNextValueToTheOthers) {
  asio::io_context io;
  Queue<int> queue;
  asio::cancellation_signal signal;
  Reader cancelled, other;
  read(io, queue, cancelled, 1, signal.slot());
  read(io, queue, other, 1);
  settle(io);
  signal.emit(asio::cancellation_type::terminal);
  queue.push(5);
  io.run();
  EXPECT_EQ(cancelled.error, asio::error::operation_aborted);
  EXPECT_TRUE(cancelled.values.empty());
  EXPECT_EQ(other.values, std::vector<int>{5});
}

// Producers on two threads, readers on two others: every value arrives once,
// each producer's values in the order pushed.
TEST(Queue, ConcurrentProducersAndReaders) {
  constexpr int perProducer = 2000;
  asio::io_context io;
  Queue<int> queue;
  Reader first, second;
  read(io, queue, first, 2 * perProducer + 1);
  read(io, queue, second, 2 * perProducer + 1);
  std::vector<std::thread> readers, producers;
  for (int i = 0; i < 2; ++i) readers.emplace_back([&] { io.run(); });
  for (int producer = 0; producer < 2; ++producer)
    producers.emplace_back([&, producer] {
      for (int i = 0; i < perProducer; ++i) queue.push(producer * perProducer + i);
    });
  for (auto& thread : producers) thread.join();
  queue.finish();
  for (auto& thread : readers) thread.join();
  std::vector<int> all(first.values);
  all.insert(all.end(), second.values.begin(), second.values.end());
  std::sort(all.begin(), all.end());
  ASSERT_EQ(all.size(), 2u * perProducer);
  for (int i = 0; i < 2 * perProducer; ++i) EXPECT_EQ(all[i], i);
  for (const Reader* reader : {&first, &second}) {
    for (std::size_t i = 1; i < reader->values.size(); ++i) {
      if (reader->values[i - 1] / perProducer == reader->values[i] / perProducer) {
        EXPECT_LT(reader->values[i - 1], reader->values[i]);
      }
    }
  }
}

}  // namespace
}  // namespace marlinax::async
