// DNS-SD end to end with a private avahi-daemon on loopback: the listener's
// advertisement as seen by our browser and by avahi-browse, then a TLS
// connection to the browsed endpoint; the daemon or the bus coming and going.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <sstream>
#include <thread>

#include <asio/experimental/awaitable_operators.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

#include "platform/ComputerName.h"
#include "support/AvahiDaemon.h"
#include "support/IoHarness.h"
#include "transport/Connection.h"
#include "transport/IncomingConnections.h"
#include "transport/ServiceBrowser.h"

namespace marlinax::transport {
namespace {

using marlinax::testing::IoHarness;
using testsupport::AvahiDaemon;
using namespace std::chrono_literals;

constexpr char kType[] = "_marlinax_server._tcp";

struct BrowseRecord {
  std::string interface, protocol, name, type, domain, host, address;
  int port = 0;
};

// avahi-browse escapes a name's dots, backslashes and non-printing bytes as \DDD.
std::string unescape(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size() + 0 && std::isdigit(static_cast<unsigned char>(text[i + 1]))) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 3)));
      i += 3;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::vector<BrowseRecord> avahiBrowse() {
  std::istringstream output(testsupport::commandOutput(std::string("avahi-browse -rtp ") + kType + " 2>/dev/null"));
  std::vector<BrowseRecord> records;
  for (std::string line; std::getline(output, line);) {
    if (!line.starts_with('=')) continue;  // resolved services only
    std::vector<std::string> fields;
    std::istringstream items(line);
    for (std::string field; std::getline(items, field, ';');) fields.push_back(field);
    if (fields.size() < 9) continue;
    records.push_back({fields[1], fields[2], unescape(fields[3]), fields[4], fields[5], fields[6], fields[7],
                       std::atoi(fields[8].c_str())});
  }
  return records;
}

std::optional<BrowseRecord> findRecord(const std::string& name) {
  for (auto& record : avahiBrowse()) {
    if (record.name == name) return record;
  }
  return std::nullopt;
}

// Polls `condition` until it holds or about `seconds` have passed.
bool eventually(const std::function<bool()>& condition, int seconds = 30) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(200ms);
  }
  return condition();
}

// Browses with our own browser until an endpoint of that name shows up.
asio::awaitable<std::optional<ServiceEndpoint>> browseFor(std::string name) {
  using namespace asio::experimental::awaitable_operators;
  auto executor = co_await asio::this_coro::executor;
  ServiceBrowser browser = browse(executor, kType);
  asio::steady_timer deadline(executor, 30s);
  for (;;) {
    auto next = co_await (browser.next() || deadline.async_wait(asio::use_awaitable));
    if (next.index() == 1) co_return std::nullopt;
    auto endpoint = std::get<0>(std::move(next));
    if (!endpoint) co_return std::nullopt;
    if (endpoint->name == name) co_return endpoint;
  }
}

std::string script() { return MARLINAX_AVAHI_ENV_SCRIPT; }

TEST(DnsSd, AdvertisedUnderTheComputerNameOrAnAlternativeBrowsedAndConnected) {
  AvahiDaemon avahi(script());
  IoHarness io;
  auto incoming = incomingConnections(io.executor(), {}, std::nullopt, kType);
  const std::string name = platform::computerName();

  auto endpoint = io.await(browseFor(name));
  ASSERT_TRUE(endpoint) << "our browser did not find \"" << name << "\"";
  EXPECT_EQ(endpoint->host, "127.0.0.1");
  EXPECT_EQ(endpoint->port, incoming.port());

  std::optional<BrowseRecord> record;
  ASSERT_TRUE(eventually([&] { return (record = findRecord(name)).has_value(); }))
      << "avahi-browse did not list \"" << name << "\"";
  EXPECT_EQ(record->type, kType);
  EXPECT_EQ(record->domain, "local");
  EXPECT_EQ(record->port, incoming.port());
  EXPECT_EQ(record->address, "127.0.0.1");
  // A second listener under the same name gets an alternative; the first keeps its name.
  auto twin = incomingConnections(io.executor(), {}, name, kType);
  std::optional<BrowseRecord> alternative;
  ASSERT_TRUE(eventually([&] { return (alternative = findRecord(name + " #2")).has_value(); }));
  EXPECT_EQ(alternative->port, twin.port());
  EXPECT_EQ(findRecord(name).value().port, incoming.port());

  // TLS to the browsed endpoint, the way the headset gets there.
  auto accepting = asio::co_spawn(
      io.io(),
      [](IncomingConnections& incoming) -> asio::awaitable<std::optional<Bytes>> {
        auto connection = co_await incoming.next();
        co_await connection->connect();
        auto message = co_await connection->receive();
        connection->close();
        co_return message;
      }(incoming),
      asio::use_future);
  auto client = io.await(openConnection(io.executor(), endpoint->host, endpoint->port, {}));
  const Bytes hello{'h', 'i'};
  io.await(client.send(hello));
  EXPECT_EQ(IoHarness::get(std::move(accepting)), hello);
  client.close();

  // Terminating the listener withdraws its advertisement.
  incoming.terminate();
  EXPECT_TRUE(eventually([&] { return !findRecord(name).has_value(); })) << "still advertised after terminate()";
}

TEST(DnsSd, ServesWithoutTheBusAndRegistersWhenItAppearsAndAfterARestart) {
  AvahiDaemon avahi(script(), /*start=*/false);  // the bus address points nowhere yet
  IoHarness io;
  auto incoming = incomingConnections(io.executor(), {}, "Late Bus", kType);
  ASSERT_NE(incoming.port(), 0);
  // DNS-SD trouble does not stop the listener.
  auto accepting = asio::co_spawn(
      io.io(),
      [](IncomingConnections& incoming) -> asio::awaitable<void> {
        auto connection = co_await incoming.next();
        co_await connection->connect();
        connection->close();
      }(incoming),
      asio::use_future);
  auto client = io.await(openConnection(io.executor(), "127.0.0.1", incoming.port(), {}));
  IoHarness::get(std::move(accepting));
  client.close();

  avahi.start();
  std::optional<BrowseRecord> record;
  ASSERT_TRUE(eventually([&] { return (record = findRecord("Late Bus")).has_value(); }, 60));
  EXPECT_EQ(record->port, incoming.port());

  // And again after the daemon restarts.
  avahi.stopDaemon();
  avahi.startDaemon();
  record.reset();
  ASSERT_TRUE(eventually([&] { return (record = findRecord("Late Bus")).has_value(); }, 60))
      << "not registered again after the daemon came back";
  EXPECT_EQ(record->port, incoming.port());
}

}  // namespace
}  // namespace marlinax::transport
