#include "peer/Cast.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "media/Masks.h"
#include "messaging/MessageCatalogue.h"
#include "peer/FragmentReader.h"

extern char** environ;

namespace marlinax::peer {

using namespace messaging;

namespace {

// The clock the server stamps its frames with (on the same machine).
std::int64_t monotonicNanos() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

std::string fixed(double value, int digits = 1) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.*f", digits, value);
  return buffer;
}

// What one cast has seen so far. The frame sink runs on the network threads.
struct CastStatistics {
  std::mutex mutex;
  bool counting = false;
  std::uint64_t frames = 0;
  std::uint64_t bytes = 0;
  std::uint64_t withMask = 0;
  std::uint64_t withoutMask = 0;
  std::uint64_t malformed = 0;
  std::uint64_t confirmations = 0;
  std::vector<double> delaysMs;  // capture to arrival
};

struct CastReport {
  double seconds = 0;
  std::uint64_t frames = 0;
  double bytesPerFrame = 0;
  std::uint64_t withMask = 0;
  std::uint64_t withoutMask = 0;
  std::uint64_t malformed = 0;
  std::uint64_t confirmations = 0;
  double delayP50 = 0, delayP99 = 0, delayMax = 0;
  double fps() const { return seconds > 0 ? static_cast<double>(frames) / seconds : 0; }
};

std::uint32_t chosenDisplay(const Arguments& args, const serverMessages::Windows::Reply& list) {
  if (args.has("id")) {
    std::int64_t value = args.integer("id");
    if (value < 0 || value > 0xFFFFFFFFll) throw UsageError("--id must be an unsigned 32-bit number");
    return static_cast<std::uint32_t>(value);
  }
  if (list.displays.empty()) throw std::runtime_error("the server lists no display");
  return list.displays.front().identifier;
}

// Serves frames as a headset: every frame is answered (by the handler), its
// header read, and a mask that came with it is decompressed and confirmed.
void receiveFrames(const std::shared_ptr<HeadsetSession>& session, std::shared_ptr<CastStatistics> statistics,
                   bool confirmMasks) {
  std::weak_ptr<HeadsetSession> weak = session;
  session->handler().setFrameSink([weak, statistics, confirmMasks](clientMessages::WindowFrame::Request request) {
    std::int64_t arrival = monotonicNanos();
    std::optional<ReadFragment> fragment;
    try {
      fragment = readFragment(request.frame);
    } catch (const std::exception&) {
    }
    {
      std::lock_guard lock(statistics->mutex);
      if (!statistics->counting) return;
      if (!fragment) {
        ++statistics->malformed;
        return;
      }
      ++statistics->frames;
      statistics->bytes += request.frame.size();
      ++(fragment->hasMask ? statistics->withMask : statistics->withoutMask);
      const ReadTime& time = fragment->sampleBuffer.presentationTime;
      if (time.timescale > 0) {
        double captured = static_cast<double>(time.value) * 1e9 / time.timescale;
        statistics->delaysMs.push_back((static_cast<double>(arrival) - captured) / 1e6);
      }
    }
    if (!fragment->hasMask || !confirmMasks) return;
    // The headset confirms the mask with the SHA-256 of the decompressed plane.
    Bytes plane;
    try {
      plane = decompressMask(*fragment);
    } catch (const std::exception&) {
      std::lock_guard lock(statistics->mutex);
      ++statistics->malformed;
      return;
    }
    media::Sha256Digest digest = media::sha256(plane);
    auto owner = weak.lock();
    if (!owner) return;
    serverMessages::WindowMask::Request confirmation{.identifier = request.identifier,
                                                     .hash = Bytes(digest.begin(), digest.end())};
    auto send = [](std::shared_ptr<HeadsetSession> session, serverMessages::WindowMask::Request confirmation,
                   std::shared_ptr<CastStatistics> statistics) -> asio::awaitable<void> {
      try {
        co_await session->call<serverMessages::WindowMask>(std::move(confirmation));
        std::lock_guard lock(statistics->mutex);
        ++statistics->confirmations;
      } catch (const std::exception&) {
      }
    };
    asio::co_spawn(owner->multiplexer().executor(), send(owner, std::move(confirmation), statistics), asio::detached);
  });
}

CastReport report(CastStatistics& statistics, double seconds) {
  std::lock_guard lock(statistics.mutex);
  CastReport out;
  out.seconds = seconds;
  out.frames = statistics.frames;
  out.bytesPerFrame = statistics.frames ? static_cast<double>(statistics.bytes) / statistics.frames : 0;
  out.withMask = statistics.withMask;
  out.withoutMask = statistics.withoutMask;
  out.malformed = statistics.malformed;
  out.confirmations = statistics.confirmations;
  out.delayP50 = percentile(statistics.delaysMs, 0.50);
  out.delayP99 = percentile(statistics.delaysMs, 0.99);
  out.delayMax =
      statistics.delaysMs.empty() ? 0 : *std::max_element(statistics.delaysMs.begin(), statistics.delaysMs.end());
  return out;
}

std::string castJson(const CastReport& r) {
  return "\"seconds\":" + fixed(r.seconds, 3) + ",\"frames\":" + std::to_string(r.frames) +
         ",\"fps\":" + fixed(r.fps(), 2) + ",\"bytes_per_frame\":" + fixed(r.bytesPerFrame, 0) +
         ",\"frames_with_mask\":" + std::to_string(r.withMask) +
         ",\"frames_without_mask\":" + std::to_string(r.withoutMask) +
         ",\"masks_confirmed\":" + std::to_string(r.confirmations) + ",\"malformed\":" + std::to_string(r.malformed) +
         ",\"capture_to_arrival_ms\":{\"p50\":" + fixed(r.delayP50, 2) + ",\"p99\":" + fixed(r.delayP99, 2) +
         ",\"max\":" + fixed(r.delayMax, 2) + "}";
}

std::string castText(const CastReport& r) {
  return fixed(r.seconds, 1) + " s, " + std::to_string(r.frames) + " frames, " + fixed(r.fps(), 1) + " fps, " +
         fixed(r.bytesPerFrame, 0) + " bytes/frame, " + std::to_string(r.withMask) + " with mask, " +
         std::to_string(r.withoutMask) + " without, " + std::to_string(r.confirmations) + " masks confirmed, " +
         "capture-to-arrival p50 " + fixed(r.delayP50, 2) + " ms p99 " + fixed(r.delayP99, 2) + " ms max " +
         fixed(r.delayMax, 2) + " ms" + (r.malformed ? ", " + std::to_string(r.malformed) + " malformed" : "");
}

asio::awaitable<void> sleepFor(std::chrono::nanoseconds duration) {
  asio::steady_timer timer(co_await asio::this_coro::executor, duration);
  co_await timer.async_wait(asio::use_awaitable);
}

double secondsOption(const Arguments& args, double fallback) {
  double seconds = args.number("seconds", fallback);
  if (!(seconds > 0 && seconds <= 3600)) throw UsageError("--seconds must be above 0 and at most 3600");
  return seconds;
}

// mouseMoved requests every ~10 ms until the deadline, measuring each round trip.
asio::awaitable<std::vector<double>> moveUntil(std::shared_ptr<HeadsetSession> session, std::uint32_t display,
                                               std::chrono::steady_clock::time_point deadline) {
  std::vector<double> roundTripsUs;
  asio::steady_timer timer(co_await asio::this_coro::executor);
  for (std::uint64_t step = 0; std::chrono::steady_clock::now() < deadline; ++step) {
    timer.expires_after(std::chrono::milliseconds(10));
    co_await timer.async_wait(asio::use_awaitable);
    // A slow circle around the display's centre.
    double angle = static_cast<double>(step) * 0.05;
    double x = 0.5 + 0.3 * std::cos(angle), y = 0.5 + 0.3 * std::sin(angle);
    auto start = std::chrono::steady_clock::now();
    co_await session->call<serverMessages::MouseMoved>({.identifier = display, .x = x, .y = y});
    roundTripsUs.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
  }
  co_return roundTripsUs;
}

// marlinax-screen-painter runs next to this program.
std::string painterPath() {
  std::error_code error;
  auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return "marlinax-screen-painter";
  return (self.parent_path() / "marlinax-screen-painter").string();
}

class Painter {
 public:
  Painter(const std::string& display, const std::string& rect) {
    std::string path = painterPath();
    std::vector<std::string> words = {path, "--display", display, "--rect", rect, "--fps", "60"};
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    // Its closing line on standard output would break this program's JSON.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    int failed = posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) throw std::runtime_error("cannot start " + path);
  }
  ~Painter() {
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  Painter(const Painter&) = delete;
  Painter& operator=(const Painter&) = delete;

 private:
  pid_t pid_ = 0;
};

}  // namespace

double percentile(std::vector<double> samples, double p) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(samples.size())));
  return samples[std::clamp<std::size_t>(rank, 1, samples.size()) - 1];
}

