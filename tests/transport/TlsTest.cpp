// TLS with a pre-shared key over loopback, the framing on a real stream, and
// the listener. Peers are in-process OpenSSL clients.
#include "transport/Tls.h"

#include <gtest/gtest.h>

#include <functional>
#include <numeric>
#include <thread>

#include <asio/co_spawn.hpp>
#include <asio/connect.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/ssl.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include "support/IoHarness.h"
#include "transport/Connection.h"
#include "transport/Framing.h"
#include "transport/IncomingConnections.h"
#include "transport/TlsContext.h"
#include "transport/TransportError.h"

namespace marlinax::transport {
namespace {

using asio::use_awaitable;
using asio::ip::tcp;
using marlinax::testing::IoHarness;
using Stream = asio::ssl::stream<tcp::socket>;

std::string hex(ByteView bytes) {
  std::string out;
  for (auto b : bytes) out += {"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]};
  return out;
}

Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }

Bytes pattern(std::size_t size, std::uint8_t seed) {
  Bytes out(size);
  for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<std::uint8_t>(seed + i * 31 + (i >> 9));
  return out;
}

// The error a call throws; none when it returns.
std::error_code errorOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const std::system_error& e) {
    return e.code();
  }
  return {};
}

// A listener on loopback without advertising.
IncomingConnections listener(IoHarness& io, ByteView passcode = {}) {
  return incomingConnections(io.executor(), passcode, std::nullopt, "");
}

// Accepts one connection and brings it up; yields the connection or the error.
struct Accepted {
  std::optional<Connection> connection;
  std::error_code error;
};
std::future<Accepted> acceptOne(IoHarness& io, IncomingConnections& incoming,
                                std::function<void(Connection&)> beforeConnect = {}) {
  return io.start(
      [](IncomingConnections& incoming, std::function<void(Connection&)> before) -> asio::awaitable<Accepted> {
        auto connection = co_await incoming.next();
        if (!connection) co_return Accepted{std::nullopt, make_error_code(TransportError::closed)};
        if (before) before(*connection);
        std::error_code error;
        try {
          co_await connection->connect();
        } catch (const std::system_error& e) {
          error = e.code();
        }
        co_return Accepted{connection, error};
      }(incoming, std::move(beforeConnect)));
}

// One client brought up with openConnection and the listener's end of it.
std::pair<Connection, Connection> connectedPair(IoHarness& io, IncomingConnections& incoming, ByteView code = {}) {
  auto server = acceptOne(io, incoming);
  auto client = io.await(openConnection(io.executor(), "127.0.0.1", incoming.port(), code));
  auto accepted = IoHarness::get(std::move(server));
  EXPECT_FALSE(accepted.error) << accepted.error.message();
  return {client, accepted.connection.value()};
}

// A raw TLS client made from any OpenSSL context, to play peers that do not
// follow the rules. Throws on handshake failure.
asio::awaitable<std::shared_ptr<Stream>> rawClient(std::shared_ptr<asio::ssl::context> context, std::string address,
                                                   std::uint16_t port) {
  auto stream = std::make_shared<Stream>(co_await asio::this_coro::executor, *context);
  co_await stream->lowest_layer().async_connect(tcp::endpoint(asio::ip::make_address(address), port), use_awaitable);
  co_await stream->async_handshake(asio::ssl::stream_base::client, use_awaitable);
  co_return stream;
}

std::shared_ptr<asio::ssl::context> clientContext(const TlsParameters& parameters = tlsParameters({})) {
  auto tls = makeClientContext(parameters);
  // Keep the TlsContext (and the parameters its callback reads) alive.
  return std::shared_ptr<asio::ssl::context>(tls, &tls->context);
}

TEST(TlsParameters, KeyIsHmacOfTheFixedMessageUnderThePairingCode) {
  EXPECT_EQ(tlsParameters({}).identity, "Marlinax");
  // A code longer than the hash block is hashed first by HMAC.
  Bytes longCode(100);
  std::iota(longCode.begin(), longCode.end(), 0);
  const std::pair<Bytes, const char*> keys[] = {
      {{}, "23664cf0ec5ad4613d41c3d07e0ac95a2c45d1cca85d130247550c50f0643bab"},
      {text("1234"), "bfc503ac8889c269467d6f93f633098a3cf639f076add24f79644e191590d1e9"},
      {longCode, "58ae4eb90bf49d657606ac8091dde7916df68829e1cb8fff0fbe0b7f52c4d970"},
  };
  for (const auto& [code, key] : keys) EXPECT_EQ(hex(tlsParameters(code).key), key) << code.size();
}

