// marlinax-hostile-client: scripted misbehaving clients for the server's
// robustness tests and its memory benchmark. It speaks TLS with the key every
// installation shares and the headset's framing, but writes and reads the
// bytes itself, so it can stop reading, stall in the middle of a message or
// announce lengths no headset would.
//
// Every command takes --host H --port P and prints progress lines on standard
// output; "ready" means the attack is in place (the caller may now run a
// genuine headset against the server).

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <asio/connect.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/ssl/stream.hpp>
#include <asio/write.hpp>
#include <sys/socket.h>

#include "codec/Cod.h"
#include "messaging/MessageCatalogue.h"
#include "messaging/ProtocolVersion.h"
#include "messaging/Serializable.h"
#include "peer/Arguments.h"
#include "transport/Framing.h"
#include "transport/Tls.h"
#include "transport/TlsContext.h"

namespace marlinax::hostile {
namespace {

using messaging::Messages;
using Clock = std::chrono::steady_clock;
using asio::ip::tcp;

constexpr const char* kUsage = R"(usage: marlinax-hostile-client COMMAND --host H --port P [options]

  stall-tcp [--connections N] [--half-hello] [--seconds S]
      Open N TCP connections (default 1) and send nothing (or the first half
      of a TLS ClientHello); hold them S seconds (default 60). Prints "ready",
      then "closed K" for each connection the server closes.
  stall-handshake [--connections N] [--seconds S]
      Complete TLS, never answer the computer's handshake request; as above.
  flood --request displays|preview|watch [--count N] [--id ID] [--read] [--stall S]
      Complete the handshake as a headset, then send N requests (default
      100000) without reading (with --read, each batch's replies are read).
      "watch" asks for child windows of invented displays (ID, ID+1, ...).
      Sending stops when no byte could be written for S seconds (default 3).
      Prints "sent K of N", then closes.
  connect-close [--count N]
      N times: open a TCP connection and close it at once (default 2000).
  header --length L [--seconds S]
      Complete the handshake, then send one frame header announcing L bytes
      and no body; report whether the server closed the connection.
)";

void say(const std::string& line) { std::cout << line << std::endl; }

tcp::endpoint endpointOf(const peer::Arguments& arguments) {
  return tcp::endpoint(asio::ip::make_address(arguments.text("host", "127.0.0.1")),
                       static_cast<unsigned short>(arguments.integer("port")));
}

// One TLS connection, blocking, playing the headset's framing.
class Client {
 public:
  Client(asio::io_context& io, const tcp::endpoint& endpoint)
      : context_(transport::makeClientContext(transport::tlsParameters(ByteView()))), stream_(io, context_->context) {
    stream_.lowest_layer().connect(endpoint);
    stream_.handshake(asio::ssl::stream_base::client);
  }

  void sendMessage(Messages identifier, std::uint64_t token, const Bytes& body) {
    Bytes message{static_cast<std::uint8_t>(identifier)};
    codec::appendVarint(message, token);
    message.insert(message.end(), body.begin(), body.end());
    sendRaw(frame(message));
  }

  // The headset writes its headers big-endian.
  static Bytes frame(const Bytes& message) {
    const auto header = transport::encodeFrameHeader(message.size(), transport::HeaderOrder::bigEndian);
    Bytes out(header.begin(), header.end());
    out.insert(out.end(), message.begin(), message.end());
    return out;
  }

  void sendRaw(const Bytes& bytes) { asio::write(stream_, asio::buffer(bytes)); }

  // The next whole message from the computer; nullopt when it closed.
  std::optional<Bytes> receive() {
    std::array<std::uint8_t, transport::kFrameHeaderSize> header{};
    std::error_code error;
    asio::read(stream_, asio::buffer(header), error);
    if (error) return std::nullopt;
    const std::uint64_t length = transport::decodeFrameHeader(header, transport::HeaderOrder::littleEndian);
    if (length > (64u << 20)) throw std::runtime_error("the computer announced an absurd length");
    Bytes body(length);
    asio::read(stream_, asio::buffer(body), error);
    if (error) return std::nullopt;
    return body;
  }