asio::awaitable<int> runCast(std::shared_ptr<HeadsetSession> session, const Arguments& args) {
  double seconds = secondsOption(args, 5);
  bool confirm = !args.flag("no-ack");
  bool json = args.flag("json");
  auto list = co_await session->call<serverMessages::Windows>({});
  std::uint32_t display = chosenDisplay(args, list);

  auto statistics = std::make_shared<CastStatistics>();
  statistics->counting = true;
  receiveFrames(session, statistics, confirm);
  auto start = std::chrono::steady_clock::now();
  co_await session->call<serverMessages::StartCasting>({.identifier = display});
  // Casts for the time asked, or until the computer ends the connection.
  const auto until =
      start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
  while (std::chrono::steady_clock::now() < until && !session->multiplexer().finished())
    co_await sleepFor(
        std::min<std::chrono::nanoseconds>(until - std::chrono::steady_clock::now(), std::chrono::milliseconds(100)));
  {
    std::lock_guard lock(statistics->mutex);
    statistics->counting = false;
  }
  double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (session->multiplexer().finished()) {
    std::fprintf(stderr, "the computer ended the connection after %.1f s\n", elapsed);
    co_return 3;
  }
  co_await session->call<serverMessages::StopCasting>({.identifier = display});
  CastReport result = report(*statistics, elapsed);
  if (json)
    std::printf("{\"command\":\"cast\",\"id\":%u,%s}\n", display, castJson(result).c_str());
  else
    std::printf("cast display %u: %s\n", display, castText(result).c_str());
  co_return result.frames > 0 ? 0 : 1;
}

