// marlinax-peer: a headset simulator for trying and measuring the server. It
// finds the server over DNS-SD, connects with the headset's TLS and framing,
// serves the server's requests as a headset must (handshake, frames, child
// windows) and sends the headset's requests.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <future>
#include <iostream>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/use_future.hpp>

#include "messaging/ProtocolVersion.h"
#include "messaging/SessionLoop.h"
#include "peer/Arguments.h"
#include "peer/Cast.h"
#include "peer/FragmentReader.h"
#include "peer/Headset.h"
#include "server/ProtocolImplementation.h"
#include "transport/ServiceBrowser.h"

namespace marlinax::peer {
namespace {

using namespace messaging;
using Clock = std::chrono::steady_clock;

constexpr const char* kUsage = R"(usage: marlinax-peer COMMAND [options]

Commands:
  discover [--timeout S] [--json]
      Browse for servers for S seconds (default 3); print "name host port" per server.
  handshake [CONNECT] [--version V] [--name N] [--json]
      Send visionOSHandshake, answer the server's macOSHandshake with version V
      (default: this build's) and name N, print both sides.
  displays [CONNECT] [--json]
      List the server's displays.
  preview --id N --out-jpeg FILE --out-mask FILE [CONNECT]
      Fetch a preview; write its JPEG and its decompressed mask plane.
  input move|click --id N --x X --y Y [CONNECT]
  input drag --id N --from-x X --from-y Y --to-x X --to-y Y [--steps K] [CONNECT]
  input scroll --dx PX --dy PY [--id N] [CONNECT]
  input key --key RAW [--down|--up] [--id N] [CONNECT]
      Send input requests (fractions of the display for pointer positions,
      pixels for scrolling, key raw values 0-112; a key press is down then up
      unless --down or --up is given).
  cast [--id N] [--seconds S] [--no-ack] [CONNECT] [--json]
      Cast a display (default: the first listed) for S seconds (default 5) as a
      headset does (answer frames, confirm masks unless --no-ack); print frames
      per second, bytes per frame, frames with and without mask and the delay
      from capture to arrival. Exit code 1 when no frame arrived.
  bench cast [--id N] [--seconds S] [--painter-rect X,Y,W,H] [--server-pid P] [CONNECT] [--json]
      Casting while marlinax-screen-painter repaints the display (on $DISPLAY),
      with a mouseMoved request every ~10 ms; fps, bytes per frame, delay and
      input round-trip percentiles (default 10 s). With --server-pid, also the
      server's CPU per delivered frame and its resident set at start and end.
  bench input [--id N] [--count N] [CONNECT] [--json]
      mouseMoved round trips (default 2000); p50/p99.
  bench rtt [--count N] [CONNECT] [--json]
      visionOSHandshake round trips; without --host/--port/--discover a server
      is started in this process on loopback TLS. Prints p50/p99.

CONNECT: --host H --port P (otherwise the first server found over DNS-SD)
         [--pairing-code C] [--timeout S] (default 10 s for each wait)
)";

// ---- output helpers --------------------------------------------------------

std::string jsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
    case '"': out += "\\\""; break;
    case '\\': out += "\\\\"; break;
    case '\n': out += "\\n"; break;
    case '\t': out += "\\t"; break;
    default:
      if (c < 0x20) {
        char buffer[8];
        std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
        out += buffer;
      } else {
        out += static_cast<char>(c);
      }
    }
  }
  return out + "\"";
}

std::string number(double value) {
  std::ostringstream out;
  out.precision(15);
  out << value;
  return out.str();
}

void writeFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

// ---- the run-time ----------------------------------------------------------

struct Runtime {
  asio::io_context io;
  asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
  std::vector<std::thread> threads;
  // A server started in this process (bench without a target).
  std::unique_ptr<SessionLoop> localServer;
  std::shared_ptr<HeadsetSession> session;

  Runtime() {
    for (int i = 0; i < 2; ++i) threads.emplace_back([this] { io.run(); });
  }
  ~Runtime() { shutdown(); }

  void shutdown() {
    if (session) session->close();
    if (localServer) localServer->stop();
    work.reset();
    io.stop();
    for (auto& thread : threads)
      if (thread.joinable()) thread.join();
  }
};

