#include "app/ContentViewViewModel.h"

#include <QMetaObject>

namespace marlinax::app {

ContentViewViewModel::ContentViewViewModel(displays::Environment environment, QObject* parent)
    : QObject(parent), environment_(std::move(environment)) {
  auto wait = std::move(environment_.wait);
  environment_.wait = [this, wait](std::chrono::nanoseconds duration) -> std::optional<std::string> {
    {
      std::lock_guard lock(mutex_);
      if (shuttingDown_) return std::string("The application is quitting.");
    }
    // A test's wait decides on its own; the product's is this object's.
    if (wait) return wait(duration);
    return cancellableWait(duration);
  };
}

ContentViewViewModel::~ContentViewViewModel() { shutdown(); }

std::optional<std::string> ContentViewViewModel::cancellableWait(std::chrono::nanoseconds duration) {
  std::unique_lock lock(mutex_);
  if (cancelled_.wait_for(lock, duration, [this] { return shuttingDown_; }))
    return std::string("The application is quitting.");
  return std::nullopt;
}

bool ContentViewViewModel::createVirtualDisplay(std::uint16_t displayNumber, std::function<void()> done) {
  if (worker_.joinable()) {
    if (!finished_) return false;
    worker_.join();
  }
  {
    std::lock_guard lock(mutex_);
    if (shuttingDown_) return false;
  }
  auto holder = std::make_shared<displays::VirtualDisplayHolder>(environment_);
  pending_ = holder;
  finished_ = false;
  worker_ = std::thread([this, holder, displayNumber, done = std::move(done)]() mutable {
    holder->create(displayNumber);
    // Queued to this object: dropped if it is gone, which shutdown() (run
    // before destruction, after joining this thread) makes impossible anyway.
    QMetaObject::invokeMethod(
        this,
        [this, holder, done = std::move(done)] {
          finished_ = true;
          {
            std::lock_guard lock(mutex_);
            if (shuttingDown_) return;
          }
          pending_.reset();
          displayHolders_.push_back(holder);
          emit displayHoldersChanged();
          if (done) done();
        },
        Qt::QueuedConnection);
  });
  return true;
}

void ContentViewViewModel::shutdown() {
  {
    std::lock_guard lock(mutex_);
    shuttingDown_ = true;
  }
  cancelled_.notify_all();
  if (worker_.joinable()) worker_.join();
  auto release = [](const std::shared_ptr<displays::VirtualDisplayHolder>& holder) {
    if (holder)
      if (auto display = holder->virtualDisplay()) display->release();
  };
  release(pending_);
  for (const auto& holder : displayHolders_) release(holder);
}

}  // namespace marlinax::app
