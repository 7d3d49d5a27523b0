// marlinax-server's command line: every option, and every way to get it wrong.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <tuple>
#include <variant>
#include <vector>

#include "server/Options.h"

// The expected options name only what differs from the defaults; the members
// left out keep their defaults, which is the point.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace marlinax::cli {
namespace {

// Every option is taken in both spellings. Errors name the option, show the
// usage and exit with 2; help and version exit with 0.
TEST(ServerOptions, EveryOptionAndEveryWayToGetItWrong) {
  struct Case {
    std::vector<std::string> words;
    Options expected;                    // the defaults, but for what the words change
    std::optional<std::string> message;  // an exit instead: its error, or none ("")
  };
  const Case cases[] = {
      {{}, {}},
      {{"--display", ":0"}, {.display = ":0"}},
      {{"--display=localhost:10.2"}, {.display = "localhost:10.2"}},
      {{"--display", "::1:3"}, {.display = "::1:3"}},
      {{"--port", "0"}, {}},
      {{"--port", "1"}, {.port = 1}},
      {{"--port=65535"}, {.port = 65535}},
      {{"--port", "5000", "--port", "5001"}, {.port = 5001}},
      {{"--name", "Living Room PC"}, {.name = "Living Room PC"}},
      {{"--name=Büro"}, {.name = "Büro"}},
      {{"--name", std::string(63, 'n')}, {.name = std::string(63, 'n')}},
      {{"--virtual-display"}, {.virtualDisplay = true}},
      {{"--no-advertise"}, {.advertise = false}},
      {{"--no-segment-cache"}, {.segmentCache = false}},
      {{"--backend", "gnome"}, {.backend = platform::Backend::gnome}},
      {{"--backend=portal"}, {.backend = platform::Backend::portal}},
      {{"--allow-from", "10.0.0.0/8"}, {.allowFrom = {"10.0.0.0/8"}}},
      {{"--allow-from=10.0.0.0/8,fd00::/8", "--allow-from", "127.0.0.1/32"},
       {.allowFrom = {"10.0.0.0/8", "fd00::/8", "127.0.0.1/32"}}},
      {{"--verbose"}, {.logLevel = log::Level::debug}},
      {{"--verbose", "--verbose"}, {.logLevel = log::Level::debug}},
      {{"--quiet"}, {.logLevel = log::Level::error}},
      {{"--display", ":1", "--port", "4242", "--name", "Desk", "--virtual-display", "--quiet"},
       {.display = ":1", .port = 4242, .name = "Desk", .virtualDisplay = true, .logLevel = log::Level::error}},
      {{"--bogus"}, {}, "unknown option --bogus"},
      {{"--bogus=1"}, {}, "unknown option --bogus"},
      {{"--Port", "1"}, {}, "unknown option --Port"},
      {{"-p", "1"}, {}, "unexpected argument '-p'"},
      {{"serve"}, {}, "unexpected argument 'serve'"},
      {{"--"}, {}, "unexpected argument '--'"},
      {{"--port"}, {}, "--port needs a value"},
      {{"--port", "--verbose"}, {}, "--port needs a value"},
      {{"--display"}, {}, "--display needs a value"},
      {{"--name"}, {}, "--name needs a value"},
      {{"--allow-from"}, {}, "--allow-from needs a value"},
      {{"--port", "65536"}, {}, "--port needs a number from 0 to 65535, not '65536'"},
      {{"--port", "-1"}, {}, "--port needs a number from 0 to 65535, not '-1'"},
      {{"--port", "99999999999999999999"}, {}, "--port needs a number from 0 to 65535, not '99999999999999999999'"},
      {{"--port", "80a"}, {}, "--port needs a number from 0 to 65535, not '80a'"},
      {{"--port", " 80"}, {}, "--port needs a number from 0 to 65535, not ' 80'"},
      {{"--port="}, {}, "--port needs a number from 0 to 65535, not ''"},
      {{"--display", "0"}, {}, "--display needs an X display name such as :0 or :1.0, not '0'"},
      {{"--display", "host"}, {}, "--display needs an X display name such as :0 or :1.0, not 'host'"},
      {{"--display", ":"}, {}, "--display needs an X display name such as :0 or :1.0, not ':'"},
      {{"--display", ":x"}, {}, "--display needs an X display name such as :0 or :1.0, not ':x'"},
      {{"--display", ":0."}, {}, "--display needs an X display name such as :0 or :1.0, not ':0.'"},
      {{"--display", ":0.1.2"}, {}, "--display needs an X display name such as :0 or :1.0, not ':0.1.2'"},
      {{"--display="}, {}, "--display needs an X display name such as :0 or :1.0, not ''"},
      {{"--name="}, {}, "--name needs a non-empty name"},
      {{"--name", std::string(64, 'n')}, {}, "--name is too long: at most 63 bytes, not 64"},
      {{"--allow-from="}, {}, "--allow-from needs at least one address range"},
      {{"--verbose=yes"}, {}, "--verbose takes no value"},
      {{"--virtual-display=1"}, {}, "--virtual-display takes no value"},
      {{"--no-advertise=no"}, {}, "--no-advertise takes no value"},
      {{"--no-segment-cache=1"}, {}, "--no-segment-cache takes no value"},
      {{"--backend", "wayland"}, {}, "--backend needs x11, gnome or portal, not 'wayland'"},
      {{"--allow-from", "10.0.0.1/8"}, {}, "--allow-from: not an address range: \"10.0.0.1/8\""},
      {{"--allow-from", "10.0.0.0/8,,::1"}, {}, "--allow-from: empty item in the address list"},
      {{"--verbose", "--quiet"}, {}, "--verbose and --quiet cannot be combined"},
      // The first error wins, even before --help.
      {{"--port", "x", "--help"}, {}, "--port needs a number from 0 to 65535, not 'x'"},
      // --help and --version end the run with success wherever they stand
      // (their text is not restated here).
      {{"--help"}, {}, ""},
      {{"-h"}, {}, ""},
      {{"--port", "1", "--help"}, {}, ""},
      {{"--help", "--bogus"}, {}, ""},
      {{"--version"}, {}, ""},
  };
  // Every field, so that a case also shows that nothing else changed.
  auto fields = [](const Options& o) {
    return std::tie(o.display, o.port, o.name, o.virtualDisplay, o.allowFrom, o.advertise, o.segmentCache, o.backend,
                    o.logLevel);
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.words));
    std::vector<const char*> argv{"marlinax-server"};
    for (const auto& word : c.words) argv.push_back(word.c_str());
    auto parsed = parseOptions(static_cast<int>(argv.size()), argv.data());
    const Exit* exit = std::get_if<Exit>(&parsed);
    ASSERT_EQ(exit != nullptr, c.message.has_value()) << (exit ? exit->err : "");
    if (!exit) {
      EXPECT_EQ(fields(std::get<Options>(parsed)), fields(c.expected));
    } else if (c.message->empty()) {
      EXPECT_EQ(std::tuple(exit->code, exit->err, exit->out.empty()), std::tuple(0, "", false));
    } else {
      EXPECT_EQ(std::tuple(exit->code, exit->out, exit->err),
                std::tuple(2, "", "marlinax-server: " + *c.message + "\n" + std::string(usageLine()) + "\n"));
    }
  }
}

}  // namespace
}  // namespace marlinax::cli
