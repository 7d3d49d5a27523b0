#include "server/Options.h"

#include <charconv>
#include <stdexcept>

#include "messaging/ProtocolVersion.h"
#include "transport/AddressFilter.h"

#ifndef MARLINAX_VERSION
#error "MARLINAX_VERSION must be defined by the build"
#endif

namespace marlinax::cli {
namespace {

constexpr std::string_view kProgram = "marlinax-server";

constexpr std::string_view kUsage =
    "usage: marlinax-server [--display NAME] [--port N] [--name NAME] [--virtual-display] [--allow-from CIDR,...] "
    "[--backend x11|gnome|portal] [--no-advertise] [--no-segment-cache] [--verbose | --quiet]";

constexpr std::string_view kHelp = R"(
Lets an Apple Vision Pro running the Marlinax app show and control this
computer's displays over the local network. The server advertises itself over
DNS-SD (avahi-daemon), serves one headset at a time, and keeps running until it
receives SIGINT or SIGTERM.

Options:
  --display NAME       the X display to serve, such as :0 (default: $DISPLAY)
  --port N             the TCP port to listen on, so that a firewall rule can
                       name it (default 0: the system chooses a free port)
  --name NAME          the name headsets see (default: this computer's name)
  --virtual-display    add a 1920x1080 virtual display at start
  --allow-from CIDR,...
                       accept connections only from these address ranges,
                       such as 192.168.1.0/24,fd00::/8; "default" stands for
                       the local network (default: loopback, link-local and
                       private ranges)
  --backend NAME       the display backend: x11, gnome (mutter on a GNOME
                       Wayland session) or portal (the desktop portals)
                       (default: chosen from the session)
  --no-advertise       listen without advertising over DNS-SD
  --no-segment-cache   compress every cast frame whole (no reuse of unchanged
                       parts; for a headset that mishandles restart markers)
  --verbose            also log debugging detail
  --quiet              log errors only
  -h, --help           show this help and exit
  --version            show the version and the protocol version, and exit

Standard output carries one line per event ("Awaiting connection on port P.",
"Connected to NAME.", ...); diagnostics go to standard error with their level.
Exit status: 0 after SIGINT or SIGTERM, 1 on a failure at start, 2 on a usage error.
)";

Exit failure(std::string_view message) {
  Exit exit;
  exit.code = kUsageExit;
  exit.err.append(kProgram).append(": ").append(message).append("\n").append(kUsage).append("\n");
  return exit;
}

// An X display name: [HOST]:DISPLAY[.SCREEN] (HOST may itself hold colons, as
// an IPv6 address does).
bool isDisplayName(std::string_view text) {
  auto colon = text.rfind(':');
  if (colon == std::string_view::npos) return false;
  std::string_view number = text.substr(colon + 1);
  auto dot = number.find('.');
  std::string_view display = number.substr(0, dot);
  std::string_view screen = dot == std::string_view::npos ? std::string_view("0") : number.substr(dot + 1);
  auto digits = [](std::string_view part) {
    return !part.empty() && part.find_first_not_of("0123456789") == std::string_view::npos;
  };
  return digits(display) && digits(screen);
}

std::optional<std::uint16_t> parsePort(std::string_view text) {
  unsigned value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || value > 65535) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

// DNS-SD instance names are one DNS label: at most 63 bytes.
constexpr std::size_t kMaxNameBytes = 63;

}  // namespace

std::string_view usageLine() { return kUsage; }

Exit usageError(std::string_view message) { return failure(message); }

std::variant<Options, Exit> parseOptions(int argc, const char* const* argv) {
  Options options;
  bool verbose = false;
  bool quiet = false;
  for (int i = 1; i < argc; ++i) {
    std::string_view word = argv[i];
    if (word == "-h" || word == "--help") return Exit{0, std::string(kUsage).append("\n").append(kHelp), ""};
    if (word == "--version")
      return Exit{0,
                  std::string(kProgram) + " " + MARLINAX_VERSION + " (protocol version " +
                      std::to_string(messaging::protocolVersion()) + ")\n",
                  ""};
    if (word.size() < 3 || !word.starts_with("--")) return failure("unexpected argument '" + std::string(word) + "'");

    // --name=value or --name value.
    std::string_view option = word;
    std::optional<std::string_view> attached;
    if (auto equals = word.find('='); equals != std::string_view::npos) {
      option = word.substr(0, equals);
      attached = word.substr(equals + 1);
    }
    const std::string optionText(option);

    auto flag = [&](bool& target) -> std::optional<Exit> {
      if (attached) return failure(optionText + " takes no value");
      target = true;
      return std::nullopt;
    };
    // The value attached with '=' or the next word; a next word that is itself
    // an option means the value was left out.
    std::string_view value;
    auto takeValue = [&]() -> std::optional<Exit> {
      if (attached) {
        value = *attached;
      } else if (i + 1 < argc && !std::string_view(argv[i + 1]).starts_with("--")) {
        value = argv[++i];
      } else {
        return failure(optionText + " needs a value");
      }
      return std::nullopt;
    };

    if (option == "--verbose" || option == "--quiet" || option == "--virtual-display") {
      bool& target = option == "--verbose" ? verbose : option == "--quiet" ? quiet : options.virtualDisplay;
      if (auto error = flag(target)) return *error;
      continue;
    }
    if (option == "--no-advertise" || option == "--no-segment-cache") {
      bool off = false;
      if (auto error = flag(off)) return *error;
      (option == "--no-advertise" ? options.advertise : options.segmentCache) = false;
      continue;
    }
    if (option != "--display" && option != "--port" && option != "--name" && option != "--allow-from" &&
        option != "--backend")
      return failure("unknown option " + optionText);
    if (auto error = takeValue()) return *error;

    if (option == "--display") {
      if (!isDisplayName(value))
        return failure("--display needs an X display name such as :0 or :1.0, not '" + std::string(value) + "'");
      options.display = std::string(value);
    } else if (option == "--port") {
      auto port = parsePort(value);
      if (!port) return failure("--port needs a number from 0 to 65535, not '" + std::string(value) + "'");
      options.port = *port;
    } else if (option == "--name") {
      if (value.empty()) return failure("--name needs a non-empty name");
      if (value.size() > kMaxNameBytes)
        return failure("--name is too long: at most " + std::to_string(kMaxNameBytes) + " bytes, not " +
                       std::to_string(value.size()));
      options.name = std::string(value);
    } else if (option == "--backend") {
      options.backend = platform::parseBackend(value);
      if (!options.backend) return failure("--backend needs x11, gnome or portal, not '" + std::string(value) + "'");
    } else {  // --allow-from
      if (value.empty()) return failure("--allow-from needs at least one address range");
      try {
        transport::AddressFilter::parse(value);
      } catch (const std::invalid_argument& error) {
        return failure("--allow-from: " + std::string(error.what()));
      }
      for (std::size_t start = 0;;) {
        auto comma = value.find(',', start);
        options.allowFrom.emplace_back(value.substr(start, comma - start));
        if (comma == std::string_view::npos) break;
        start = comma + 1;
      }
    }
  }
  if (verbose && quiet) return failure("--verbose and --quiet cannot be combined");
  options.logLevel = verbose ? log::Level::debug : quiet ? log::Level::error : log::Level::info;
  return options;
}

}  // namespace marlinax::cli