std::chrono::milliseconds seconds(double value) {
  return std::chrono::milliseconds(static_cast<std::int64_t>(value * 1000));
}

// Collects endpoints of the server's service type for `limit`, or until the
// first one when `firstOnly`.
asio::awaitable<std::vector<transport::ServiceEndpoint>> discover(std::chrono::milliseconds limit, bool firstOnly) {
  auto executor = co_await asio::this_coro::executor;
  auto browser = std::make_shared<transport::ServiceBrowser>(transport::browse(executor, SessionLoop::serviceType));
  auto timer = std::make_shared<asio::steady_timer>(executor, limit);
  timer->async_wait([browser](std::error_code) { browser->terminate(); });
  std::vector<transport::ServiceEndpoint> found;
  while (auto endpoint = co_await browser->next()) {
    if (std::find(found.begin(), found.end(), *endpoint) != found.end()) continue;
    found.push_back(*endpoint);
    if (firstOnly) break;
  }
  timer->cancel();
  browser->terminate();
  co_return found;
}

asio::awaitable<std::shared_ptr<HeadsetSession>> connect(Runtime& runtime, const Arguments& args,
                                                         HeadsetIdentity identity) {
  auto executor = co_await asio::this_coro::executor;
  std::string host;
  std::uint16_t port = 0;
  if (args.has("host") || args.has("port")) {
    host = args.text("host", "127.0.0.1");
    std::int64_t value = args.integer("port");
    if (value <= 0 || value > 65535) throw UsageError("--port must be 1 to 65535");
    port = static_cast<std::uint16_t>(value);
  } else {
    auto found = co_await discover(seconds(args.number("timeout", 10)), true);
    if (found.empty()) throw std::runtime_error("no server found");
    host = found.front().host;
    port = found.front().port;
  }
  std::string code = args.text("pairing-code", "");
  runtime.session =
      co_await HeadsetSession::open(executor, host, port, Bytes(code.begin(), code.end()), std::move(identity));
  co_return runtime.session;
}

HeadsetIdentity identityFrom(const Arguments& args) {
  return HeadsetIdentity{.version = args.integer("version", protocolVersion()),
                         .name = args.text("name", "Marlinax Peer")};
}

// ---- commands --------------------------------------------------------------

asio::awaitable<int> discoverCommand(Runtime&, const Arguments& args) {
  auto found = co_await discover(seconds(args.number("timeout", 3)), false);
  if (args.flag("json")) {
    std::string out = "[";
    for (std::size_t i = 0; i < found.size(); ++i)
      out += (i ? "," : "") + std::string("{\"name\":") + jsonString(found[i].name) +
             ",\"host\":" + jsonString(found[i].host) + ",\"port\":" + std::to_string(found[i].port) + "}";
    std::printf("%s]\n", out.c_str());
  } else {
    for (const auto& endpoint : found)
      std::printf("%s %s %u\n", endpoint.name.c_str(), endpoint.host.c_str(), endpoint.port);
  }
  co_return found.empty() ? 1 : 0;
}

asio::awaitable<int> handshakeCommand(Runtime& runtime, const Arguments& args) {
  HeadsetIdentity identity = identityFrom(args);
  auto session = co_await connect(runtime, args, identity);
  auto reply = co_await session->call<serverMessages::VisionOSHandshake>({.version = identity.version});
  auto computerVersion = co_await session->computerHandshake(seconds(args.number("timeout", 10)));
  if (args.flag("json")) {
    std::printf(
        "{\"server\":{\"version\":%lld,\"name\":%s},\"headset\":{\"received\":%s,\"answered\":%lld,\"name\":%s}}\n",
        static_cast<long long>(reply.version), jsonString(reply.name).c_str(),
        computerVersion ? std::to_string(*computerVersion).c_str() : "null", static_cast<long long>(identity.version),
        jsonString(identity.name).c_str());
  } else {
    std::printf("server: version %lld, name \"%s\"\n", static_cast<long long>(reply.version), reply.name.c_str());
    if (computerVersion)
      std::printf("headset: received macOSHandshake version %lld, answered version %lld, name \"%s\"\n",
                  static_cast<long long>(*computerVersion), static_cast<long long>(identity.version),
                  identity.name.c_str());
    else
      std::printf("headset: no macOSHandshake received\n");
  }
  co_return computerVersion ? 0 : 1;
}

