#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "codec/Bytes.h"

namespace marlinax::media {

// Frame-sized byte buffers recycled from one frame to the next, so that a
// frame costs neither an allocation nor the page faults of fresh memory.
// A buffer keeps its size and capacity while it waits in the pool.
// Thread-safe.
class BufferPool {
 public:
  // Keeps at most `retained` free buffers; each new one reserves
  // `initialCapacity` bytes (address space only until written).
  BufferPool(std::size_t retained, std::size_t initialCapacity = 0)
      : retained_(retained), initialCapacity_(initialCapacity) {}
  BufferPool(const BufferPool&) = delete;
  BufferPool& operator=(const BufferPool&) = delete;

  // A free buffer as it was given back (contents undefined), or a new empty one.
  Bytes take() {
    {
      std::lock_guard lock(mutex_);
      if (!free_.empty()) {
        Bytes buffer = std::move(free_.back());
        free_.pop_back();
        return buffer;
      }
      ++allocations_;
    }
    Bytes buffer;
    buffer.reserve(initialCapacity_);
    return buffer;
  }

  // Returns a buffer for reuse; freed when the pool is full.
  void give(Bytes buffer) {
    std::lock_guard lock(mutex_);
    if (free_.size() < retained_) free_.push_back(std::move(buffer));
  }

  // Buffers made so far (not taken from the pool).
  std::size_t allocations() const {
    std::lock_guard lock(mutex_);
    return allocations_;
  }

 private:
  mutable std::mutex mutex_;
  const std::size_t retained_;
  const std::size_t initialCapacity_;
  std::vector<Bytes> free_;
  std::size_t allocations_ = 0;
};

}  // namespace marlinax::media
