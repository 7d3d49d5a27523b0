#include "platform/ComputerName.h"

#include <gtest/gtest.h>

namespace marlinax::platform {
namespace {

TEST(ComputerName, PrettyHostNameFromMachineInfo) {
  struct Case {
    const char* file;
    std::optional<std::string> name;
  };
  const Case cases[] = {
      {"PRETTY_HOSTNAME=Studio\n", "Studio"},
      {"PRETTY_HOSTNAME=\"Ann's Laptop\"\n", "Ann's Laptop"},
      {"PRETTY_HOSTNAME='Lab \"A\"'\n", "Lab \"A\""},
      {"PRETTY_HOSTNAME=\"Quote \\\" and \\\\ and \\$ kept \\q\"", "Quote \" and \\ and $ kept \\q"},
      {"PRETTY_HOSTNAME=Back\\ slash  \n", "Back slash"},
      {"PRETTY_HOSTNAME=\"Trailing  \"\n", "Trailing  "},
      {"PRETTY_HOSTNAME=\"Zoë’s Mac\"\n", "Zoë’s Mac"},
      {"ICON_NAME=computer-laptop\nCHASSIS=laptop\n", std::nullopt},
      {"# PRETTY_HOSTNAME=Commented\n", std::nullopt},
      {"PRETTY_HOSTNAME=\n", std::nullopt},
      {"PRETTY_HOSTNAME_OTHER=No\n", std::nullopt},
      {"  PRETTY_HOSTNAME = Spaced\n", "Spaced"},
      {"PRETTY_HOSTNAME=First\nPRETTY_HOSTNAME=Second\n", "Second"},
      {"CHASSIS=desktop\r\nPRETTY_HOSTNAME=Windows Line\r\n", "Windows Line"},
      {"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(prettyHostName(c.file), c.name) << c.file;
}

TEST(ComputerName, NeverEmpty) { EXPECT_FALSE(computerName().empty()); }

}  // namespace
}  // namespace marlinax::platform