asio::awaitable<int> displaysCommand(Runtime& runtime, const Arguments& args) {
  auto session = co_await connect(runtime, args, identityFrom(args));
  auto reply = co_await session->call<serverMessages::Windows>({});
  if (args.flag("json")) {
    std::string out = "[";
    for (std::size_t i = 0; i < reply.displays.size(); ++i) {
      const Display& d = reply.displays[i];
      out += (i ? "," : "") + std::string("{\"identifier\":") + std::to_string(d.identifier) +
             ",\"title\":" + (d.title ? jsonString(*d.title) : "null") + ",\"app\":" + jsonString(d.app) +
             ",\"frame\":[" + number(d.frame.x) + "," + number(d.frame.y) + "," + number(d.frame.width) + "," +
             number(d.frame.height) + "],\"windowLayer\":" + std::to_string(d.windowLayer) + "}";
    }
    std::printf("%s]\n", out.c_str());
  } else {
    for (const Display& d : reply.displays)
      std::printf("%u\t%s\t%s %s %s %s\n", d.identifier, d.title.value_or("").c_str(), number(d.frame.x).c_str(),
                  number(d.frame.y).c_str(), number(d.frame.width).c_str(), number(d.frame.height).c_str());
  }
  co_return 0;
}

std::uint32_t displayId(const Arguments& args, std::int64_t fallback = -1) {
  std::int64_t value = fallback < 0 ? args.integer("id") : args.integer("id", fallback);
  if (value < 0 || value > 0xFFFFFFFFll) throw UsageError("--id must be an unsigned 32-bit number");
  return static_cast<std::uint32_t>(value);
}

asio::awaitable<int> previewCommand(Runtime& runtime, const Arguments& args) {
  std::uint32_t id = displayId(args);
  auto jpegPath = args.text("out-jpeg");
  auto maskPath = args.text("out-mask");
  if (!jpegPath || !maskPath) throw UsageError("preview needs --out-jpeg and --out-mask");
  auto session = co_await connect(runtime, args, identityFrom(args));
  auto reply = co_await session->call<serverMessages::WindowPreview>({.identifier = id});
  if (!reply) {
    std::printf("no preview for display %u\n", id);
    co_return 1;
  }
  ReadFragment fragment = readFragment(*reply);
  Bytes mask = decompressMask(fragment);
  writeFile(*jpegPath, fragment.sampleBuffer.data);
  writeFile(*maskPath, mask);
  const auto& format = fragment.sampleBuffer.formatDescription;
  std::printf(
      "preview of display %u: jpeg %zu bytes %llux%llu, mask %llux%llu stride %llu (%zu bytes, %zu compressed)\n", id,
      fragment.sampleBuffer.data.size(), static_cast<unsigned long long>(format.width),
      static_cast<unsigned long long>(format.height), static_cast<unsigned long long>(fragment.maskWidth),
      static_cast<unsigned long long>(fragment.maskHeight), static_cast<unsigned long long>(fragment.maskStride),
      mask.size(), fragment.compressedMask.size());
  co_return 0;
}

