#include "platform/wayland/CaptureGnome.h"

#include <chrono>

#include "platform/wayland/Bus.h"
#include "platform/wayland/DisplayConfig.h"
#include "platform/wayland/MutterSession.h"
#include "platform/wayland/PipeWireCapture.h"

namespace marlinax::platform::wayland {

namespace {

constexpr auto startTimeout = std::chrono::seconds(10);

// Starts a screen-cast session of mutter recording the monitor and receives it.
std::unique_ptr<CaptureStream> startGnomeStream(const std::shared_ptr<Bus>& bus, const GnomeDisplay& display,
                                                const CaptureConfiguration& configuration,
                                                CaptureService::Output output) {
  auto session = std::make_shared<MutterSession>(bus, false);
  PipeWireStream::Options options;
  try {
    std::string stream = session->recordMonitor(display.connector,
                                                configuration.showsCursor ? CursorMode::embedded : CursorMode::hidden);
    session->start(startTimeout);
    options.node = session->node(stream);
  } catch (const BusError& error) {
    throw CaptureError(std::string("the screen cast did not start: ") + error.what());
  }
  return makePipeWireCaptureStream(options, configuration, std::move(output), std::move(session));
}

class GnomeCaptureService : public CaptureService {
 public:
  explicit GnomeCaptureService(std::shared_ptr<Bus> bus) : bus_(std::move(bus)) {
    if (!bus_->nameHasOwner("org.gnome.Mutter.ScreenCast") || !bus_->nameHasOwner("org.gnome.Mutter.DisplayConfig")) {
      throw CaptureError("mutter's screen cast is not on the session bus");
    }
  }

  std::vector<DisplayInfo> shareableDisplays() override {
    std::vector<DisplayInfo> result;
    for (const GnomeDisplay& display : displays()) result.push_back(display.info);
    return result;
  }

  // A PipeWire stream that ends on its own delivers no more frames; it is not
  // reported through `ended` (yet).
  std::unique_ptr<CaptureStream> startStream(const DisplayInfo& display, const CaptureConfiguration& configuration,
                                             Output output, Ended = {}) override {
    checkCaptureSize(configuration);
    auto found = find(display.displayID);
    if (!found) throw CaptureError("no display with identifier " + std::to_string(display.displayID));
    return startGnomeStream(bus_, *found, configuration, std::move(output));
  }

  std::optional<SampleBuffer> screenshot(const DisplayInfo& display,
                                         const CaptureConfiguration& configuration) override {
    checkCaptureSize(configuration);
    auto found = find(display.displayID);
    if (!found) return std::nullopt;
    // A cast's first frame is the screen as it is now.
    return firstFrame([&](Output output) { return startGnomeStream(bus_, *found, configuration, std::move(output)); },
                      startTimeout);
  }

 private:
  std::vector<GnomeDisplay> displays() {
    try {
      return currentDisplays(*bus_);
    } catch (const BusError& error) {
      throw CaptureError(error.what());
    }
  }

  std::optional<GnomeDisplay> find(std::uint32_t id) {
    for (GnomeDisplay& display : displays()) {
      if (display.info.displayID == id) return std::move(display);
    }
    return std::nullopt;
  }

  std::shared_ptr<Bus> bus_;
};

}  // namespace

std::shared_ptr<CaptureService> makeGnomeCaptureService(std::shared_ptr<Bus> bus) {
  return std::make_shared<GnomeCaptureService>(std::move(bus));
}

}  // namespace marlinax::platform::wayland