// The same pairing code on both sides, whatever it is, lets messages through (a different one
// is a row of HandshakeFailures). The receiving side stops reading while its consumer is behind,
// and every message still arrives, in order, once the consumer catches up.
TEST(Tls, MessagesFlowBothWaysWithTheRightKeyAndASlowConsumerLosesNothing) {
  IoHarness io;
  auto incoming = listener(io, text("4321"));
  ASSERT_NE(incoming.port(), 0);
  auto [client, serverSide] = connectedPair(io, incoming, text("4321"));
  EXPECT_TRUE(serverSide.listening());
  EXPECT_FALSE(client.listening());

  // Empty messages, and one larger than any TLS record or socket buffer.
  const std::vector<Bytes> up = {text("hello"), Bytes()}, down = {Bytes(), text("reply"), pattern(3 << 20, 7)};
  for (const Bytes& message : up) io.await(client.send(message));
  for (const Bytes& message : down) io.await(serverSide.send(message));
  for (const Bytes& expected : up) EXPECT_TRUE(io.await(serverSide.receive()) == expected) << expected.size();
  for (const Bytes& expected : down) EXPECT_TRUE(io.await(client.receive()) == expected) << expected.size();
  constexpr int kMessages = 5000;  // far more than kMaxWaitingMessages
  for (int i = 0; i < kMessages; ++i) io.await(client.send(text("m" + std::to_string(i))));
  for (int i = 0; i < kMessages; ++i) ASSERT_EQ(io.await(serverSide.receive()), text("m" + std::to_string(i)));
  client.close();
  EXPECT_EQ(io.await(serverSide.receive()), std::nullopt);
  serverSide.close();
}

// Each handshake failure ends connect() with an error on both sides and
// leaves the listener and the process able to serve the next client.
TEST(Tls, HandshakeFailures) {
  struct Case {
    const char* name;
    std::function<std::shared_ptr<asio::ssl::context>()> context;
    int clientReason;  // the alert the server sends, as the client's OpenSSL reports it
  };
  const Case cases[] = {
      {"different pairing code", [] { return clientContext(tlsParameters(text("1234"))); },
       SSL_R_SSLV3_ALERT_BAD_RECORD_MAC},
      {"another identity", [] { return clientContext({.key = tlsParameters({}).key, .identity = "Marlinax2"}); },
       SSL_R_TLSV1_ALERT_UNKNOWN_PSK_IDENTITY},
      {"TLS 1.3 only",
       [] {
         auto context = std::make_shared<asio::ssl::context>(asio::ssl::context::tls_client);
         SSL_CTX_set_min_proto_version(context->native_handle(), TLS1_3_VERSION);
         return context;
       },
       SSL_R_TLSV1_ALERT_PROTOCOL_VERSION},
      {"certificate suites only",
       [] {
         auto context = std::make_shared<asio::ssl::context>(asio::ssl::context::tlsv12_client);
         SSL_CTX_set_max_proto_version(context->native_handle(), TLS1_2_VERSION);
         SSL_CTX_set_cipher_list(context->native_handle(),
                                 "ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES128-GCM-SHA256:AES128-GCM-SHA256");
         return context;
       },
       SSL_R_SSLV3_ALERT_HANDSHAKE_FAILURE},
  };
  IoHarness io;
  auto incoming = listener(io);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto server = acceptOne(io, incoming);
    const auto clientError = errorOf([&] { io.await(rawClient(c.context(), "127.0.0.1", incoming.port())); });
    ASSERT_TRUE(clientError) << "handshake succeeded";
    EXPECT_EQ(clientError.category(), asio::error::get_ssl_category());
    EXPECT_EQ(ERR_GET_REASON(static_cast<unsigned long>(clientError.value())), c.clientReason) << clientError.message();
    auto accepted = IoHarness::get(std::move(server));
    EXPECT_TRUE(accepted.error) << "server accepted the handshake";
    // The failed connection's stream has ended with the error as well.
    if (accepted.connection) {
      EXPECT_THROW(io.await(accepted.connection->receive()), std::system_error);
    }
  }
  // Still healthy: a good client gets through.
  connectedPair(io, incoming).first.close();
}