// What /proc says about the server process: CPU seconds used so far (user +
// system, every thread) and the resident set in kB. None when unreadable.
struct ProcessSample {
  double cpuSeconds = 0;
  long rssKb = 0;
};
std::optional<ProcessSample> sampleProcess(long pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  // The command name may hold spaces: the fields after it start at ") ".
  std::size_t close = text.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int index = 3; fields >> field; ++index) {
    if (index == 14) utime = std::stoull(field);
    if (index == 15) {
      stime = std::stoull(field);
      break;
    }
  }
  ProcessSample sample;
  sample.cpuSeconds = static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmRSS:")) sample.rssKb = std::stol(line.substr(6));
  }
  return sample;
}

asio::awaitable<int> runBenchCast(std::shared_ptr<HeadsetSession> session, const Arguments& args) {
  std::optional<long> serverPid;
  if (args.has("server-pid")) {
    serverPid = static_cast<long>(args.integer("server-pid"));
    if (*serverPid <= 0 || !sampleProcess(*serverPid))
      throw UsageError("--server-pid needs the id of a running process this user may inspect");
  }
  double seconds = secondsOption(args, 10);
  bool json = args.flag("json");
  auto list = co_await session->call<serverMessages::Windows>({});
  std::uint32_t display = chosenDisplay(args, list);
  std::string rect = args.text("painter-rect", "");
  if (rect.empty()) {
    auto found = std::find_if(list.displays.begin(), list.displays.end(),
                              [&](const Display& d) { return d.identifier == display; });
    if (found == list.displays.end())
      throw std::runtime_error("display " + std::to_string(display) + " is not listed; give --painter-rect");
    rect = std::to_string(static_cast<long long>(found->frame.x)) + "," +
           std::to_string(static_cast<long long>(found->frame.y)) + "," +
           std::to_string(static_cast<long long>(found->frame.width)) + "," +
           std::to_string(static_cast<long long>(found->frame.height));
  }
  const char* xDisplay = std::getenv("DISPLAY");
  if (xDisplay == nullptr || *xDisplay == '\0')
    throw UsageError("bench cast paints on the server's X display: set DISPLAY");

  Painter painter(xDisplay, rect);
  // Give the painter a moment to map its window before the clock starts.
  co_await sleepFor(std::chrono::milliseconds(500));

  auto statistics = std::make_shared<CastStatistics>();
  receiveFrames(session, statistics, true);
  co_await session->call<serverMessages::StartCasting>({.identifier = display});
  // The first frames pay for start-up: count from one second in.
  co_await sleepFor(std::chrono::seconds(1));
  {
    std::lock_guard lock(statistics->mutex);
    statistics->counting = true;
  }
  auto start = std::chrono::steady_clock::now();
  std::optional<ProcessSample> serverBefore = serverPid ? sampleProcess(*serverPid) : std::nullopt;
  auto deadline =
      start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
  std::vector<double> roundTrips = co_await moveUntil(session, display, deadline);
  {
    std::lock_guard lock(statistics->mutex);
    statistics->counting = false;
  }
  std::optional<ProcessSample> serverAfter = serverPid ? sampleProcess(*serverPid) : std::nullopt;
  double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  co_await session->call<serverMessages::StopCasting>({.identifier = display});
  CastReport result = report(*statistics, elapsed);
  double inputP50 = percentile(roundTrips, 0.50) / 1000, inputP99 = percentile(roundTrips, 0.99) / 1000;
  // The server's CPU per delivered frame (painter and peer excluded) and its
  // resident set at the start and the end of the measured time.
  std::string serverJson, serverText;
  if (serverBefore && serverAfter) {
    double cpuMs = 1000 * (serverAfter->cpuSeconds - serverBefore->cpuSeconds);
    double perFrame = result.frames ? cpuMs / static_cast<double>(result.frames) : 0;
    double share = 100 * cpuMs / 1000 / elapsed;
    char buffer[256];
    std::snprintf(buffer, sizeof buffer,
                  ",\"server\":{\"cpu_ms_per_frame\":%.2f,\"cpu_percent_of_a_core\":%.2f,\"rss_kb_start\":%ld,"
                  "\"rss_kb_end\":%ld}",
                  perFrame, share, serverBefore->rssKb, serverAfter->rssKb);
    serverJson = buffer;
    std::snprintf(buffer, sizeof buffer,
                  "; server %.2f ms CPU per frame, %.2f %% of a core, RSS %ld kB at start, %ld kB at end", perFrame,
                  share, serverBefore->rssKb, serverAfter->rssKb);
    serverText = buffer;
  }
  if (json) {
    std::printf("{\"benchmark\":\"cast\",\"id\":%u,\"painter_rect\":\"%s\",%s,\"input_round_trips\":%zu,"
                "\"input_rtt_ms\":{\"p50\":%.3f,\"p99\":%.3f}%s}\n",
                display, rect.c_str(), castJson(result).c_str(), roundTrips.size(), inputP50, inputP99,
                serverJson.c_str());
  } else {
    std::printf("bench cast display %u (painter %s): %s; mouseMoved round trip during casting p50 %.3f ms "
                "p99 %.3f ms (%zu requests)%s\n",
                display, rect.c_str(), castText(result).c_str(), inputP50, inputP99, roundTrips.size(),
                serverText.c_str());
  }
  co_return result.frames > 0 ? 0 : 1;
}

