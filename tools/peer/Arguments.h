#pragma once

// Command-line options of the form `--name value` and bare `--flag`s, with
// positional words kept in order.

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace marlinax::peer {

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Arguments {
 public:
  // `flags` names the options that take no value.
  Arguments(int argc, char** argv, std::set<std::string> flags);

  const std::vector<std::string>& words() const { return words_; }
  bool flag(const std::string& name) const { return flags_.count(name) != 0; }
  bool has(const std::string& name) const { return values_.count(name) != 0; }

  std::optional<std::string> text(const std::string& name) const;
  std::string text(const std::string& name, const std::string& fallback) const;
  std::int64_t integer(const std::string& name) const;
  std::int64_t integer(const std::string& name, std::int64_t fallback) const;
  double number(const std::string& name) const;
  double number(const std::string& name, double fallback) const;

  // Fails on options nobody asked about (catches typos).
  void checkAllUsed() const;

 private:
  std::vector<std::string> words_;
  std::set<std::string> flags_;
  std::set<std::string> knownFlags_;
  std::map<std::string, std::string> values_;
  mutable std::set<std::string> used_;
};

}  // namespace marlinax::peer
