// The logic of the Wayland backends that needs no session: display identifiers
// and layout, the choice of backend, input coordinates and key codes.

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "platform/Backend.h"
#include "platform/wayland/DisplayConfig.h"
#include "platform/wayland/InputPosterGnome.h"
#include "platform/wayland/ScreenCastPortal.h"

namespace marlinax::platform {
namespace {

using wayland::displayIdentifier;
using wayland::LayoutMode;
using wayland::LogicalMonitor;
using wayland::PhysicalMonitor;

TEST(DisplayIdentifier, IsFnv1aOfTheConnectorAndNeverZero) {
  const std::vector<std::pair<std::string, std::uint32_t>> cases = {
      {"", 0x811c9dc5u},     {"Meta-0", 0xdd72466du}, {"Meta-1", 0xdc7244dau},
      {"DP-1", 0x1dbad777u}, {"eDP-1", 0xc659dedeu},  {"GkkzFD", 1u},  // its hash is 0, which no display may have
  };
  for (const auto& [connector, id] : cases) EXPECT_EQ(displayIdentifier(connector), id) << connector;
}

TEST(LayoutDisplays, FramesFollowModeScaleTransformAndLayoutMode) {
  const std::vector<PhysicalMonitor> monitors = {
      {"eDP-1", 2880, 1800}, {"DP-1", 1920, 1080}, {"HDMI-1", 0, 0} /* no current mode */, {"DP-2", 1080, 1920}};
  using Shown = std::tuple<std::string, codec::Rect, double>;  // connector, frame and stream scale
  struct Case {
    std::string what;
    std::vector<LogicalMonitor> logical;
    LayoutMode mode;
    std::vector<Shown> displays;
  };
  const std::vector<Case> cases = {
      {"scale 2 in a logical layout covers half its pixels",
       {{0, 0, 2.0, 0, {"eDP-1"}}, {1440, 0, 1.0, 0, {"DP-1"}}},
       LayoutMode::logical,
       {{"eDP-1", {0, 0, 1440, 900}, 2.0}, {"DP-1", {1440, 0, 1920, 1080}, 1.0}}},
      {"a physical layout keeps pixel sizes",
       {{0, 0, 2.0, 0, {"eDP-1"}}, {2880, 0, 1.0, 0, {"DP-1"}}},
       LayoutMode::physical,
       {{"eDP-1", {0, 0, 2880, 1800}, 1.0}, {"DP-1", {2880, 0, 1920, 1080}, 1.0}}},
      {"rotated by 90 and 270 degrees swaps width and height; 180 does not",
       {{0, 0, 1.0, 1, {"DP-1"}}, {1080, 0, 1.0, 2, {"DP-2"}}, {2160, 0, 1.0, 7, {"eDP-1"}}},
       LayoutMode::logical,
       {{"DP-1", {0, 0, 1080, 1920}, 1.0},
        {"DP-2", {1080, 0, 1080, 1920}, 1.0},
        {"eDP-1", {2160, 0, 1800, 2880}, 1.0}}},
      {"a monitor without a current mode is skipped; mirrored monitors are one display",
       {{0, 0, 1.0, 0, {"HDMI-1"}}, {0, 0, 1.0, 0, {"HDMI-1", "DP-1"}}, {0, 0, 1.0, 0, {"Unknown-1"}}},
       LayoutMode::logical,
       {{"DP-1", {0, 0, 1920, 1080}, 1.0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<Shown> shown;
    for (const auto& display : wayland::layoutDisplays(monitors, c.logical, c.mode)) {
      EXPECT_EQ(display.info.displayID, displayIdentifier(display.connector));
      shown.emplace_back(display.connector, display.info.frame, display.streamScale);
    }
    EXPECT_EQ(shown, c.displays);
  }
}

TEST(StreamPoint, IsRelativeToTheMonitorUnderThePointInStreamPixels) {
  auto displays =
      wayland::layoutDisplays({{"eDP-1", 2880, 1800}, {"DP-1", 1920, 1080}},
                              {{0, 0, 2.0, 0, {"eDP-1"}}, {1440, 0, 1.0, 0, {"DP-1"}}}, LayoutMode::logical);
  using Hit = std::tuple<std::size_t, double, double>;  // the display and the point on it
  const std::vector<std::tuple<double, double, std::optional<Hit>>> cases = {
      {0, 0, Hit{0, 0, 0}},
      {720.25, 450.5, Hit{0, 1440.5, 901}},  // scale 2: stream pixels are twice the layout's
      {1439.5, 899.5, Hit{0, 2879, 1799}},
      {1440, 0, Hit{1, 0, 0}},  // the next monitor starts at its left edge
      {1440 + 480, 540, Hit{1, 480, 540}},
      {1440 + 1920, 540, std::nullopt},  // just past the right edge
      {100, 950, std::nullopt},          // below the smaller monitor
      {-1, 0, std::nullopt},
      {std::nan(""), 0, std::nullopt},
      {0, INFINITY, std::nullopt},
  };
  for (const auto& [x, y, expected] : cases) {
    const auto point = wayland::streamPoint(displays, x, y);
    EXPECT_EQ(point ? std::optional(Hit{point->display, point->x, point->y}) : std::nullopt, expected) << x << "," << y;
  }
}

TEST(ChooseBackend, FollowsTheSessionAndTheRequest) {
  struct Case {
    std::string what;
    SessionFacts facts;
    std::optional<Backend> requested;
    std::optional<Backend> expected;
  };
  SessionFacts gnome{"wayland", "wayland-0", ":0", "GNOME", true, true, false};
  SessionFacts plasma{"wayland", "wayland-0", ":1", "KDE", false, true, false};
  SessionFacts sandboxedGnome = gnome;
  sandboxedGnome.sandboxed = true;
  SessionFacts xorg{"x11", "", ":0", "GNOME", true, true, false};
  SessionFacts bareWayland{"wayland", "wayland-1", "", "sway", false, false, false};
  SessionFacts waylandWithXwayland{"wayland", "wayland-1", ":0", "sway", false, false, false};
  SessionFacts headlessMutter{"", "", "", "", true, false, false};
  SessionFacts untypedWayland{"", "wayland-0", ":0", "GNOME", true, false, false};
  SessionFacts nothing{};
  const std::vector<Case> cases = {
      {"GNOME on Wayland", gnome, std::nullopt, Backend::gnome},
      {"KDE Plasma on Wayland", plasma, std::nullopt, Backend::portal},
      {"GNOME inside a sandbox", sandboxedGnome, std::nullopt, Backend::portal},
      {"an X11 session, even with mutter on the bus", xorg, std::nullopt, Backend::x11},
      {"Wayland without mutter or portals", bareWayland, std::nullopt, std::nullopt},
      {"Wayland without either but XWayland", waylandWithXwayland, std::nullopt, Backend::x11},
      {"no session type, but mutter", headlessMutter, std::nullopt, Backend::gnome},
      {"no session type, a Wayland display", untypedWayland, std::nullopt, Backend::gnome},
      {"nothing at all", nothing, std::nullopt, std::nullopt},
      {"a request wins", gnome, Backend::x11, Backend::x11},
      {"a request wins even where it cannot work", nothing, Backend::portal, Backend::portal},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    BackendChoice choice = chooseBackend(c.facts, c.requested);
    EXPECT_EQ(choice.backend, c.expected);
    EXPECT_FALSE(choice.reason.empty());
  }
}

TEST(ChooseBackend, NamesParseBackAndPermissionsFollowTheBackend) {
  for (Backend backend : {Backend::x11, Backend::gnome, Backend::portal})
    EXPECT_EQ(parseBackend(backendName(backend)), backend);
  for (const char* bad : {"", "X11", "wayland", "gnome ", "kde"}) EXPECT_FALSE(parseBackend(bad)) << bad;

  SessionFacts portalOnly{"wayland", "wayland-0", "", "KDE", false, true, false};
  SessionFacts gnome{"wayland", "wayland-0", "", "GNOME", true, true, false};
  SessionFacts gnomeGone{"wayland", "wayland-0", "", "GNOME", false, false, false};
  struct Case {
    Backend backend;
    SessionFacts facts;
    bool token;
    bool screen, input;
  };
  const std::vector<Case> cases = {
      {Backend::gnome, gnome, false, true, true},
      {Backend::gnome, gnomeGone, false, false, false},
      {Backend::portal, portalOnly, false, false, false},  // the user has not yet been asked
      {Backend::portal, portalOnly, true, true, false},
      {Backend::portal, gnomeGone, true, false, false},
      {Backend::x11, SessionFacts{"x11", "", ":0", "", false, false, false}, false, true, true},
      {Backend::x11, portalOnly, false, false, false},
  };
  for (const Case& c : cases) {
    Permissions permissions = permissionsFor(c.backend, c.facts, c.token);
    EXPECT_EQ(permissions.screenRecording, c.screen) << backendName(c.backend);
    EXPECT_EQ(permissions.accessibility, c.input) << backendName(c.backend);
  }
}

TEST(RestoreToken, LivesUnderTheStateDirectoryAndOnlyUuidsAreKept) {
  using wayland::restoreTokenPath;
  EXPECT_EQ(restoreTokenPath("/s", "/h"), "/s/marlinax/screencast-restore-token");
  EXPECT_EQ(restoreTokenPath(nullptr, "/h"), "/h/.local/state/marlinax/screencast-restore-token");
  EXPECT_EQ(restoreTokenPath("relative", "/h"), "/h/.local/state/marlinax/screencast-restore-token");
  EXPECT_EQ(restoreTokenPath(nullptr, nullptr), "");
  EXPECT_EQ(restoreTokenPath("", ""), "");

  const std::vector<std::pair<std::string, bool>> tokens = {
      {"4f1d8c1e-9a2b-4c3d-8e7f-0123456789ab", true},
      {"4F1D8C1E-9A2B-4C3D-8E7F-0123456789AB", true},
      {"4f1d8c1e-9a2b-4c3d-8e7f-0123456789a", false},
      {"4f1d8c1e-9a2b-4c3d-8e7f-0123456789abc", false},
      {"4f1d8c1e 9a2b-4c3d-8e7f-0123456789ab", false},
      {"4f1d8c1e-9a2b-4c3d-8e7f-0123456789ag", false},
      {"", false},
      {"../../etc/passwd-0000-0000-000000000000", false},
  };
  for (const auto& [text, valid] : tokens) EXPECT_EQ(wayland::isRestoreToken(text), valid) << text;

  char pattern[] = "/tmp/marlinax-token.XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const std::filesystem::path dir = pattern;
  wayland::RestoreTokenStore store(dir / "state" / "marlinax" / "token");
  EXPECT_FALSE(store.load()) << "no file, no token";
  EXPECT_FALSE(store.save("not a token"));
  ASSERT_TRUE(store.save("4f1d8c1e-9a2b-4c3d-8e7f-0123456789ab"));
  EXPECT_EQ(store.load(), "4f1d8c1e-9a2b-4c3d-8e7f-0123456789ab");
  EXPECT_EQ(std::filesystem::status(store.path()).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  ASSERT_TRUE(store.save("00000000-1111-2222-3333-444444444444"));
  EXPECT_EQ(store.load(), "00000000-1111-2222-3333-444444444444");
  std::ofstream(store.path()) << "garbage\n";
  EXPECT_FALSE(store.load()) << "a damaged file is no token";
  EXPECT_FALSE(wayland::RestoreTokenStore("").save("4f1d8c1e-9a2b-4c3d-8e7f-0123456789ab"));
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace marlinax::platform
