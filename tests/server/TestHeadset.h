#pragma once

// The headset's side of a connection for the server's tests: serves frame and
// child-window requests, reads each frame as the headset would, and answers
// frames at once, holds the answers until released, or never answers.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <vector>

#include "async/Queue.h"
#include "messaging/MessageCatalogue.h"
#include "messaging/Protocols.h"
#include "peer/FragmentReader.h"

namespace marlinax::server::testpeer {

struct ReceivedFrame {
  std::uint32_t identifier = 0;
  peer::ReadFragment fragment;
  std::int64_t tag() const { return fragment.sampleBuffer.presentationTime.value; }
};

// The headset's side: serves frame and child-window requests. Frames are
// answered at once, held until released, or never answered.
class TestHeadset final : public messaging::MessageProtocol {
 public:
  enum class Mode { answer, hold, silent };

  asio::awaitable<std::optional<Bytes>> handle(messaging::Messages message, Bytes data) override {
    if (message == messaging::Messages::windowFrame) {
      auto request = messaging::deserialize<messaging::clientMessages::WindowFrame::Request>(data);
      Mode mode;
      {
        std::lock_guard lock(mutex_);
        frames_.push_back({request.identifier, peer::readFragment(request.frame)});
        mode = mode_;
      }
      if (mode == Mode::silent)
        throw std::runtime_error("this headset never answers frames");
      if (mode == Mode::hold)
        co_await releases_->next();
      co_return Bytes{};
    }
    if (message == messaging::Messages::childWindows) {
      ++childWindowLists_;
      co_return Bytes{};
    }
    co_return std::nullopt;
  }

  void setMode(Mode mode) {
    std::lock_guard lock(mutex_);
    mode_ = mode;
  }
  // Lets one held frame reply go.
  void releaseOne() { releases_->push(true); }
  void releaseAll() { releases_->finish(); }

  std::vector<ReceivedFrame> frames() const {
    std::lock_guard lock(mutex_);
    return frames_;
  }
  std::size_t frameCount() const {
    std::lock_guard lock(mutex_);
    return frames_.size();
  }

  std::atomic<int> childWindowLists_ = 0;

 private:
  mutable std::mutex mutex_;
  Mode mode_ = Mode::answer;
  std::vector<ReceivedFrame> frames_;
  std::shared_ptr<async::Queue<bool>> releases_ = std::make_shared<async::Queue<bool>>();
};

}  // namespace marlinax::server::testpeer