// How the incoming stream ends when the peer goes away, per way of going, and
// when it starts a message and never finishes it (only the deadline ends that);
// whole messages before the end are still delivered.
TEST(Tls, PeerEndings) {
  struct Case {
    const char* name;
    Bytes wire;             // what the peer writes
    bool drop;              // then drops TCP without close_notify, or stays connected
    std::size_t messages;   // whole messages the server gets first
    std::error_code error;  // then: normal end (none) or this failure
  };
  using enum TransportError;
  const Case cases[] = {
      {"closed without close_notify after whole messages", {0, 0, 0, 0, 0, 0, 0, 1, 'x'}, true, 1, {}},
      {"gone mid body", {0, 0, 0, 0, 0, 0, 0, 100, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, true, 0, messageTruncated},
      {"gone mid header", {0, 0, 0, 0, 0, 0, 0, 1, 'x', 0, 0, 0}, true, 1, messageTruncated},
      {"over the limit", {0, 0, 0, 0, 0, 0, 0, 2, 'o', 'k', 0, 0, 0, 0, 0, 0, 4, 1}, true, 1, messageTooLarge},
      {"half a header, silent", {0, 0, 0, 0, 0, 0, 0, 2, 'o', 'k', 0, 0, 0}, false, 1, messageStalled},
      {"body cut, silent", {0, 0, 0, 0, 0, 0, 0, 2, 'o', 'k', 0, 0, 0, 0, 0, 0, 0, 9, 1, 2}, false, 1, messageStalled},
      {"limit, silent", {0, 0, 0, 0, 0, 0, 0, 2, 'o', 'k', 0, 0, 0, 0, 0, 0, 4, 0}, false, 1, messageStalled},
  };
  IoHarness io;
  auto incoming = listener(io);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto server = acceptOne(io, incoming, [drop = c.drop](Connection& connection) {
      connection.setMaximumMessageSize(1024);
      if (!drop) connection.setMessageDeadline(std::chrono::milliseconds(200));
    });
    auto stream = io.await(rawClient(clientContext(), "127.0.0.1", incoming.port()));
    auto accepted = IoHarness::get(std::move(server));
    ASSERT_FALSE(accepted.error);
    io.await([](std::shared_ptr<Stream> stream, Bytes wire, bool drop) -> asio::awaitable<void> {
      co_await asio::async_write(*stream, asio::buffer(wire), use_awaitable);
      if (drop) stream->lowest_layer().close();
    }(stream, c.wire, c.drop));
    for (std::size_t i = 0; i < c.messages; ++i) EXPECT_TRUE(io.await(accepted.connection->receive()).has_value());
    std::optional<Bytes> last;
    const auto error = errorOf([&] { last = io.await(accepted.connection->receive()); });
    EXPECT_EQ(error, c.error) << error.message();
    EXPECT_EQ(last, std::nullopt);
    stream->lowest_layer().close();
  }
}

