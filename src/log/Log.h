#pragma once

// The product's one logging facility. Lines go to standard error, one line per
// message, with a level prefix. When standard error is the systemd journal's
// stream (JOURNAL_STREAM names it), the prefix is the kernel-style "<N>"
// priority, so the journal files each line under its level; on a terminal it is
// a word ("error: ", "warning: ", ...). Standard output stays for the lines that
// scripts read; library code never prints anywhere else.

#include <string_view>

namespace marlinax::log {

enum class Level { error = 0, warning = 1, info = 2, debug = 3 };

// Messages above this level are dropped. Default: info. Thread-safe.
void setLevel(Level level);
Level level();
bool enabled(Level level);

// Writes one line (a trailing newline is added). Thread-safe: lines from
// several threads never interleave.
void write(Level level, std::string_view message);

inline void error(std::string_view message) { write(Level::error, message); }
inline void warning(std::string_view message) { write(Level::warning, message); }
inline void info(std::string_view message) { write(Level::info, message); }
inline void debug(std::string_view message) { write(Level::debug, message); }

}  // namespace marlinax::log
