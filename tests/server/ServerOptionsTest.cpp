// marlinax-server's command line: every option, and every way to get it wrong.

#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

#include "messaging/ProtocolVersion.h"
#include "server/Options.h"

namespace marlinax::cli {
namespace {

std::variant<Options, Exit> parse(std::vector<std::string> words) {
  words.insert(words.begin(), "marlinax-server");
  std::vector<const char*> argv;
  for (const auto& word : words)
    argv.push_back(word.c_str());
  argv.push_back(nullptr);
  return parseOptions(static_cast<int>(words.size()), argv.data());
}

std::string joined(const std::vector<std::string>& words) {
  std::string text;
  for (const auto& word : words)
    text += (text.empty() ? "" : " ") + word;
  return text;
}

TEST(ServerOptions, DefaultsWithoutArguments) {
  auto parsed = parse({});
  ASSERT_TRUE(std::holds_alternative<Options>(parsed));
  const auto& options = std::get<Options>(parsed);
  EXPECT_FALSE(options.display);
  EXPECT_EQ(options.port, 0);
  EXPECT_FALSE(options.name);
  EXPECT_FALSE(options.virtualDisplay);
  EXPECT_TRUE(options.segmentCache);
  EXPECT_TRUE(options.allowFrom.empty());
  EXPECT_EQ(options.logLevel, log::Level::info);
}

TEST(ServerOptions, EveryOptionIsTakenInBothSpellings) {
  struct Case {
    std::vector<std::string> words;
    void (*check)(const Options&);
  };
  const Case cases[] = {
      {{"--display", ":0"}, [](const Options& o) { EXPECT_EQ(o.display, ":0"); }},
      {{"--display=localhost:10.2"}, [](const Options& o) { EXPECT_EQ(o.display, "localhost:10.2"); }},
      {{"--display", "::1:3"}, [](const Options& o) { EXPECT_EQ(o.display, "::1:3"); }},
      {{"--port", "0"}, [](const Options& o) { EXPECT_EQ(o.port, 0); }},
      {{"--port", "1"}, [](const Options& o) { EXPECT_EQ(o.port, 1); }},
      {{"--port=65535"}, [](const Options& o) { EXPECT_EQ(o.port, 65535); }},
      {{"--port", "5000", "--port", "5001"}, [](const Options& o) { EXPECT_EQ(o.port, 5001); }},
      {{"--name", "Living Room PC"}, [](const Options& o) { EXPECT_EQ(o.name, "Living Room PC"); }},
      {{"--name=Büro"}, [](const Options& o) { EXPECT_EQ(o.name, "Büro"); }},
      {{"--name", std::string(63, 'n')}, [](const Options& o) { EXPECT_EQ(o.name->size(), 63u); }},
      {{"--virtual-display"}, [](const Options& o) { EXPECT_TRUE(o.virtualDisplay); }},
      {{"--no-advertise"}, [](const Options& o) { EXPECT_FALSE(o.advertise && !o.segmentCache); }},
      {{"--no-segment-cache"}, [](const Options& o) { EXPECT_FALSE(!o.advertise || o.segmentCache); }},
      {{"--backend", "gnome"}, [](const Options& o) { EXPECT_EQ(o.backend, platform::Backend::gnome); }},
      {{"--backend=portal"}, [](const Options& o) { EXPECT_EQ(o.backend, platform::Backend::portal); }},
      {{"--allow-from", "10.0.0.0/8"},
       [](const Options& o) { EXPECT_EQ(o.allowFrom, (std::vector<std::string>{"10.0.0.0/8"})); }},
      {{"--allow-from=10.0.0.0/8,fd00::/8", "--allow-from", "127.0.0.1/32"},
       [](const Options& o) {
         EXPECT_EQ(o.allowFrom, (std::vector<std::string>{"10.0.0.0/8", "fd00::/8", "127.0.0.1/32"}));
       }},
      {{"--verbose"}, [](const Options& o) { EXPECT_EQ(o.logLevel, log::Level::debug); }},
      {{"--verbose", "--verbose"}, [](const Options& o) { EXPECT_EQ(o.logLevel, log::Level::debug); }},
      {{"--quiet"}, [](const Options& o) { EXPECT_EQ(o.logLevel, log::Level::error); }},
      {{"--display", ":1", "--port", "4242", "--name", "Desk", "--virtual-display", "--quiet"},
       [](const Options& o) {
         EXPECT_EQ(o.display, ":1");
         EXPECT_EQ(o.port, 4242);
         EXPECT_EQ(o.name, "Desk");
         EXPECT_TRUE(o.virtualDisplay);
         EXPECT_EQ(o.logLevel, log::Level::error);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(joined(c.words));
    auto parsed = parse(c.words);
    ASSERT_TRUE(std::holds_alternative<Options>(parsed)) << std::get<Exit>(parsed).err;
    c.check(std::get<Options>(parsed));
  }
}

TEST(ServerOptions, ErrorsNameTheOptionShowTheUsageAndExitWithTwo) {
  struct Case {
    std::vector<std::string> words;
    std::string message;
  };
  const Case cases[] = {
      {{"--bogus"}, "unknown option --bogus"},
      {{"--bogus=1"}, "unknown option --bogus"},
      {{"--Port", "1"}, "unknown option --Port"},
      {{"-p", "1"}, "unexpected argument '-p'"},
      {{"serve"}, "unexpected argument 'serve'"},
      {{"--"}, "unexpected argument '--'"},
      {{"--port"}, "--port needs a value"},
      {{"--port", "--verbose"}, "--port needs a value"},
      {{"--display"}, "--display needs a value"},
      {{"--name"}, "--name needs a value"},
      {{"--allow-from"}, "--allow-from needs a value"},
      {{"--port", "65536"}, "--port needs a number from 0 to 65535, not '65536'"},
      {{"--port", "-1"}, "--port needs a number from 0 to 65535, not '-1'"},
      {{"--port", "99999999999999999999"}, "--port needs a number from 0 to 65535, not '99999999999999999999'"},
      {{"--port", "80a"}, "--port needs a number from 0 to 65535, not '80a'"},
      {{"--port", " 80"}, "--port needs a number from 0 to 65535, not ' 80'"},
      {{"--port="}, "--port needs a number from 0 to 65535, not ''"},
      {{"--display", "0"}, "--display needs an X display name such as :0 or :1.0, not '0'"},
      {{"--display", "host"}, "--display needs an X display name such as :0 or :1.0, not 'host'"},
      {{"--display", ":"}, "--display needs an X display name such as :0 or :1.0, not ':'"},
      {{"--display", ":x"}, "--display needs an X display name such as :0 or :1.0, not ':x'"},
      {{"--display", ":0."}, "--display needs an X display name such as :0 or :1.0, not ':0.'"},
      {{"--display", ":0.1.2"}, "--display needs an X display name such as :0 or :1.0, not ':0.1.2'"},
      {{"--display="}, "--display needs an X display name such as :0 or :1.0, not ''"},
      {{"--name="}, "--name needs a non-empty name"},
      {{"--name", std::string(64, 'n')}, "--name is too long: at most 63 bytes, not 64"},
      {{"--allow-from="}, "--allow-from needs at least one address range"},
      {{"--verbose=yes"}, "--verbose takes no value"},
      {{"--virtual-display=1"}, "--virtual-display takes no value"},
      {{"--no-advertise=no"}, "--no-advertise takes no value"},
      {{"--no-segment-cache=1"}, "--no-segment-cache takes no value"},
      {{"--backend", "wayland"}, "--backend needs x11, gnome or portal, not 'wayland'"},
      {{"--allow-from", "10.0.0.1/8"}, "--allow-from: not an address range: \"10.0.0.1/8\""},
      {{"--allow-from", "10.0.0.0/8,,::1"}, "--allow-from: empty item in the address list"},
      {{"--verbose", "--quiet"}, "--verbose and --quiet cannot be combined"},
      // The first error wins, even before --help.
      {{"--port", "x", "--help"}, "--port needs a number from 0 to 65535, not 'x'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(joined(c.words));
    auto parsed = parse(c.words);
    ASSERT_TRUE(std::holds_alternative<Exit>(parsed));
    const auto& exit = std::get<Exit>(parsed);
    EXPECT_EQ(exit.code, 2);
    EXPECT_EQ(exit.out, "");
    EXPECT_EQ(exit.err, "marlinax-server: " + c.message + "\n" + std::string(usageLine()) + "\n");
  }
}

TEST(ServerOptions, HelpAndVersionEndTheRunWithSuccess) {
  for (const std::vector<std::string>& words : {std::vector<std::string>{"--help"}, {"-h"}, {"--port", "1", "--help"},
                                                {"--help", "--bogus"}}) {
    SCOPED_TRACE(joined(words));
    auto parsed = parse(words);
    ASSERT_TRUE(std::holds_alternative<Exit>(parsed));
    const auto& exit = std::get<Exit>(parsed);
    EXPECT_EQ(exit.code, 0);
    EXPECT_EQ(exit.err, "");
    EXPECT_EQ(exit.out.rfind(std::string(usageLine()) + "\n", 0), 0u);
    for (const char* option : {"--display NAME", "--port N", "--name NAME", "--virtual-display", "--allow-from",
                               "--no-segment-cache", "--verbose", "--quiet", "--help", "--version"})
      EXPECT_NE(exit.out.find(option), std::string::npos) << option;
  }

  auto parsed = parse({"--version"});
  ASSERT_TRUE(std::holds_alternative<Exit>(parsed));
  const auto& exit = std::get<Exit>(parsed);
  EXPECT_EQ(exit.code, 0);
  EXPECT_EQ(exit.out, "marlinax-server " MARLINAX_VERSION " (protocol version " +
                          std::to_string(messaging::protocolVersion()) + ")\n");
}

}  // namespace
}  // namespace marlinax::cli