// A peer that reads nothing at first: the first big write stalls holding the
// turn, and the sends queued behind it never overlap it on the wire. A send
// cancelled while waiting for its turn leaves nothing on the wire; a small
// reply queued behind two frame-sized messages is written before them.
TEST(Tls, WaitingSendsCancelCleanlyAndSmallOnesGoAheadOfLargeOnes) {
  using namespace asio::experimental::awaitable_operators;
  IoHarness io;
  auto incoming = listener(io);
  auto server = acceptOne(io, incoming);
  auto stream = io.await(rawClient(clientContext(), "127.0.0.1", incoming.port()));
  auto accepted = IoHarness::get(std::move(server));
  ASSERT_FALSE(accepted.error);
  Connection serverSide = *accepted.connection;
  std::vector<std::future<void>> sends;
  sends.push_back(io.start(serverSide.send(pattern(40 << 20, 1))));
  // A head start so the big write holds the turn; should the cancelled send
  // still get there first, the wire must simply hold it whole.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const bool cancelled = io.await([](Connection server) -> asio::awaitable<bool> {
    asio::steady_timer timer(co_await asio::this_coro::executor, std::chrono::milliseconds(200));
    Bytes queued(100, 0xEE);
    auto result = co_await (server.send(std::move(queued)) || timer.async_wait(asio::use_awaitable));
    co_return result.index() == 1;
  }(serverSide));
  EXPECT_TRUE(cancelled) << "the big write did not stall";
  const std::vector<Bytes> sent = {pattern(40 << 20, 1), pattern(3 << 20, 2), pattern(3 << 20, 3), text("reply")};
  for (std::size_t i = 1; i < sent.size(); ++i) {
    sends.push_back(io.start(serverSide.send(sent[i])));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // a head start; the order below holds either way
  }
  // Read the raw stream the way the headset does (little-endian headers).
  auto messages =
      io.await([](std::shared_ptr<Stream> stream, std::size_t count) -> asio::awaitable<std::vector<Bytes>> {
        FrameReader reader(kDefaultMaximumMessageSize, HeaderOrder::littleEndian);
        std::vector<Bytes> messages;
        while (messages.size() < count) {
          auto space = reader.prepare();
          std::size_t n = co_await stream->async_read_some(asio::buffer(space.data(), space.size()), use_awaitable);
          reader.commit(n);
          while (auto message = reader.next()) messages.push_back(std::move(*message));
        }
        co_return messages;
      }(stream, cancelled ? 4 : 5));
  auto position = [&](const Bytes& body) {
    return std::find(messages.begin(), messages.end(), body) - messages.begin();
  };
  EXPECT_EQ(position(Bytes(100, 0xEE)) < std::ssize(messages), !cancelled);
  for (const Bytes& body : sent) EXPECT_LT(position(body), std::ssize(messages));
  EXPECT_LT(position(sent[3]), position(sent[1]));
  EXPECT_LT(position(sent[3]), position(sent[2]));
  for (auto& send : sends) ASSERT_TRUE(IoHarness::finishes(send));
  serverSide.close();
}

// Only allowed addresses get to TLS: others are closed first, and the
// client's handshake fails. A connection closed before TLS is up fails its
// connect(). Terminating refuses new connections and ends the sequence.
TEST(Listener, FiltersClosesBeforeTlsAndTerminates) {
  IoHarness io;
  auto incoming = incomingConnections(io.executor(), {}, std::nullopt, "", 0, AddressFilter::parse("::1"));
  const auto port = incoming.port();
  EXPECT_THROW(io.await(openConnection(io.executor(), "127.0.0.1", port, {})), std::system_error);
  auto server = acceptOne(io, incoming);
  auto client = io.await(openConnection(io.executor(), "::1", port, {}));
  auto accepted = IoHarness::get(std::move(server));
  ASSERT_FALSE(accepted.error) << accepted.error.message();
  io.await(client.send(text("ping")));
  EXPECT_EQ(io.await(accepted.connection->receive()), text("ping"));
  client.close();

  tcp::socket silent(io.io());  // a TCP client that never starts TLS
  silent.connect(tcp::endpoint(asio::ip::make_address("::1"), port));
  auto connection = io.await(incoming.next());
  ASSERT_TRUE(connection);
  auto connecting = io.start(connection->connect());
  connection->close();
  EXPECT_EQ(errorOf([&] { IoHarness::get(std::move(connecting)); }), TransportError::closedBeforeReady);
  EXPECT_EQ(io.await(connection->receive()), std::nullopt);
  EXPECT_THROW(io.await(connection->send(Bytes{1})), std::system_error);

  auto waiting = io.start(incoming.next());
  incoming.terminate();
  EXPECT_EQ(IoHarness::get(std::move(waiting)), std::nullopt);
  for (const char* address : {"127.0.0.1", "::1"}) {
    tcp::socket socket(io.io());
    std::error_code error;
    socket.connect(tcp::endpoint(asio::ip::make_address(address), port), error);
    EXPECT_EQ(error, asio::error::connection_refused) << address;
  }
  EXPECT_EQ(io.await(incoming.next()), std::nullopt);
}

}  // namespace
}  // namespace marlinax::transport
