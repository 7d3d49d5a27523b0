// The server handler's answers to a headset, through real multiplexers on an
// in-memory pair.

#include "server/ProtocolImplementation.h"

#include <gtest/gtest.h>

#include "server/TestHeadset.h"

namespace marlinax::server {
namespace {

using namespace messaging;

// The reply carries our version whatever the headset's is, and always a
// non-empty UTF-8 name: host names are bytes, and reading one may fail.
// Child-window watching is answered without a capture service too.
TEST(ServerHandler, HandshakeReplyCarriesTheVersionAndAValidComputerName) {
  struct Case {
    std::function<std::string()> name;
    std::optional<std::int64_t> version;
    std::string sent;
    std::int64_t sentVersion;
  };
  const Case cases[] = {
      {[] { return std::string("J\xFCrgen's PC"); }, std::nullopt, "J\uFFFDrgen's PC", 1},
      {[]() -> std::string { throw std::runtime_error("no name"); }, 7, kFallbackComputerName, 7},
      {[] { return std::string(); }, 7, kFallbackComputerName, 7},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sent);
    Services services;
    services.computerName = c.name;
    services.version = c.version;
    testpeer::HeadsetLink link(std::move(services));
    auto reply = link.call<serverMessages::VisionOSHandshake>({.version = 99});
    EXPECT_EQ(std::pair(reply.version, reply.name), std::pair(c.sentVersion, c.sent));
    link.call<serverMessages::StartWatchingForChildWindows>({.identifier = 1});
    link.call<serverMessages::StopWatchingForChildWindows>({.identifier = 1});
  }
}

}  // namespace
}  // namespace marlinax::server
