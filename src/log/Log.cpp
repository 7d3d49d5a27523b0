#include "log/Log.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace marlinax::log {
namespace {

std::atomic<Level> currentLevel{Level::info};

// True when standard error is the journal's stream: JOURNAL_STREAM holds
// "DEVICE:INODE" of the socket systemd connected it to.
bool stderrIsJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  if (stream == nullptr) return false;
  struct stat status {};
  if (fstat(STDERR_FILENO, &status) != 0) return false;
  unsigned long long device = 0, inode = 0;
  if (std::sscanf(stream, "%llu:%llu", &device, &inode) != 2) return false;
  return status.st_dev == device && status.st_ino == inode;
}

std::string_view prefix(Level level, bool journal) {
  // Syslog priorities: err 3, warning 4, info 6, debug 7.
  static constexpr std::string_view kJournalPrefixes[] = {"<3>", "<4>", "<6>", "<7>"};
  static constexpr std::string_view words[] = {"error: ", "warning: ", "info: ", "debug: "};
  auto index = static_cast<int>(level);
  return journal ? kJournalPrefixes[index] : words[index];
}

}  // namespace

void setLevel(Level level) { currentLevel.store(level); }

Level level() { return currentLevel.load(); }

bool enabled(Level level) { return static_cast<int>(level) <= static_cast<int>(currentLevel.load()); }

void write(Level level, std::string_view message) {
  if (!enabled(level)) return;
  static const bool journal = stderrIsJournal();
  std::string line(prefix(level, journal));
  line.append(message);
  line.push_back('\n');
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace marlinax::log
