#include "platform/wayland/VirtualDisplayGnome.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

#include "log/Log.h"
#include "platform/wayland/Bus.h"
#include "platform/wayland/DisplayConfig.h"
#include "platform/wayland/MutterSession.h"
#include "platform/wayland/PipeWireStream.h"

namespace marlinax::platform::wayland {

namespace {

constexpr auto appearTimeout = std::chrono::seconds(10);

std::vector<std::string> connectors(Bus& bus) {
  std::vector<std::string> result;
  for (const GnomeDisplay& display : currentDisplays(bus)) result.push_back(display.connector);
  return result;
}

class GnomeVirtualDisplay final : public PlatformVirtualDisplay {
 public:
  GnomeVirtualDisplay(std::shared_ptr<Bus> bus, std::unique_ptr<MutterSession> session, std::string stream)
      : bus_(std::move(bus)), session_(std::move(session)), stream_(std::move(stream)) {}

  ~GnomeVirtualDisplay() override {
    pipewire_.reset();
    session_.reset();  // stops the session: mutter removes the monitor
  }

  bool applySettings(const VirtualDisplaySettings& settings) override {
    if (pipewire_) return false;  // the size of a running virtual monitor cannot change
    auto mode = std::find_if(settings.modes.begin(), settings.modes.end(),
                             [](const VirtualDisplayMode& m) { return m.width > 0 && m.height > 0; });
    if (mode == settings.modes.end()) return false;
    try {
      auto before = connectors(*bus_);
      session_->start();
      PipeWireStream::Options options;
      options.node = session_->node(stream_);
      options.fixedSize = std::pair{mode->width, mode->height};
      options.maxFramesPerSecond = std::max(1, static_cast<int>(std::lround(mode->refreshRate)));
      options.name = "marlinax-virtual-display";
      pipewire_ = std::make_unique<PipeWireStream>(options, [](const RawFrame&) {});
      if (!pipewire_->waitUntilStreaming(appearTimeout)) {
        log::warning("virtual monitor: " +
                     (pipewire_->error().empty() ? std::string("no format agreed in time") : pipewire_->error()));
        return false;
      }
      // The monitor shows up in the layout a moment after the format was agreed.
      auto deadline = std::chrono::steady_clock::now() + appearTimeout;
      while (std::chrono::steady_clock::now() < deadline && !session_->closed()) {
        for (const std::string& connector : connectors(*bus_)) {
          if (std::find(before.begin(), before.end(), connector) == before.end()) return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      log::warning("virtual monitor: mutter did not add it to the layout");
      return false;
    } catch (const std::exception& error) {
      log::warning(std::string("virtual monitor: ") + error.what());
      return false;
    }
  }

 private:
  std::shared_ptr<Bus> bus_;
  std::unique_ptr<MutterSession> session_;
  std::string stream_;
  std::unique_ptr<PipeWireStream> pipewire_;
};

class GnomeVirtualDisplayService final : public VirtualDisplayService {
 public:
  explicit GnomeVirtualDisplayService(std::shared_ptr<Bus> bus) : bus_(std::move(bus)) {
    if (!bus_->nameHasOwner("org.gnome.Mutter.ScreenCast")) {
      throw BusError("mutter's screen cast is not on the session bus");
    }
  }

  std::unique_ptr<PlatformVirtualDisplay> create(const VirtualDisplayDescriptor&) override {
    // Mutter names its virtual monitors itself; the descriptor's identity has no
    // place to go.
    try {
      auto session = std::make_unique<MutterSession>(bus_, false);
      std::string stream = session->recordVirtual(CursorMode::embedded);
      return std::make_unique<GnomeVirtualDisplay>(bus_, std::move(session), std::move(stream));
    } catch (const BusError& error) {
      log::warning(std::string("cannot make a virtual monitor: ") + error.what());
      return nullptr;
    }
  }

 private:
  std::shared_ptr<Bus> bus_;
};

}  // namespace

std::shared_ptr<VirtualDisplayService> makeGnomeVirtualDisplayService(std::shared_ptr<Bus> bus) {
  return std::make_shared<GnomeVirtualDisplayService>(std::move(bus));
}

}  // namespace marlinax::platform::wayland
