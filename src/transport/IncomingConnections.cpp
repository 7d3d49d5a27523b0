#include "transport/IncomingConnections.h"

#include "platform/ComputerName.h"
#include "transport/AsyncQueue.h"
#include "transport/ServiceAdvertiser.h"
#include "transport/TlsConnection.h"
#include "transport/TlsContext.h"

#include <asio/bind_executor.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ip/v6_only.hpp>
#include <asio/strand.hpp>

#include <iostream>
#include <mutex>

namespace marlinax::transport {

class IncomingConnections::State : public std::enable_shared_from_this<State> {
public:
  State(asio::any_io_executor executor, std::shared_ptr<TlsContext> context)
      : executor_(std::move(executor)),
        strand_(asio::make_strand(executor_)),
        acceptor_(strand_),
        context_(std::move(context)) {}

  // Opens the acceptor; on failure the sequence ends with the error.
  bool open(std::uint16_t port) {
    std::error_code error = openOn(asio::ip::tcp::v6(), port);
    if (error) {
      // No IPv6 on this host: IPv4 alone.
      std::error_code ignored;
      acceptor_.close(ignored);
      error = openOn(asio::ip::tcp::v4(), port);
    }
    if (error) {
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
    auto advertiser = std::make_unique<ServiceAdvertiser>(
        name ? std::move(*name) : platform::computerName(), std::move(type), port_);
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
        asio::bind_executor(strand_, [self = shared_from_this()](std::error_code error,
                                                                 asio::ip::tcp::socket socket) {
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

  AsyncQueue<Connection>& queue() { return queue_; }
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
      queue_.push(makeTlsConnection(std::move(socket), context_, true));
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
    std::cout << "listener failed: " << error.message() << std::endl;
    queue_.finish(error);
    terminate();
  }

  asio::any_io_executor executor_;
  asio::any_io_executor strand_;
  std::mutex mutex_;  // guards acceptor_ use across threads, terminated_, advertiser_
  asio::ip::tcp::acceptor acceptor_;
  std::shared_ptr<TlsContext> context_;
  AsyncQueue<Connection> queue_;
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
                                        std::optional<std::string> name, std::string type,
                                        std::uint16_t port) {
  auto state = std::make_shared<IncomingConnections::State>(
      std::move(executor), makeServerContext(tlsParameters(passcode)));
  if (state->open(port)) {
    state->advertise(std::move(name), std::move(type));
    state->acceptNext();
  }
  return IncomingConnections(std::move(state));
}

}  // namespace marlinax::transport
