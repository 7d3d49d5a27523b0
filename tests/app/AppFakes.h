#pragma once

// Stand-ins for what the window works with: the desktop's permissions, the
// service to headsets, the virtual-display environment (with a wait the test
// releases), the launcher and a timer the test ticks by hand.

#include <QTemporaryDir>
#include <atomic>
#include <future>
#include <mutex>
#include <thread>

#include "app/ContentView.h"
#include "app/ContentViewState.h"
#include "app/DesktopLauncher.h"
#include "app/RepeatingTimer.h"
#include "app/SessionRunner.h"
#include "platform/Permissions.h"
#include "support/RecordingVirtualDisplayService.h"

namespace marlinax::app::testing {

struct FakePermissions : platform::PermissionProbe {
  bool screen = false;
  bool input = false;
  int inputTests = 0;
  bool screenRecordingGranted() override { return screen; }
  bool inputGranted() override { return ++inputTests, input; }
};

struct FakeSession : SessionRunner {
  server::HeadsetServerEvents events;
  int starts = 0;
  int stops = 0;
  void start(server::HeadsetServerEvents e) override { ++starts, events = std::move(e); }
  void stop() override { ++stops; }
  // Calls an event from a thread of its own, as the network threads do.
  void fromNetworkThread(const std::function<void(server::HeadsetServerEvents&)>& call) {
    std::thread([&] { call(events); }).join();
  }
};

struct FakeLauncher : DesktopLauncher {
  QStringList helpSections;
  int displaySettings = 0;
  bool openHelp(const QString& section) override { return helpSections << section, true; }
  bool openDisplaySettings() override { return ++displaySettings, true; }
};

struct FakeTimer : RepeatingTimer {
  std::function<void()> callback;
  void start(std::chrono::milliseconds, std::function<void()> tick) override { callback = tick; }
  void stop() override { callback = nullptr; }
  bool running() const { return bool(callback); }
  void tick() { return callback ? callback() : void(); }
};

// The discovery's wait: blocks the creating thread until the test opens it.
struct Gate {
  std::promise<void> opened;
  std::shared_future<void> open = opened.get_future().share();
  std::atomic<std::size_t> waits = 0;
  std::optional<std::string> wait(std::chrono::nanoseconds) {
    ++waits;
    open.wait();
    return std::nullopt;
  }
  void release() { opened.set_value(); }
};

// One window's worth of fakes; `make()` builds the state from them.
struct Fixture {
  std::shared_ptr<FakePermissions> permissions = std::make_shared<FakePermissions>();
  std::shared_ptr<FakeSession> session = std::make_shared<FakeSession>();
  std::shared_ptr<testsupport::RecordingVirtualDisplayService> displays =
      std::make_shared<testsupport::RecordingVirtualDisplayService>();
  std::shared_ptr<FakeLauncher> launcher = std::make_shared<FakeLauncher>();
  FakeTimer* timer = nullptr;  // owned by the state
  Gate gate;
  bool useGate = true;
  std::vector<std::string> lines;
  std::mutex linesMutex;
  int quits = 0;
  QTemporaryDir config;

  explicit Fixture(bool granted = false) { permissions->screen = permissions->input = granted; }

  std::unique_ptr<ContentViewState> make() {
    AppEnvironment environment;
    environment.permissions = permissions;
    environment.session = session;
    environment.displays.service = displays;
    environment.displays.listDisplayIDs = [] { return std::vector<std::uint32_t>{1, 2}; };
    if (useGate) environment.displays.wait = [this](std::chrono::nanoseconds d) { return gate.wait(d); };
    environment.displays.output = [this](const std::string& line) {
      std::lock_guard lock(linesMutex);
      lines.push_back(line);
    };
    environment.launcher = launcher;
    environment.refreshTimer = std::make_unique<FakeTimer>();
    timer = static_cast<FakeTimer*>(environment.refreshTimer.get());
    environment.permissionsVisible =
        Preferences(QStringLiteral("PermissionsVisible"), false, config.filePath("marlinax.conf"));
    environment.quit = [this] { ++quits; };
    return std::make_unique<ContentViewState>(std::move(environment));
  }

  // The state and its window, shown.
  std::pair<std::unique_ptr<ContentViewState>, std::unique_ptr<ContentView>> show() {
    auto state = make();
    auto window = std::make_unique<ContentView>(*state);
    window->show();
    return {std::move(state), std::move(window)};
  }
};

}  // namespace marlinax::app::testing