asio::awaitable<int> inputCommand(Runtime& runtime, const Arguments& args) {
  if (args.words().size() < 2) throw UsageError("input needs one of move, click, drag, scroll, key");
  const std::string& kind = args.words()[1];
  if (kind == "move" || kind == "click") {
    std::uint32_t id = displayId(args);
    double x = args.number("x"), y = args.number("y");
    auto session = co_await connect(runtime, args, identityFrom(args));
    if (kind == "move")
      co_await session->call<serverMessages::MouseMoved>({.identifier = id, .x = x, .y = y});
    else
      co_await session->call<serverMessages::Clicked>({.identifier = id, .x = x, .y = y});
  } else if (kind == "drag") {
    std::uint32_t id = displayId(args);
    double fromX = args.number("from-x"), fromY = args.number("from-y");
    double toX = args.number("to-x"), toY = args.number("to-y");
    std::int64_t steps = args.integer("steps", 4);
    if (steps < 1) throw UsageError("--steps must be at least 1");
    auto session = co_await connect(runtime, args, identityFrom(args));
    co_await session->call<serverMessages::DragBegan>({.identifier = id, .x = fromX, .y = fromY});
    for (std::int64_t i = 1; i <= steps; ++i) {
      double t = static_cast<double>(i) / static_cast<double>(steps);
      co_await session->call<serverMessages::DragChanged>(
          {.identifier = id, .x = fromX + (toX - fromX) * t, .y = fromY + (toY - fromY) * t});
    }
    co_await session->call<serverMessages::DragEnded>({.identifier = id, .x = toX, .y = toY});
  } else if (kind == "scroll") {
    std::uint32_t id = displayId(args, 0);
    double dx = args.number("dx", 0), dy = args.number("dy", 0);
    auto session = co_await connect(runtime, args, identityFrom(args));
    co_await session->call<serverMessages::ScrollBegan>({.identifier = id});
    co_await session->call<serverMessages::ScrollChanged>({.identifier = id, .x = dx, .y = dy});
    co_await session->call<serverMessages::ScrollEnded>({.identifier = id});
  } else if (kind == "key") {
    std::uint32_t id = displayId(args, 0);
    // Any raw value is sent as given, so the server's refusal of unknown keys can be tried.
    auto key = static_cast<input::KeyCode>(args.integer("key"));
    bool onlyDown = args.flag("down"), onlyUp = args.flag("up");
    auto session = co_await connect(runtime, args, identityFrom(args));
    if (!onlyUp) co_await session->call<serverMessages::Typed>({.identifier = id, .key = key, .down = true});
    if (!onlyDown) co_await session->call<serverMessages::Typed>({.identifier = id, .key = key, .down = false});
  } else {
    throw UsageError("unknown input kind '" + kind + "'");
  }
  std::printf("input %s: answered\n", kind.c_str());
  co_return 0;
}

// Starts a server in this process, listening on loopback TLS without
// advertising, and returns its port.
std::future<std::uint16_t> launchLocalServer(Runtime& runtime) {
  auto port = std::make_shared<std::promise<std::uint16_t>>();
  auto future = port->get_future();
  SessionLoop::Options options;
  options.makeHandler = [] { return std::make_shared<server::ProtocolImplementation>(); };
  options.listening = [port](std::uint16_t p) { port->set_value(p); };
  options.version = protocolVersion();
  options.advertise = false;
  runtime.localServer = std::make_unique<SessionLoop>(runtime.io.get_executor(), std::move(options));
  asio::co_spawn(runtime.io, runtime.localServer->run(), asio::detached);
  return future;
}

asio::awaitable<std::uint16_t> startLocalServer(Runtime& runtime) {
  std::future<std::uint16_t> port = launchLocalServer(runtime);
  asio::steady_timer poll(co_await asio::this_coro::executor);
  while (port.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
    poll.expires_after(std::chrono::milliseconds(2));
    co_await poll.async_wait(asio::use_awaitable);
  }
  std::uint16_t value = port.get();
  if (value == 0) throw std::runtime_error("the in-process server could not listen");
  co_return value;
}

