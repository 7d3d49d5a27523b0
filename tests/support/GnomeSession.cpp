#include "support/GnomeSession.h"

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <stdexcept>

#include <unistd.h>

namespace marlinax::testsupport {
namespace {

std::string sessionScript() { return std::string(MARLINAX_SOURCE_DIR) + "/scripts/testing/gnome-session-env.sh"; }

}  // namespace

bool GnomeSession::available() {
  return ::access("/usr/bin/mutter", X_OK) == 0 && ::access("/usr/bin/pipewire", X_OK) == 0 &&
         ::access("/usr/bin/wireplumber", X_OK) == 0;
}

GnomeSession::GnomeSession() {
  char pattern[] = "/tmp/marlinax-gnome.XXXXXX";
  if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  directory_ = pattern;
  std::string output;
  try {
    output = commandOutput(sessionScript() + " start " + directory_);
  } catch (...) {
    std::filesystem::remove_all(directory_);
    throw;
  }
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    const bool exported = line.rfind("export ", 0) == 0;
    if (!exported && line.rfind("unset ", 0) != 0) continue;
    const std::string assignment = line.substr(exported ? 7 : 6);
    const std::string name = assignment.substr(0, assignment.find('='));
    const char* old = std::getenv(name.c_str());
    saved_.emplace_back(name, old != nullptr ? std::optional<std::string>(old) : std::nullopt);
    if (!exported) {
      ::unsetenv(name.c_str());
    } else if (name.size() < assignment.size()) {
      ::setenv(name.c_str(), assignment.substr(name.size() + 1).c_str(), 1);
    }
  }
}

GnomeSession::~GnomeSession() {
  try {
    commandOutput(sessionScript() + " stop " + directory_);
  } catch (...) {
  }
  for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
    if (it->second) {
      ::setenv(it->first.c_str(), it->second->c_str(), 1);
    } else {
      ::unsetenv(it->first.c_str());
    }
  }
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
}

}  // namespace marlinax::testsupport
