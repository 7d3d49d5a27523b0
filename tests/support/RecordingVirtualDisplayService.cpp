#include "support/RecordingVirtualDisplayService.h"

namespace marlinax::testsupport {

class RecordingVirtualDisplayService::Display : public platform::PlatformVirtualDisplay {
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

std::unique_ptr<platform::PlatformVirtualDisplay> RecordingVirtualDisplayService::create(
    const platform::VirtualDisplayDescriptor& descriptor) {
  if (onCreate) onCreate(descriptor);
  std::lock_guard lock(mutex_);
  records_.push_back({descriptor, {}, !createSucceeds});
  if (!createSucceeds) return nullptr;
  ++live_;
  return std::make_unique<Display>(*this, records_.size() - 1);
}

std::vector<RecordingVirtualDisplayService::Record> RecordingVirtualDisplayService::records() const {
  std::lock_guard lock(mutex_);
  return records_;
}

int RecordingVirtualDisplayService::liveDisplays() const {
  std::lock_guard lock(mutex_);
  return live_;
}

}  // namespace marlinax::testsupport
