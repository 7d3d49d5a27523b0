// What the permissions sheet reports on an X server, against private servers
// with and without the extensions that capture and input need.

#include "platform/x11/X11Permissions.h"

#include <gtest/gtest.h>

#include "support/Xvfb.h"

namespace marlinax::platform::x11 {
namespace {

struct Case {
  const char* name;
  std::vector<std::string> arguments;
  bool screenRecording;
  bool input;
};

TEST(X11Permissions, FollowTheServersExtensions) {
  const std::vector<Case> cases{
      {"every extension", {}, true, true},
      {"no XTEST", {"-extension", "XTEST"}, true, false},
      {"no MIT-SHM", {"-extension", "MIT-SHM"}, false, true},
      {"no RANDR", {"-extension", "RANDR"}, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::Xvfb server({.width = 640, .height = 480, .extraArguments = c.arguments});
    auto probe = makePermissionProbe(server.displayName());
    EXPECT_EQ(probe->screenRecordingGranted(), c.screenRecording);
    EXPECT_EQ(probe->inputGranted(), c.input);
    EXPECT_FALSE(probe->requestScreenRecording());  // X11 has no dialog to ask with
  }
  // A display number no server uses, whose socket does not exist, grants nothing.
  auto unreachable = makePermissionProbe(":6999");
  EXPECT_EQ(std::pair(unreachable->screenRecordingGranted(), unreachable->inputGranted()), std::pair(false, false));
}

}  // namespace
}  // namespace marlinax::platform::x11
