#include "transport/IncomingConnections.h"

#include <mutex>
#include <string>

#include <asio/bind_executor.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ip/v6_only.hpp>
#include <asio/strand.hpp>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "async/Queue.h"
#include "log/Log.h"
#include "platform/ComputerName.h"
#include "transport/ServiceAdvertiser.h"
#include "transport/TlsConnection.h"
#include "transport/TlsContext.h"

namespace marlinax::transport {

class IncomingConnections::State : public std::enable_shared_from_this<State> {
 public:
  State(asio::any_io_executor executor, std::shared_ptr<TlsContext> context, std::optional<AddressFilter> allowed)
      : executor_(std::move(executor)), strand_(asio::make_strand(executor_)), acceptor_(strand_),
        context_(std::move(context)), allowed_(std::move(allowed)) {}

  // Opens the acceptor on `port` (0: the system chooses); on failure the
  // sequence ends with the error.
  bool open(std::uint16_t port) {
    std::error_code error = openOn(asio::ip::tcp::v6(), port);
    if (error) {
      // No IPv6 on this host: IPv4 alone.
      std::error_code ignored;
      acceptor_.close(ignored);
      error = openOn(asio::ip::tcp::v4(), port);
    }
    if (error) {
      log::error("cannot listen on TCP port " + std::to_string(port) + ": " + error.message());
      queue_.finish(error);
      return false;
    }
    port_ = acceptor_.local_endpoint(error).port();
    return true;
  }

  void advertise(std::optional<std::string> name, std::string type) {
    if (type.empty()) {
      return;
    }
    auto advertiser =
        std::make_unique<ServiceAdvertiser>(name ? std::move(*name) : platform::computerName(), std::move(type), port_);
    std::lock_guard lock(mutex_);
    if (!terminated_) {
      advertiser_ = std::move(advertiser);
    }
  }

  void acceptNext() {
    std::lock_guard lock(mutex_);
    if (terminated_) {
      return;
    }
    // Each connection makes a strand of its own for its TLS stream.
    acceptor_.async_accept(
        executor_,
        asio::bind_executor(strand_, [self = shared_from_this()](std::error_code error, asio::ip::tcp::socket socket) {
          self->accepted(error, std::move(socket));
        }));
  }

  void terminate() {
    std::unique_ptr<ServiceAdvertiser> advertiser;
    {
      std::lock_guard lock(mutex_);
      if (terminated_) {
        return;
      }
      terminated_ = true;
      std::error_code ignored;
      acceptor_.close(ignored);
      advertiser = std::move(advertiser_);
    }
    queue_.finish();
    // Destroying the advertiser withdraws the service (outside the lock: it
    // waits for the DNS-SD thread to stop).
  }

  async::Queue<Connection>& queue() { return queue_; }
  std::uint16_t port() const { return port_; }

 private:
  std::error_code openOn(asio::ip::tcp protocol, std::uint16_t port) {
    std::error_code error;
    acceptor_.open(protocol, error);
    if (error) return error;
    if (protocol == asio::ip::tcp::v6()) {
      acceptor_.set_option(asio::ip::v6_only(false), error);
      if (error) return error;
    }
    // A fixed port is taken again at once after a restart, even while the
    // previous run's connections linger in TIME_WAIT.
    acceptor_.set_option(asio::socket_base::reuse_address(true), error);
    if (error) return error;
    acceptor_.bind(asio::ip::tcp::endpoint(protocol, port), error);
    if (error) return error;
    acceptor_.listen(asio::socket_base::max_listen_connections, error);
    return error;
  }

  void accepted(std::error_code error, asio::ip::tcp::socket socket) {
    if (!error) {
      if (admit(socket)) {
        Connection connection = makeTlsConnection(std::move(socket), context_, true);
        connection.setMaximumMessageSize(kIncomingMaximumMessageSize);
        queue_.push(std::move(connection));
      }
      acceptNext();
      return;
    }
    {
      std::lock_guard lock(mutex_);
      if (terminated_) {
        return;
      }
    }
    if (error == asio::error::connection_aborted || error == asio::error::connection_reset) {
      acceptNext();  // the client gave up before we took it: not a listener failure
      return;
    }
    log::error("listener failed: " + error.message());
    queue_.finish(error);
    terminate();
  }

  // False closes the socket: its peer is outside the allowed addresses. A
  // kept socket gets TCP keepalive: 10 s idle, then 3 probes 5 s apart.
  bool admit(asio::ip::tcp::socket& socket) {
    std::error_code error;
    const auto peer = socket.remote_endpoint(error);
    if (error) {
      return false;  // already gone
    }
    if (allowed_ && !allowed_->allows(peer.address())) {
      // A dual-stack listener sees IPv4 peers as ::ffff:a.b.c.d; name them as users know them.
      const asio::ip::address shown =
          peer.address().is_v6() && peer.address().to_v6().is_v4_mapped()
              ? asio::ip::address(asio::ip::make_address_v4(asio::ip::v4_mapped, peer.address().to_v6()))
              : peer.address();
      log::info("Refused a connection from " + shown.to_string() + ": outside the allowed addresses.");
      socket.close(error);
      return false;
    }
    socket.set_option(asio::socket_base::keep_alive(true), error);
    const int native = socket.native_handle();
    const int idle = 10, interval = 5, count = 3;
    ::setsockopt(native, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(native, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(native, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    return true;
  }

  asio::any_io_executor executor_;
  asio::any_io_executor strand_;
  std::mutex mutex_;  // guards acceptor_ use across threads, terminated_, advertiser_
  asio::ip::tcp::acceptor acceptor_;
  std::shared_ptr<TlsContext> context_;
  std::optional<AddressFilter> allowed_;
  async::Queue<Connection> queue_;
  std::uint16_t port_ = 0;
  bool terminated_ = false;
  std::unique_ptr<ServiceAdvertiser> advertiser_;
};

IncomingConnections::IncomingConnections(std::shared_ptr<State> state) : state_(std::move(state)) {}
IncomingConnections::IncomingConnections(IncomingConnections&&) noexcept = default;

IncomingConnections& IncomingConnections::operator=(IncomingConnections&& other) noexcept {
  if (this != &other) {
    terminate();
    state_ = std::move(other.state_);
  }
  return *this;
}

IncomingConnections::~IncomingConnections() { terminate(); }

asio::awaitable<std::optional<Connection>> IncomingConnections::next() {
  auto state = state_;
  co_return co_await state->queue().next();
}

std::uint16_t IncomingConnections::port() const { return state_->port(); }

void IncomingConnections::terminate() {
  if (state_) {
    state_->terminate();
  }
}

IncomingConnections incomingConnections(asio::any_io_executor executor, ByteView passcode,
                                        std::optional<std::string> name, std::string type, std::uint16_t port,
                                        std::optional<AddressFilter> allowed) {
  auto state = std::make_shared<IncomingConnections::State>(
      std::move(executor), makeServerContext(tlsParameters(passcode)), std::move(allowed));
  if (state->open(port)) {
    state->advertise(std::move(name), std::move(type));
    state->acceptNext();
  }
  return IncomingConnections(std::move(state));
}

}  // namespace marlinax::transport