  // Answers the computer's handshake request as a genuine headset would.
  void answerHandshake() {
    while (std::optional<Bytes> message = receive()) {
      if (message->empty() || (*message)[0] != static_cast<std::uint8_t>(Messages::macOSHandshake)) continue;
      std::size_t offset = 1;
      const std::uint64_t token = codec::readVarint(*message, offset);
      messaging::HandshakeReply reply{.version = messaging::protocolVersion(), .name = "Hostile Client"};
      sendMessage(Messages::macOSHandshake, token, messaging::serialize(reply));
      return;
    }
    throw std::runtime_error("the computer closed before its handshake request");
  }

  // True once the computer closed the connection (reads until the end).
  bool waitForClose() {
    while (receive()) {
    }
    return true;
  }

  int fd() { return stream_.lowest_layer().native_handle(); }

 private:
  std::shared_ptr<transport::TlsContext> context_;
  asio::ssl::stream<tcp::socket> stream_;
};

// Watches sockets for the server closing them and prints one line for each.
void reportCloses(std::vector<int> fds, int seconds) {
  const auto deadline = Clock::now() + std::chrono::seconds(seconds);
  std::vector<bool> closed(fds.size(), false);
  while (Clock::now() < deadline) {
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (closed[i]) continue;
      char byte = 0;
      const ssize_t got = ::recv(fds[i], &byte, 1, MSG_DONTWAIT | MSG_PEEK);
      if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
        closed[i] = true;
        say("closed " + std::to_string(i));
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

int stallTcp(const peer::Arguments& arguments) {
  asio::io_context io;
  const auto endpoint = endpointOf(arguments);
  std::vector<tcp::socket> sockets;
  std::vector<int> fds;
  for (std::int64_t i = 0; i < arguments.integer("connections", 1); ++i) {
    tcp::socket& socket = sockets.emplace_back(io);
    socket.connect(endpoint);
    if (arguments.flag("half-hello")) {
      // A TLS record header announcing a 512-byte handshake record, and only
      // the first bytes of it.
      const std::uint8_t half[] = {0x16, 0x03, 0x01, 0x02, 0x00, 0x01, 0x00, 0x01, 0xfc, 0x03, 0x03};
      asio::write(socket, asio::buffer(half));
    }
    fds.push_back(socket.native_handle());
  }
  say("ready");
  reportCloses(fds, static_cast<int>(arguments.integer("seconds", 60)));
  return 0;
}

int stallHandshake(const peer::Arguments& arguments) {
  asio::io_context io;
  const auto endpoint = endpointOf(arguments);
  std::vector<std::unique_ptr<Client>> clients;
  std::vector<int> fds;
  for (std::int64_t i = 0; i < arguments.integer("connections", 1); ++i) {
    clients.push_back(std::make_unique<Client>(io, endpoint));
    fds.push_back(clients.back()->fd());
  }
  say("ready");
  reportCloses(fds, static_cast<int>(arguments.integer("seconds", 60)));
  return 0;
}

int flood(const peer::Arguments& arguments) {
  asio::io_context io;
  Client client(io, endpointOf(arguments));
  client.answerHandshake();
  const std::string kind = arguments.text("request", "displays");
  const std::int64_t count = arguments.integer("count", 100000);
  const auto identifier = static_cast<std::uint32_t>(arguments.integer("id", 1));
  const bool read = arguments.flag("read");
  say("ready");

  // A watchdog ends the writing when it makes no progress: the server has
  // stopped reading and the TCP window is full.
  std::atomic<std::int64_t> sent = 0;
  std::atomic<bool> done = false;
  const auto stall = std::chrono::seconds(arguments.integer("stall", 3));
  std::thread watchdog([&] {
    std::int64_t last = -1;
    auto since = Clock::now();
    while (!done) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      if (sent != last) {
        last = sent;
        since = Clock::now();
      } else if (Clock::now() - since > stall) {
        ::shutdown(client.fd(), SHUT_RDWR);  // fails the blocked write
        return;
      }
    }
  });

  // Requests go out in batches of whole frames, so a blocked write never
  // leaves more than one batch unsent.
  constexpr std::int64_t kBatch = 256;
  try {
    for (std::int64_t first = 0; first < count; first += kBatch) {
      Bytes batch;
      for (std::int64_t i = first; i < std::min(count, first + kBatch); ++i) {
        Bytes body;
        Messages message = Messages::displays;
        if (kind == "preview") {
          message = Messages::windowPreview;
          body = messaging::serialize(messaging::serverMessages::WindowPreview::Request{.identifier = identifier});
        } else if (kind == "watch") {
          message = Messages::startWatchingForChildWindows;
          body = messaging::serialize(messaging::serverMessages::StartWatchingForChildWindows::Request{
              .identifier = identifier + static_cast<std::uint32_t>(i)});
        } else if (kind != "displays") {
          throw std::invalid_argument("unknown request " + kind);
        }
        Bytes packed(1, static_cast<std::uint8_t>(message));
        codec::appendVarint(packed, static_cast<std::uint64_t>(i + 1));
        packed.insert(packed.end(), body.begin(), body.end());
        const Bytes framed = Client::frame(packed);
        batch.insert(batch.end(), framed.begin(), framed.end());
      }
      client.sendRaw(batch);
      const std::int64_t last = std::min(count, first + kBatch);
      if (read) {
        // Every request is answered (a refused one with the empty reply).
        for (std::int64_t i = first; i < last; ++i)
          if (!client.receive()) throw std::system_error(asio::error::eof);
      }
      sent = last;
    }
  } catch (const std::system_error&) {
    // The watchdog cut the connection, or the server closed it.
  }
  say("sent " + std::to_string(sent.load()) + " of " + std::to_string(count));
  done = true;
  ::shutdown(client.fd(), SHUT_RDWR);
  watchdog.join();
  return 0;
}

int connectClose(const peer::Arguments& arguments) {
  asio::io_context io;
  const auto endpoint = endpointOf(arguments);
  const std::int64_t count = arguments.integer("count", 2000);
  std::int64_t refused = 0;
  for (std::int64_t i = 0; i < count; ++i) {
    tcp::socket socket(io);
    std::error_code error;
    socket.connect(endpoint, error);
    if (error) ++refused;
    socket.close(error);
  }
  say("connected and closed " + std::to_string(count - refused) + " of " + std::to_string(count));
  return 0;
}

int header(const peer::Arguments& arguments) {
  asio::io_context io;
  Client client(io, endpointOf(arguments));
  client.answerHandshake();
  const auto length = static_cast<std::uint64_t>(arguments.integer("length"));
  const auto bytes = transport::encodeFrameHeader(length, transport::HeaderOrder::bigEndian);
  client.sendRaw(Bytes(bytes.begin(), bytes.end()));
  say("ready");
  std::atomic<bool> closed = false;
  std::thread reader([&] { closed = client.waitForClose(); });
  const auto deadline = Clock::now() + std::chrono::seconds(arguments.integer("seconds", 20));
  while (!closed && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  say(closed ? "closed by the server" : "still open");
  ::shutdown(client.fd(), SHUT_RDWR);
  reader.join();
  return 0;
}

int run(int argc, char** argv) {
  peer::Arguments arguments(argc, argv, {"half-hello", "read"});
  if (arguments.words().empty()) {
    std::cerr << kUsage;
    return 2;
  }
  const std::string& command = arguments.words()[0];
  if (command == "stall-tcp") return stallTcp(arguments);
  if (command == "stall-handshake") return stallHandshake(arguments);
  if (command == "flood") return flood(arguments);
  if (command == "connect-close") return connectClose(arguments);
  if (command == "header") return header(arguments);
  std::cerr << kUsage;
  return 2;
}

}  // namespace
}  // namespace marlinax::hostile

int main(int argc, char** argv) {
  try {
    return marlinax::hostile::run(argc, argv);
  } catch (const std::exception& error) {
    std::cerr << "marlinax-hostile-client: " << error.what() << std::endl;
    return 1;
  }
}
