#include "platform/ComputerName.h"

#include <climits>
#include <fstream>
#include <sstream>

#include <unistd.h>

namespace marlinax::platform {
namespace {

// Undoes shell quoting the way systemd reads these files: single quotes
// literal, double quotes with backslash escapes of " \ ` $, bare backslash
// escapes. Comments are whole lines only.
std::string unquote(std::string_view value) {
  std::string out;
  std::size_t significant = 0;  // unquoted trailing blanks are not part of the value
  char quote = 0;
  for (std::size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    if (quote == '\'') {
      if (c == '\'')
        quote = 0;
      else
        out += c;
    } else if (c == '\\' && i + 1 < value.size()) {
      const char next = value[++i];
      if (next == '\n') continue;  // a backslash-newline joins lines
      // Inside double quotes only these characters need escaping; before any
      // other the backslash is kept.
      if (quote == '"' && std::string_view("\"\\`$").find(next) == std::string_view::npos) {
        out += c;
      }
      out += next;
    } else if (quote == '"') {
      if (c == '"')
        quote = 0;
      else
        out += c;
    } else if (c == '\'' || c == '"') {
      quote = c;
    } else {
      out += c;
      if (c == ' ' || c == '\t' || c == '\r') continue;
    }
    significant = out.size();
  }
  out.resize(significant);
  return out;
}

}  // namespace

std::optional<std::string> prettyHostName(std::string_view machineInfo) {
  std::optional<std::string> result;
  std::size_t start = 0;
  while (start < machineInfo.size()) {
    std::size_t end = machineInfo.find('\n', start);
    if (end == std::string_view::npos) end = machineInfo.size();
    std::string_view line = machineInfo.substr(start, end - start);
    start = end + 1;
    const std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string_view::npos) continue;
    line.remove_prefix(first);
    if (line.front() == '#' || line.front() == ';') continue;
    constexpr std::string_view kKey = "PRETTY_HOSTNAME";
    if (line.substr(0, kKey.size()) != kKey) continue;
    std::string_view rest = line.substr(kKey.size());
    const std::size_t equals = rest.find_first_not_of(" \t");
    if (equals == std::string_view::npos || rest[equals] != '=') continue;
    rest.remove_prefix(equals + 1);
    const std::size_t valueStart = rest.find_first_not_of(" \t");
    std::string value = valueStart == std::string_view::npos ? std::string() : unquote(rest.substr(valueStart));
    // A later assignment wins, as when the file is sourced.
    result = value.empty() ? std::nullopt : std::optional<std::string>(std::move(value));
  }
  return result;
}

std::string computerName() {
  std::ifstream file("/etc/machine-info");
  if (file) {
    std::stringstream contents;
    contents << file.rdbuf();
    if (auto name = prettyHostName(contents.str())) {
      return *name;
    }
  }
  char host[HOST_NAME_MAX + 1] = {};
  if (gethostname(host, sizeof host - 1) == 0 && host[0] != '\0') {
    return host;
  }
  return "localhost";
}

}  // namespace marlinax::platform
