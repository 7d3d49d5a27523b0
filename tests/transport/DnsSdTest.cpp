// DNS-SD end to end with a private avahi-daemon on loopback: the listener's
// advertisement as seen by our browser and by avahi-browse, then a TLS
// connection to the browsed endpoint; the daemon or the bus coming and going.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <sstream>
#include <thread>

#include <asio/experimental/awaitable_operators.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

#include "platform/ComputerName.h"
#include "support/AvahiDaemon.h"
#include "support/Eventually.h"
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

// The resolved services avahi-browse lists, name to port. It escapes a name's
// dots, backslashes and non-printing bytes as \DDD.
std::map<std::string, int> advertised() {
  std::istringstream output(testsupport::commandOutput(std::string("avahi-browse -rtp ") + kType + " 2>/dev/null"));
  std::map<std::string, int> services;
  for (std::string line; std::getline(output, line);) {
    std::vector<std::string> fields;
    std::istringstream items(line);
    for (std::string field; std::getline(items, field, ';');) fields.push_back(field);
    if (fields.size() < 9 || fields[0] != "=") continue;
    std::string name;
    for (std::size_t i = 0; i < fields[3].size(); ++i) {
      const bool escaped = fields[3][i] == '\\' && i + 3 < fields[3].size() &&
                           std::isdigit(static_cast<unsigned char>(fields[3][i + 1]));
      name += escaped ? static_cast<char>(std::stoi(fields[3].substr(i + 1, 3))) : fields[3][i];
      if (escaped) i += 3;
    }
    services[name] = std::atoi(fields[8].c_str());
  }
  return services;
}

// Polls avahi-browse until `name` is listed with `port` (0: until it is gone).
bool listedEventually(const std::string& name, int port, int seconds = 30) {
  return testsupport::eventually(
      [&] {
        const auto services = advertised();
        const auto found = services.find(name);
        return port == 0 ? found == services.end() : found != services.end() && found->second == port;
      },
      std::chrono::seconds(seconds), 200ms);
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

// Accepts one connection, brings it up and yields its first message (none: the client closed it).
std::future<std::optional<Bytes>> serveOne(IoHarness& io, IncomingConnections& incoming) {
  return io.start([](IncomingConnections& incoming) -> asio::awaitable<std::optional<Bytes>> {
    auto connection = co_await incoming.next();
    co_await connection->connect();
    auto message = co_await connection->receive();
    connection->close();
    co_return message;
  }(incoming));
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

  ASSERT_TRUE(listedEventually(name, incoming.port())) << "avahi-browse did not list \"" << name << "\"";
  // A second listener under the same name gets an alternative; the first keeps its name.
  auto twin = incomingConnections(io.executor(), {}, name, kType);
  ASSERT_TRUE(listedEventually(name + " #2", twin.port()));
  EXPECT_EQ(advertised().at(name), incoming.port());

  // TLS to the browsed endpoint, the way the headset gets there.
  auto accepting = serveOne(io, incoming);
  auto client = io.await(openConnection(io.executor(), endpoint->host, endpoint->port, {}));
  const Bytes hello{'h', 'i'};
  io.await(client.send(hello));
  EXPECT_EQ(IoHarness::get(std::move(accepting)), hello);
  client.close();

  // Terminating the listener withdraws its advertisement.
  incoming.terminate();
  EXPECT_TRUE(listedEventually(name, 0)) << "still advertised after terminate()";
}

TEST(DnsSd, ServesWithoutTheBusAndRegistersWhenItAppearsAndAfterARestart) {
  AvahiDaemon avahi(script(), /*start=*/false);  // the bus address points nowhere yet
  IoHarness io;
  auto incoming = incomingConnections(io.executor(), {}, "Late Bus", kType);
  ASSERT_NE(incoming.port(), 0);
  // DNS-SD trouble does not stop the listener.
  auto accepting = serveOne(io, incoming);
  auto client = io.await(openConnection(io.executor(), "127.0.0.1", incoming.port(), {}));
  client.close();
  EXPECT_EQ(IoHarness::get(std::move(accepting)), std::nullopt);

  avahi.start();
  ASSERT_TRUE(listedEventually("Late Bus", incoming.port(), 60));
  // And again after the daemon restarts.
  avahi.stopDaemon();
  avahi.startDaemon();
  ASSERT_TRUE(listedEventually("Late Bus", incoming.port(), 60)) << "not registered again after the daemon came back";
}

}  // namespace
}  // namespace marlinax::transport
