#include "messaging/SessionLoop.h"

#include <atomic>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include <asio/co_spawn.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "async/RunOn.h"
#include "log/Log.h"
#include "transport/Connection.h"
#include "transport/IncomingConnections.h"

namespace marlinax::messaging {

namespace {

// Logs why a step of the loop failed; the loop itself reports only the outcome.
void logFailure(std::string_view step) {
  std::string reason = "unknown error";
  try {
    throw;
  } catch (const std::exception& error) {
    reason = error.what();
  } catch (...) {
  }
  log::info(std::string(step) + ": " + reason);
}

// Brings TLS up within `timeout`; false (logged) when it fails or runs out of
// time. Running out of time closes the connection, which fails connect().
asio::awaitable<bool> connectWithin(transport::Connection connection, std::chrono::milliseconds timeout) {
  using namespace asio::experimental::awaitable_operators;
  auto connect = [](transport::Connection connection) -> asio::awaitable<bool> {
    try {
      co_await connection.connect();
      co_return true;
    } catch (...) {
      logFailure("TLS handshake failed");
      co_return false;
    }
  };
  asio::steady_timer deadline(co_await asio::this_coro::executor, timeout);
  // Named operands: see suspend() in async/Waiter.h.
  std::function<void()> close = [connection]() mutable { connection.close(); };
  auto connecting = async::interruptible(connect(connection), std::move(close));
  auto expiry = deadline.async_wait(asio::use_awaitable);
  auto outcome = co_await (std::move(connecting) || std::move(expiry));
  co_return outcome.index() == 0 && std::get<0>(outcome);
}

}  // namespace

const char* describe(SessionOutcome outcome) {
  switch (outcome) {
  case SessionOutcome::connected: return "connected";
  case SessionOutcome::listenerEnded: return "the listener ended";
  case SessionOutcome::connectFailed: return "the connection did not come up";
  case SessionOutcome::handshakeFailed: return "the handshake failed";
  case SessionOutcome::versionMismatch: return "the headset has another protocol version";
  }
  return "unknown";
}

struct SessionLoop::State {
  asio::any_io_executor executor;
  Options options;
  std::mutex mutex;
  std::shared_ptr<transport::IncomingConnections> incoming;
  bool stopped = false;

  // Terminating the sequence stops advertising and refuses later connections;
  // connections still queued in it are released unserved.
  void terminate() {
    std::shared_ptr<transport::IncomingConnections> current;
    {
      std::lock_guard lock(mutex);
      stopped = true;
      current = std::move(incoming);
    }
    if (current) current->terminate();
  }
};

SessionLoop::SessionLoop(asio::any_io_executor executor, Options options) : state_(std::make_shared<State>()) {
  state_->executor = std::move(executor);
  state_->options = std::move(options);
}

SessionLoop::~SessionLoop() { state_->terminate(); }

void SessionLoop::stop() { state_->terminate(); }

asio::awaitable<SessionOutcome> SessionLoop::run() {
  auto state = state_;
  const Options& options = state->options;

  std::shared_ptr<transport::IncomingConnections> incoming;
  try {
    // The computer always listens with the empty pairing code.
    incoming = std::make_shared<transport::IncomingConnections>(transport::incomingConnections(
        state->executor, ByteView(), options.serviceName, options.advertise ? serviceType : "", options.port));
  } catch (...) {
    logFailure("listening failed");
    co_return SessionOutcome::listenerEnded;
  }
  {
    std::lock_guard lock(state->mutex);
    state->incoming = incoming;
    if (state->stopped) {
      incoming->terminate();
      co_return SessionOutcome::listenerEnded;
    }
  }
  // A listener that could not be created has no port to tell: its next()
  // below ends the loop.
  if (options.listening && incoming->port() != 0) options.listening(incoming->port());

  // Every way out below ends the loop and terminates the listener.
  struct EndListener {
    std::shared_ptr<State> state;
    ~EndListener() { state->terminate(); }
  } endListener{state};

  std::optional<transport::Connection> accepted;
  try {
    accepted = co_await incoming->next();
  } catch (...) {
    logFailure("accepting a connection failed");
    co_return SessionOutcome::listenerEnded;
  }
  if (!accepted) co_return SessionOutcome::listenerEnded;

  // On a strand: the TLS handshake and its deadline race each other there.
  if (!co_await asio::co_spawn(asio::make_strand(state->executor),
                               connectWithin(*accepted, options.tlsHandshakeTimeout), asio::use_awaitable))
    co_return SessionOutcome::connectFailed;
  std::shared_ptr<SessionHandler> handler = options.makeHandler();
  Remote remote(Multiplexer(state->executor, *accepted, handler));
  handler->setRemote(remote);

  clientMessages::MacOSHandshake::Reply reply;
  try {
    reply = co_await remote.macOSHandshake({.version = options.version});
  } catch (...) {
    logFailure("macOSHandshake failed");
    co_return SessionOutcome::handshakeFailed;
  }
  if (reply.version != options.version) co_return SessionOutcome::versionMismatch;

  remote.name = reply.name;
  if (options.publish) options.publish(remote);
  co_return SessionOutcome::connected;
}

}  // namespace marlinax::messaging
