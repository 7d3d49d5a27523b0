#include "displays/VirtualDisplay.h"

#include <algorithm>
#include <cstdio>
#include <thread>
#include <utility>

#include "log/Log.h"
#include "platform/CaptureService.h"

namespace marlinax::displays {
namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr double kRefreshRate = 60.0;
constexpr std::uint32_t kHiDPI = 2;
constexpr std::uint32_t kVendorBase = 0x1234;
constexpr std::uint32_t kProductBase = 0x5678;
constexpr std::chrono::nanoseconds kDiscoveryWait{2'000'000'000};

void writeLine(const std::function<void(const std::string&)>& output, const std::string& line) {
  if (output) output(line);
}

void standardOutput(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

}  // namespace

platform::VirtualDisplayDescriptor descriptorFor(std::uint16_t displayNumber) {
  platform::VirtualDisplayDescriptor descriptor;
  descriptor.name = "Virtual Display " + std::to_string(displayNumber);
  descriptor.maxPixelsWide = kWidth;
  descriptor.maxPixelsHigh = kHeight;
  // The same numbers as the pixel size: what the display reports, not a
  // size derived from a pixel density.
  descriptor.widthMillimeters = kWidth;
  descriptor.heightMillimeters = kHeight;
  descriptor.vendorID = std::uint32_t{displayNumber} + kVendorBase;
  descriptor.productID = std::uint32_t{displayNumber} + kProductBase;
  descriptor.serialNumber = displayNumber;
  descriptor.queueLabel = "com.pellwicks.VirtualDisplays." + std::to_string(displayNumber);
  return descriptor;
}

platform::VirtualDisplaySettings settingsFor(std::uint16_t /*displayNumber*/) {
  platform::VirtualDisplaySettings settings;
  settings.hiDPI = kHiDPI;
  settings.modes = {{kWidth, kHeight, kRefreshRate}};
  return settings;
}

std::vector<std::uint32_t> listDisplayIDs(platform::CaptureService& capture,
                                          const std::function<void(const std::string&)>& output) {
  std::vector<platform::DisplayInfo> displays;
  try {
    displays = capture.shareableDisplays();
  } catch (const std::exception& error) {
    writeLine(output, std::string("An error occurred while fetching available displays: ") + error.what());
    return {};
  }
  std::vector<std::uint32_t> identifiers;
  identifiers.reserve(displays.size());
  for (const auto& display : displays) {
    identifiers.push_back(display.displayID);
    writeLine(output, "display: " + std::to_string(display.displayID));
  }
  return identifiers;
}

Environment Environment::standard(std::shared_ptr<platform::VirtualDisplayService> service,
                                  std::shared_ptr<platform::CaptureService> capture) {
  Environment environment;
  environment.service = std::move(service);
  environment.output = standardOutput;
  environment.listDisplayIDs = [capture = std::move(capture)]() -> std::vector<std::uint32_t> {
    if (!capture) {
      standardOutput("An error occurred while fetching available displays: screen capture is not available");
      return {};
    }
    return displays::listDisplayIDs(*capture, standardOutput);
  };
  environment.wait = [](std::chrono::nanoseconds duration) -> std::optional<std::string> {
    std::this_thread::sleep_for(duration);
    return std::nullopt;
  };
  return environment;
}

VirtualDisplay::VirtualDisplay(Environment environment) : environment_(std::move(environment)) {}

void VirtualDisplay::createDisplay(std::uint16_t displayNumber) {
  const platform::VirtualDisplayDescriptor descriptor = descriptorFor(displayNumber);
  const platform::VirtualDisplaySettings settings = settingsFor(displayNumber);
  std::unique_ptr<platform::PlatformVirtualDisplay> previous;
  {
    std::lock_guard lock(mutex_);
    id_ = displayNumber;
    width_ = static_cast<int>(descriptor.maxPixelsWide);
    height_ = static_cast<int>(descriptor.maxPixelsHigh);
    previous = std::move(virtualDisplay_);
  }
  // The display stored before goes first: a new one of the same number takes
  // the same name on the window system, which must not find the old one there.
  previous.reset();

  std::unique_ptr<platform::PlatformVirtualDisplay> created;
  bool applied = false;
  try {
    if (environment_.service) created = environment_.service->create(descriptor);
    applied = created && created->applySettings(settings);
  } catch (const std::exception& error) {
    // The service promises not to throw; should one do so anyway, the
    // creation counts as failed and whatever was made is kept for cleanup.
    log::error(std::string("virtual display service failed: ") + error.what());
    applied = false;
  }
  {
    std::lock_guard lock(mutex_);
    virtualDisplay_ = std::move(created);
  }
  const std::string number = std::to_string(displayNumber);
  if (applied) {
    writeLine(environment_.output, "A virtual display with ID " + number + " was successfully created.");
  } else {
    writeLine(environment_.output, "Failed to create a virtual display with ID " + number + ".");
  }
}

void VirtualDisplay::createAndDiscover(std::uint16_t displayNumber) {
  auto list = [this] {
    return environment_.listDisplayIDs ? environment_.listDisplayIDs() : std::vector<std::uint32_t>{};
  };
  writeLine(environment_.output, "displays prior: ");
  const std::vector<std::uint32_t> prior = list();
  createDisplay(displayNumber);
  if (environment_.wait) {
    if (std::optional<std::string> cancelled = environment_.wait(kDiscoveryWait)) {
      writeLine(environment_.output, "Error: " + *cancelled);
      return;
    }
  }
  writeLine(environment_.output, "displays after: ");
  const std::vector<std::uint32_t> after = list();
  // A monitor plugged in meanwhile cannot be told apart: the first new
  // identifier in the list's order wins.
  auto added = std::find_if(after.begin(), after.end(), [&prior](std::uint32_t identifier) {
    return std::find(prior.begin(), prior.end(), identifier) == prior.end();
  });
  if (added != after.end()) setDisplayID(*added);
}

void VirtualDisplay::setDisplayID(std::uint32_t identifier) {
  {
    std::lock_guard lock(mutex_);
    id_ = identifier;
  }
  writeLine(environment_.output, "Display ID for virtual display was set to " + std::to_string(identifier) + ".");
}

std::optional<std::uint32_t> VirtualDisplay::id() const {
  std::lock_guard lock(mutex_);
  return id_;
}

int VirtualDisplay::width() const {
  std::lock_guard lock(mutex_);
  return width_;
}

int VirtualDisplay::height() const {
  std::lock_guard lock(mutex_);
  return height_;
}

bool VirtualDisplay::hasPlatformDisplay() const {
  std::lock_guard lock(mutex_);
  return virtualDisplay_ != nullptr;
}

void VirtualDisplay::release() {
  std::unique_ptr<platform::PlatformVirtualDisplay> display;
  {
    std::lock_guard lock(mutex_);
    display = std::move(virtualDisplay_);
  }
  // Undoing it talks to the window system: not under the lock.
  display.reset();
}

VirtualDisplayHolder::VirtualDisplayHolder(Environment environment) : environment_(std::move(environment)) {}

void VirtualDisplayHolder::create(std::uint16_t displayNumber) {
  auto display = std::make_shared<VirtualDisplay>(environment_);
  display->createAndDiscover(displayNumber);
  std::shared_ptr<VirtualDisplay> replaced;
  {
    std::lock_guard lock(mutex_);
    replaced = std::exchange(virtualDisplay_, std::move(display));
  }
}

std::shared_ptr<VirtualDisplay> VirtualDisplayHolder::virtualDisplay() const {
  std::lock_guard lock(mutex_);
  return virtualDisplay_;
}

}  // namespace marlinax::displays