asio::awaitable<int> runBenchInput(std::shared_ptr<HeadsetSession> session, const Arguments& args) {
  std::int64_t count = args.integer("count", 2000);
  if (count < 1) throw UsageError("--count must be at least 1");
  bool json = args.flag("json");
  auto list = co_await session->call<serverMessages::Windows>({});
  std::uint32_t display = chosenDisplay(args, list);
  for (int i = 0; i < 20; ++i)
    co_await session->call<serverMessages::MouseMoved>({.identifier = display, .x = 0.5, .y = 0.5});
  std::vector<double> micros;
  micros.reserve(static_cast<std::size_t>(count));
  for (std::int64_t i = 0; i < count; ++i) {
    double x = static_cast<double>(i % 100) / 100.0;
    auto start = std::chrono::steady_clock::now();
    co_await session->call<serverMessages::MouseMoved>({.identifier = display, .x = x, .y = 0.5});
    micros.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
  }
  double p50 = percentile(micros, 0.50), p99 = percentile(micros, 0.99);
  if (json)
    std::printf("{\"benchmark\":\"input\",\"message\":\"mouseMoved\",\"id\":%u,\"count\":%lld,\"p50_us\":%.1f,"
                "\"p99_us\":%.1f}\n",
                display, static_cast<long long>(count), p50, p99);
  else
    std::printf("input mouseMoved on display %u: %lld round trips, p50 %.1f us, p99 %.1f us\n", display,
                static_cast<long long>(count), p50, p99);
  co_return 0;
}

}  // namespace marlinax::peer
