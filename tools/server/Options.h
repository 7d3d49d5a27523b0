#pragma once

// marlinax-server's command line. Parsing is a pure function of the arguments:
// it starts nothing, so every option and every error can be tried on its own.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "log/Log.h"
#include "platform/Backend.h"

namespace marlinax::cli {

struct Options {
  // The X display to serve; none means $DISPLAY.
  std::optional<std::string> display;
  // The TCP port to listen on; 0 lets the system choose a free one.
  std::uint16_t port = 0;
  // The advertised service name; none means the computer's name.
  std::optional<std::string> name;
  // Add a virtual display at start.
  bool virtualDisplay = false;
  // Address ranges allowed to connect, as given (checked to be CIDR blocks or
  // "default"); empty means the local network.
  std::vector<std::string> allowFrom;
  // False listens without advertising over DNS-SD (tests that know the port).
  bool advertise = true;
  // False compresses every frame whole instead of reusing the unchanged
  // segments of the previous one.
  bool segmentCache = true;
  // The display backend; none means the one the session suggests.
  std::optional<platform::Backend> backend;
  log::Level logLevel = log::Level::info;
};

// The program ends at once: what to print on each stream and the exit code.
struct Exit {
  int code = 0;
  std::string out;
  std::string err;
};

// Exit codes: 0 for --help and --version, 2 for a usage error.
constexpr int kUsageExit = 2;

std::variant<Options, Exit> parseOptions(int argc, const char* const* argv);

// The one-line usage summary, without a trailing newline.
std::string_view usageLine();

// The exit for a bad value found after parsing (an X display that cannot be
// opened): the same shape as a parse error.
Exit usageError(std::string_view message);

}  // namespace marlinax::cli
