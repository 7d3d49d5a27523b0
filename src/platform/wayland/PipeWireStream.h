#pragma once

// The capture core shared by every Wayland backend: a PipeWire video stream
// that a compositor feeds, consumed as BGRx/BGRA shared memory. Only the newest
// buffer at hand is passed on; a compositor sends buffers only when the screen
// changed, so a still screen costs nothing.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace marlinax::platform::wayland {

// One received image, valid only during the handler call. The fourth byte of
// a pixel is alpha for BGRA and undefined for BGRx.
struct RawFrame {
  const std::uint8_t* pixels = nullptr;
  int stride = 0;
  int width = 0;
  int height = 0;
};

class PipeWireStream {
 public:
  struct Options {
    std::uint32_t node = 0;
    // The size to ask for (a virtual monitor takes the size its consumer asks
    // for); any size the producer offers when absent.
    std::optional<std::pair<int, int>> fixedSize;
    int maxFramesPerSecond = 60;
    std::string name = "marlinax-capture";
    // A connection to PipeWire handed out by a portal (OpenPipeWireRemote); it
    // is duplicated, the caller keeps its own. -1: the session's PipeWire.
    int remoteFd = -1;
  };
  using Handler = std::function<void(const RawFrame&)>;

  // Connects to the session's PipeWire ($PIPEWIRE_REMOTE or the default
  // socket) and to the node. Throws CaptureError when PipeWire cannot be reached.
  PipeWireStream(const Options& options, Handler handler);
  // Disconnects; the handler is not called once this returns. Must not run
  // on the stream's own thread (inside the handler).
  ~PipeWireStream();
  PipeWireStream(const PipeWireStream&) = delete;
  PipeWireStream& operator=(const PipeWireStream&) = delete;

  // Waits until a format has been agreed and buffers flow or the stream
  // failed. True when streaming.
  bool waitUntilStreaming(std::chrono::milliseconds timeout);
  // Whether the calling thread is the stream's own (the handler's) thread.
  bool inStreamThread() const;
  // The error that ended the stream, empty while it is fine.
  std::string error() const;

  struct Impl;  // the PipeWire objects and their callbacks

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace marlinax::platform::wayland
