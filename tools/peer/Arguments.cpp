#include "peer/Arguments.h"

#include <charconv>
#include <cstdlib>

namespace marlinax::peer {

Arguments::Arguments(int argc, char** argv, std::set<std::string> flags) : knownFlags_(std::move(flags)) {
  for (int i = 1; i < argc; ++i) {
    std::string word = argv[i];
    if (word.rfind("--", 0) != 0 || word.size() == 2) {
      words_.push_back(word);
      continue;
    }
    std::string name = word.substr(2);
    if (auto equals = name.find('='); equals != std::string::npos) {
      values_[name.substr(0, equals)] = name.substr(equals + 1);
    } else if (knownFlags_.count(name)) {
      flags_.insert(name);
    } else {
      if (i + 1 >= argc) throw UsageError("--" + name + " needs a value");
      values_[name] = argv[++i];
    }
  }
}

std::optional<std::string> Arguments::text(const std::string& name) const {
  used_.insert(name);
  auto found = values_.find(name);
  if (found == values_.end()) return std::nullopt;
  return found->second;
}

std::string Arguments::text(const std::string& name, const std::string& fallback) const {
  return text(name).value_or(fallback);
}

std::int64_t Arguments::integer(const std::string& name) const {
  auto value = text(name);
  if (!value) throw UsageError("--" + name + " is required");
  std::int64_t result = 0;
  auto [end, error] = std::from_chars(value->data(), value->data() + value->size(), result);
  if (error != std::errc() || end != value->data() + value->size())
    throw UsageError("--" + name + " needs an integer, not '" + *value + "'");
  return result;
}

std::int64_t Arguments::integer(const std::string& name, std::int64_t fallback) const {
  return has(name) ? integer(name) : (used_.insert(name), fallback);
}

double Arguments::number(const std::string& name) const {
  auto value = text(name);
  if (!value) throw UsageError("--" + name + " is required");
  char* end = nullptr;
  double result = std::strtod(value->c_str(), &end);
  if (value->empty() || end != value->c_str() + value->size())
    throw UsageError("--" + name + " needs a number, not '" + *value + "'");
  return result;
}

double Arguments::number(const std::string& name, double fallback) const {
  return has(name) ? number(name) : (used_.insert(name), fallback);
}

void Arguments::checkAllUsed() const {
  for (const auto& [name, value] : values_)
    if (!used_.count(name)) throw UsageError("unknown option --" + name);
}

}  // namespace marlinax::peer
