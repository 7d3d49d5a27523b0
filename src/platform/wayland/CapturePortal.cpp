#include "platform/wayland/CapturePortal.h"

#include <cstdlib>
#include <mutex>

#include "log/Log.h"
#include "platform/wayland/Bus.h"
#include "platform/wayland/DisplayConfig.h"
#include "platform/wayland/PipeWireCapture.h"

namespace marlinax::platform::wayland {

namespace {

constexpr auto startTimeout = std::chrono::seconds(10);

RestoreTokenStore environmentStore() {
  return RestoreTokenStore(restoreTokenPath(std::getenv("XDG_STATE_HOME"), std::getenv("HOME")));
}

// A display named by where its monitor lies: the portal gives no stable name,
// and the same monitor keeps its place from one session to the next.
DisplayInfo displayOf(const PortalStream& stream, std::size_t index) {
  DisplayInfo info;
  if (stream.hasGeometry) {
    info.frame = {static_cast<double>(stream.x), static_cast<double>(stream.y), static_cast<double>(stream.width),
                  static_cast<double>(stream.height)};
    info.displayID = displayIdentifier("portal " + std::to_string(stream.x) + "," + std::to_string(stream.y) + " " +
                                       std::to_string(stream.width) + "x" + std::to_string(stream.height));
  } else {
    info.displayID = displayIdentifier("portal stream " + std::to_string(index));
  }
  return info;
}

class PortalCaptureService : public CaptureService {
 public:
  PortalCaptureService(std::shared_ptr<Bus> bus, RestoreTokenStore store)
      : bus_(std::move(bus)), store_(std::move(store)) {
    if (!bus_->nameHasOwner("org.freedesktop.portal.Desktop")) {
      // Bus-activated: a ping starts it.
      try {
        bus_->call("org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop", "org.freedesktop.DBus.Peer",
                   "Ping", nullptr);
      } catch (const BusError& error) {
        throw CaptureError(std::string("the desktop portal is not available: ") + error.what());
      }
    }
  }

  std::vector<DisplayInfo> shareableDisplays() override {
    std::lock_guard lock(mutex_);
    ensureSession();
    std::vector<DisplayInfo> displays;
    for (std::size_t i = 0; i < session_->streams().size(); ++i)
      displays.push_back(displayOf(session_->streams()[i], i));
    return displays;
  }

  // A PipeWire stream that ends on its own delivers no more frames; it is not
  // reported through `ended` (yet).
  std::unique_ptr<CaptureStream> startStream(const DisplayInfo& display, const CaptureConfiguration& configuration,
                                             Output output, Ended = {}) override {
    checkCaptureSize(configuration);
    std::lock_guard lock(mutex_);
    ensureSession();
    auto options = find(display.displayID);
    if (!options) throw CaptureError("no display with identifier " + std::to_string(display.displayID));
    return makePipeWireCaptureStream(*options, configuration, std::move(output), session_);
  }

  std::optional<SampleBuffer> screenshot(const DisplayInfo& display,
                                         const CaptureConfiguration& configuration) override {
    checkCaptureSize(configuration);
    std::optional<PipeWireStream::Options> options;
    std::shared_ptr<ScreenCastPortalSession> session;
    {
      std::lock_guard lock(mutex_);
      ensureSession();
      options = find(display.displayID);
      session = session_;
    }
    if (!options) return std::nullopt;
    return firstFrame(
        [&](Output output) { return makePipeWireCaptureStream(*options, configuration, std::move(output), session); },
        startTimeout);
  }

 private:
  // The session is started once and kept; the streams stay live for every cast.
  void ensureSession() {
    if (session_) return;
    try {
      auto session = std::make_shared<ScreenCastPortalSession>(bus_, store_.load());
      session->start();
      if (session->restoreToken() && !store_.save(*session->restoreToken())) {
        log::warning("cannot keep the screen-cast permission in " + store_.path().string() +
                     ": the desktop will ask again next time");
      }
      session->pipeWireFd();
      session_ = std::move(session);
    } catch (const BusError& error) {
      throw CaptureError(std::string("the screen-cast portal: ") + error.what());
    }
  }

  std::optional<PipeWireStream::Options> find(std::uint32_t id) {
    const auto& streams = session_->streams();
    for (std::size_t i = 0; i < streams.size(); ++i) {
      if (displayOf(streams[i], i).displayID != id) continue;
      PipeWireStream::Options options;
      options.node = streams[i].node;
      options.remoteFd = session_->pipeWireFd();
      return options;
    }
    return std::nullopt;
  }

  std::shared_ptr<Bus> bus_;
  RestoreTokenStore store_;
  std::mutex mutex_;
  std::shared_ptr<ScreenCastPortalSession> session_;
};

}  // namespace

bool requestScreenCastPermission(std::shared_ptr<Bus> bus, std::optional<RestoreTokenStore> store,
                                 std::chrono::milliseconds timeout) {
  RestoreTokenStore tokens = store ? std::move(*store) : environmentStore();
  try {
    ScreenCastPortalSession session(std::move(bus), tokens.load(), timeout);
    session.start();
    return session.restoreToken() && tokens.save(*session.restoreToken());
  } catch (const BusError& error) {
    log::info(std::string("screen-cast permission not granted: ") + error.what());
    return false;
  }
}

bool hasStoredScreenCastToken() { return environmentStore().load().has_value(); }

std::shared_ptr<CaptureService> makePortalCaptureService(std::shared_ptr<Bus> bus,
                                                         std::optional<RestoreTokenStore> store) {
  return std::make_shared<PortalCaptureService>(std::move(bus), store ? std::move(*store) : environmentStore());
}

}  // namespace marlinax::platform::wayland
