#pragma once

// A virtual-display service that makes nothing on any window system but
// records what it was asked: every descriptor, every settings object applied,
// and which of its displays are still alive. Creation and applying the
// settings can be made to fail.

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/VirtualDisplayService.h"

namespace marlinax::testsupport {

class RecordingVirtualDisplayService : public platform::VirtualDisplayService {
 public:
  struct Record {
    platform::VirtualDisplayDescriptor descriptor;
    std::vector<platform::VirtualDisplaySettings> applied;
    bool released = false;
    bool operator==(const Record&) const = default;
  };

  // False: create() returns no display.
  bool createSucceeds = true;
  // False: applySettings() returns false (and the display stays made).
  bool applySucceeds = true;
  // Called inside create(), before it returns (lets a test change the
  // window system's display list at the moment of creation).
  std::function<void(const platform::VirtualDisplayDescriptor&)> onCreate;

  std::unique_ptr<platform::PlatformVirtualDisplay>
  create(const platform::VirtualDisplayDescriptor& descriptor) override {
    if (onCreate) onCreate(descriptor);
    std::lock_guard lock(mutex_);
    records_.push_back({descriptor, {}, !createSucceeds});
    if (!createSucceeds) return nullptr;
    ++live_;
    return std::make_unique<Display>(*this, records_.size() - 1);
  }

  // Copies, safe to take while displays are alive on other threads.
  std::vector<Record> records() const {
    std::lock_guard lock(mutex_);
    return records_;
  }
  // How many displays made by create() have not been destroyed yet.
  int liveDisplays() const {
    std::lock_guard lock(mutex_);
    return live_;
  }

 private:
  class Display : public platform::PlatformVirtualDisplay {
   public:
    Display(RecordingVirtualDisplayService& service, std::size_t index) : service_(service), index_(index) {}
    ~Display() override {
      std::lock_guard lock(service_.mutex_);
      service_.records_[index_].released = true;
      --service_.live_;
    }
    bool applySettings(const platform::VirtualDisplaySettings& settings) override {
      std::lock_guard lock(service_.mutex_);
      service_.records_[index_].applied.push_back(settings);
      return service_.applySucceeds;
    }

   private:
    RecordingVirtualDisplayService& service_;
    std::size_t index_;
  };

  mutable std::mutex mutex_;
  std::vector<Record> records_;
  int live_ = 0;
};

}  // namespace marlinax::testsupport
