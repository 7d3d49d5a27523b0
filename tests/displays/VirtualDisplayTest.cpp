#include "displays/VirtualDisplay.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <deque>

#include "platform/fake/FakeCapture.h"
#include "support/RecordingVirtualDisplayService.h"

namespace marlinax::displays {
namespace {

using testing::ElementsAre;
using testing::ElementsAreArray;
using Record = testsupport::RecordingVirtualDisplayService::Record;

using IdList = std::optional<std::vector<std::uint32_t>>;  // none: the listing fails

// An environment whose lines and waits are recorded instead of printed and slept; each display
// listing shows the next scripted list of a fake capture service, or fails.
struct Harness {
  std::shared_ptr<testsupport::RecordingVirtualDisplayService> service =
      std::make_shared<testsupport::RecordingVirtualDisplayService>();
  std::shared_ptr<platform::FakeCaptureService> capture = std::make_shared<platform::FakeCaptureService>();
  std::deque<IdList> lists;
  std::vector<std::string> lines;
  std::vector<std::chrono::nanoseconds> waits;
  std::optional<std::string> cancelWith;
  std::function<void()> duringWait;

  explicit Harness(std::deque<IdList> scripted = {}) : lists(std::move(scripted)) {}

  Environment environment() {
    Environment environment;
    environment.service = service;
    environment.output = [this](const std::string& line) { lines.push_back(line); };
    environment.listDisplayIDs = [this] {
      const IdList next = lists.front();
      lists.pop_front();
      capture->setFetchFailure(next ? std::nullopt : std::optional<std::string>("the window system went away"));
      std::vector<platform::DisplayInfo> displays;
      for (std::uint32_t id : next.value_or(std::vector<std::uint32_t>{})) displays.push_back({id, {0, 0, 1920, 1080}});
      capture->setDisplays(displays);
      return listDisplayIDs(*capture, [this](const std::string& line) { lines.push_back(line); });
    };
    environment.wait = [this](std::chrono::nanoseconds duration) {
      waits.push_back(duration);
      if (duringWait) duringWait();
      return cancelWith;
    };
    return environment;
  }
};

TEST(VirtualDisplayParameters, DeriveFromTheDisplayNumber) {
  const std::pair<std::uint16_t, platform::VirtualDisplayDescriptor> cases[] = {
      {1, {"Virtual Display 1", 1920, 1080, 1920, 1080, 0x1235, 0x5679, 1, "com.pellwicks.VirtualDisplays.1"}},
      {0, {"Virtual Display 0", 1920, 1080, 1920, 1080, 0x1234, 0x5678, 0, "com.pellwicks.VirtualDisplays.0"}},
      // The sums are 32-bit: they must not wrap at 16 bits.
      {65535,
       {"Virtual Display 65535", 1920, 1080, 1920, 1080, 65535 + 0x1234, 65535 + 0x5678, 65535,
        "com.pellwicks.VirtualDisplays.65535"}},
  };
  for (const auto& [number, descriptor] : cases) {
    EXPECT_EQ(descriptorFor(number), descriptor) << number;
    EXPECT_EQ(settingsFor(number), (platform::VirtualDisplaySettings{2, {{1920, 1080, 60.0}}}));
  }
}

TEST(VirtualDisplay, CreationPassesDescriptorAndSettingsAndReplacesTheDisplayStoredBefore) {
  Harness harness;
  {
    VirtualDisplay display(harness.environment());
    display.createDisplay(1);
    EXPECT_EQ(std::tuple(display.id(), display.width(), display.height(), display.hasPlatformDisplay()),
              std::tuple(std::optional(1u), 1920, 1080, true));
    EXPECT_THAT(harness.service->records(), ElementsAre(Record{descriptorFor(1), {settingsFor(1)}}));
    EXPECT_THAT(harness.lines, ElementsAre("A virtual display with ID 1 was successfully created."));

    // The old display must be gone before the new one of the same name is made.
    harness.service->onCreate = [&](const platform::VirtualDisplayDescriptor&) {
      EXPECT_EQ(harness.service->liveDisplays(), 0);
    };
    display.createDisplay(1);
    EXPECT_EQ(std::tuple(harness.service->liveDisplays(), harness.service->records().size()), std::tuple(1, 2ul));

    display.release();  // forgets only the platform display
    EXPECT_EQ(std::tuple(display.hasPlatformDisplay(), harness.service->liveDisplays(), display.id()),
              std::tuple(false, 0, std::optional(1u)));
    display.createDisplay(2);
  }
  // Destroying the model releases the platform display.
  EXPECT_EQ(harness.service->liveDisplays(), 0);
}

TEST(VirtualDisplay, FailedCreationsWriteTheFailureLineAndKeepWhatWasMade) {
  struct Case {
    const char* what;
    bool createSucceeds, applySucceeds;  // a display that was made is kept
  };
  const Case cases[] = {
      {"the platform makes no display", false, true},
      {"the display refuses its settings", true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Harness harness;
    harness.service->createSucceeds = c.createSucceeds;
    harness.service->applySucceeds = c.applySucceeds;
    VirtualDisplay display(harness.environment());
    display.createDisplay(3);
    EXPECT_THAT(harness.lines, ElementsAre("Failed to create a virtual display with ID 3."));
    EXPECT_EQ(std::tuple(display.id(), display.width(), display.hasPlatformDisplay(), harness.service->liveDisplays()),
              std::tuple(std::optional(3u), 1920, c.createSucceeds, c.createSucceeds ? 1 : 0));
  }
}

// A cancelled wait ends the discovery after its message; the display itself was made and stays.
TEST(VirtualDisplayDiscovery, AdoptsTheFirstIdentifierThatAppeared) {
  using Ids = std::vector<std::uint32_t>;
  struct Case {
    const char* what;
    IdList before, after;
    std::optional<std::uint32_t> adopted;  // none: id stays the display number
    bool cancelled = false;
  };
  const Case cases[] = {
      {"one new display at the end", Ids{1, 2}, Ids{1, 2, 4000000000u}, 4000000000u},
      {"the first new one in list order", Ids{1, 2}, Ids{7, 1, 2, 9}, 7},
      {"identical lists", Ids{1, 2}, Ids{1, 2}, std::nullopt},
      {"a display went away, none came", Ids{1, 2}, Ids{2}, std::nullopt},
      {"the first listing failed", std::nullopt, Ids{4, 5}, 4},
      {"the second listing failed", Ids{1, 2}, std::nullopt, std::nullopt},
      {"both listings failed", std::nullopt, std::nullopt, std::nullopt},
      {"the wait is cancelled", Ids{1}, Ids{1, 8}, std::nullopt, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Harness harness({c.before, c.after});
    if (c.cancelled) harness.cancelWith = "the task was cancelled";
    VirtualDisplay display(harness.environment());
    display.createAndDiscover(1);
    EXPECT_EQ(std::tuple(display.id(), harness.capture->fetchCount(), display.hasPlatformDisplay()),
              std::tuple(std::optional(c.adopted.value_or(1)), c.cancelled ? 1 : 2, true));
    EXPECT_EQ(harness.waits, std::vector<std::chrono::nanoseconds>{std::chrono::seconds(2)});

    // The progress lines, exactly and in order.
    std::vector<std::string> expected{"displays prior: "};
    auto listing = [&expected](const IdList& list) {
      if (!list) expected.push_back("An error occurred while fetching available displays: the window system went away");
      for (auto id : list.value_or(Ids{})) expected.push_back("display: " + std::to_string(id));
    };
    listing(c.before);
    expected.push_back("A virtual display with ID 1 was successfully created.");
    expected.push_back(c.cancelled ? "Error: the task was cancelled" : "displays after: ");
    if (!c.cancelled) listing(c.after);
    if (c.adopted) expected.push_back("Display ID for virtual display was set to " + std::to_string(*c.adopted) + ".");
    EXPECT_THAT(harness.lines, ElementsAreArray(expected));
  }
}

TEST(VirtualDisplayHolder, HoldsTheDisplayOnlyAfterTheWholeCreation) {
  for (const bool createSucceeds : {true, false}) {
    SCOPED_TRACE(createSucceeds ? "creation succeeds" : "creation fails");
    Harness harness({std::vector<std::uint32_t>{1, 2}, std::vector<std::uint32_t>{1, 2, 7}});
    harness.service->createSucceeds = createSucceeds;
    VirtualDisplayHolder holder(harness.environment());
    EXPECT_EQ(holder.virtualDisplay(), nullptr);
    bool emptyDuringWait = false;
    harness.duringWait = [&] { emptyDuringWait = holder.virtualDisplay() == nullptr; };
    holder.create(1);
    EXPECT_TRUE(emptyDuringWait);
    auto display = holder.virtualDisplay();
    ASSERT_NE(display, nullptr);
    EXPECT_EQ(std::tuple(display->id(), display->hasPlatformDisplay()), std::tuple(std::optional(7u), createSucceeds));
    // A failed creation still runs the discovery.
    EXPECT_EQ(harness.lines.back(), "Display ID for virtual display was set to 7.");
  }
}

}  // namespace
}  // namespace marlinax::displays
