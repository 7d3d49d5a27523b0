#pragma once

// Owns the window's virtual displays. The creation blocks for the two-second
// discovery, so it runs on a thread of its own; the finished holder joins
// `displayHolders` on the GUI thread, the only thread that touches the list.

#include <QObject>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "displays/VirtualDisplay.h"

namespace marlinax::app {

class ContentViewViewModel : public QObject {
  Q_OBJECT

 public:
  // An empty `environment.wait` is replaced by a wait that shutdown() cuts
  // short, so quitting never waits out the discovery.
  explicit ContentViewViewModel(displays::Environment environment, QObject* parent = nullptr);
  ~ContentViewViewModel() override;  // shuts down

  const std::vector<std::shared_ptr<displays::VirtualDisplayHolder>>& displayHolders() const { return displayHolders_; }

  // Creates a virtual display with this number on a worker thread; once the
  // whole creation is over, appends its holder and then calls `done`, both on
  // this object's thread. One creation at a time: a call while one runs is
  // refused (false).
  bool createVirtualDisplay(std::uint16_t displayNumber, std::function<void()> done = {});

  // Cancels a creation's wait, waits for the worker and releases every
  // virtual display, the one still being made included. Idempotent.
  void shutdown();

 signals:
  void displayHoldersChanged();

 private:
  std::optional<std::string> cancellableWait(std::chrono::nanoseconds duration);

  displays::Environment environment_;
  std::vector<std::shared_ptr<displays::VirtualDisplayHolder>> displayHolders_;

  std::thread worker_;
  bool finished_ = false;  // GUI thread
  std::shared_ptr<displays::VirtualDisplayHolder> pending_;

  std::mutex mutex_;
  std::condition_variable cancelled_;
  bool shuttingDown_ = false;
};

}  // namespace marlinax::app