asio::awaitable<int> benchRttCommand(Runtime& runtime, const Arguments& args) {
  std::int64_t count = args.integer("count", 2000);
  if (count < 1) throw UsageError("--count must be at least 1");
  auto executor = co_await asio::this_coro::executor;
  bool inProcess = !args.has("host") && !args.has("port") && !args.flag("discover");
  if (inProcess) {
    std::uint16_t listeningPort = co_await startLocalServer(runtime);
    runtime.session = co_await HeadsetSession::open(executor, "127.0.0.1", listeningPort, Bytes(), identityFrom(args));
  } else {
    co_await connect(runtime, args, identityFrom(args));
  }
  auto session = runtime.session;
  std::int64_t version = protocolVersion();
  // A few untimed round trips first: the first ones pay for allocations.
  for (int i = 0; i < 20; ++i) co_await session->call<serverMessages::VisionOSHandshake>({.version = version});
  std::vector<double> micros;
  micros.reserve(static_cast<std::size_t>(count));
  for (std::int64_t i = 0; i < count; ++i) {
    auto start = Clock::now();
    co_await session->call<serverMessages::VisionOSHandshake>({.version = version});
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  std::vector<double> sorted = micros;
  std::sort(sorted.begin(), sorted.end());
  auto percentile = [&](double p) {
    auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(sorted.size())));
    return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
  };
  double mean = 0;
  for (double value : micros) mean += value / static_cast<double>(micros.size());
  if (args.flag("json")) {
    std::printf("{\"benchmark\":\"rtt\",\"message\":\"visionOSHandshake\",\"transport\":\"%s\",\"count\":%lld,"
                "\"p50_us\":%.1f,\"p99_us\":%.1f,\"mean_us\":%.1f,\"min_us\":%.1f,\"max_us\":%.1f}\n",
                inProcess ? "loopback TLS, in-process server" : "TLS", static_cast<long long>(count), percentile(0.50),
                percentile(0.99), mean, sorted.front(), sorted.back());
  } else {
    std::printf("rtt visionOSHandshake (%s): %lld round trips, p50 %.1f us, p99 %.1f us, mean %.1f us, "
                "min %.1f us, max %.1f us\n",
                inProcess ? "loopback TLS, in-process server" : "TLS", static_cast<long long>(count), percentile(0.50),
                percentile(0.99), mean, sorted.front(), sorted.back());
  }
  co_return 0;
}

asio::awaitable<int> castCommand(Runtime& runtime, const Arguments& args) {
  auto session = co_await connect(runtime, args, identityFrom(args));
  co_return co_await runCast(session, args);
}

asio::awaitable<int> benchCastCommand(Runtime& runtime, const Arguments& args) {
  auto session = co_await connect(runtime, args, identityFrom(args));
  co_return co_await runBenchCast(session, args);
}

asio::awaitable<int> benchInputCommand(Runtime& runtime, const Arguments& args) {
  auto session = co_await connect(runtime, args, identityFrom(args));
  co_return co_await runBenchInput(session, args);
}

int run(int argc, char** argv) {
  Arguments args(argc, argv, {"json", "down", "up", "discover", "help", "no-ack"});
  if (args.flag("help") || args.words().empty()) {
    std::fputs(kUsage, args.flag("help") ? stdout : stderr);
    return args.flag("help") ? 0 : 2;
  }
  const std::string& command = args.words()[0];
  asio::awaitable<int> (*body)(Runtime&, const Arguments&) = nullptr;
  double limit = args.number("timeout", 10) + 5;
  if (command == "discover") {
    body = discoverCommand;
  } else if (command == "handshake") {
    body = handshakeCommand;
  } else if (command == "displays") {
    body = displaysCommand;
  } else if (command == "preview") {
    body = previewCommand;
  } else if (command == "input") {
    body = inputCommand;
  } else if (command == "cast") {
    body = castCommand;
    limit += args.number("seconds", 5);
  } else if (command == "bench" && args.words().size() >= 2 && args.words()[1] == "cast") {
    body = benchCastCommand;
    limit += args.number("seconds", 10) + 5;
  } else if (command == "bench" && args.words().size() >= 2 && args.words()[1] == "input") {
    body = benchInputCommand;
    limit = args.has("timeout") ? limit : 3600;
  } else if (command == "bench" && args.words().size() >= 2 && args.words()[1] == "rtt") {
    body = benchRttCommand;
    limit = args.has("timeout") ? limit : 3600;
  } else {
    throw UsageError("unknown command '" + command + "'");
  }

  Runtime runtime;
  auto result = asio::co_spawn(runtime.io, body(runtime, args), asio::use_future);
  if (result.wait_for(seconds(limit)) != std::future_status::ready) {
    std::fprintf(stderr, "marlinax-peer: timed out\n");
    runtime.shutdown();
    return 1;
  }
  int code = result.get();
  args.checkAllUsed();
  std::fflush(stdout);
  runtime.shutdown();
  return code;
}

}  // namespace
}  // namespace marlinax::peer

int main(int argc, char** argv) {
  try {
    return marlinax::peer::run(argc, argv);
  } catch (const marlinax::peer::UsageError& error) {
    std::fprintf(stderr, "marlinax-peer: %s\n\n%s", error.what(), marlinax::peer::kUsage);
    return 2;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "marlinax-peer: %s\n", error.what());
    return 1;
  }
}
