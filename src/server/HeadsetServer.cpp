#include "server/HeadsetServer.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/ssl/error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <asio/this_coro.hpp>
#include <asio/thread_pool.hpp>
#include <asio/use_awaitable.hpp>
#include <malloc.h>

#include "async/RunOn.h"
#include "async/Semaphore.h"
#include "log/Log.h"
#include "messaging/ProtocolVersion.h"
#include "messaging/Remote.h"
#include "messaging/SessionLoop.h"
#include "transport/IncomingConnections.h"

namespace marlinax::server {

namespace {

// Connections going through TLS and the handshake at the same time. One more
// evicts the oldest, so a handful of stalled clients cannot fill the table
// for long: each holds its socket for at most the deadline below.
constexpr std::size_t kMaxPendingConnections = 8;
// TLS and the headset's handshake reply together must fit in this time.
constexpr std::chrono::seconds kHandshakeDeadline{10};

}  // namespace

// One accepted connection, from TLS to its end.
struct Link {
  std::uint64_t id = 0;
  transport::Connection connection;
  std::mutex mutex;  // guards handler and multiplexer
  std::shared_ptr<ProtocolImplementation> handler;
  std::optional<messaging::Multiplexer> multiplexer;
  // Closed by the server on purpose (evicted, superseded, stopping): its end
  // is not reported as a failure.
  std::atomic<bool> dropped = false;
  // Became the served headset at some point: its end is a disconnection.
  // Both are guarded by the server's mutex: a headset that answers the
  // handshake and leaves at once can end its connection before it is
  // promoted, and the promotion then reports the end itself.
  bool served = false;
  bool endedUnserved = false;

  void close() {
    dropped = true;
    std::shared_ptr<ProtocolImplementation> current;
    {
      std::lock_guard lock(mutex);
      current = handler;
    }
    if (current) current->endConnection();
    connection.close();
  }
};

struct Core : std::enable_shared_from_this<Core> {
  Services base;
  HeadsetServerOptions options;
  HeadsetServerEvents events;
  std::int64_t version = 0;

  // The network threads' executor; the handle owns the context.
  asio::any_io_executor executor;

  std::mutex mutex;
  bool started = false;
  bool stopping = false;
  std::uint16_t port = 0;
  std::shared_ptr<transport::IncomingConnections> incoming;
  std::map<std::uint64_t, std::shared_ptr<Link>> pending;  // by id: oldest first
  std::shared_ptr<Link> served;
  std::uint64_t nextId = 1;

  bool isStopping() {
    std::lock_guard lock(mutex);
    return stopping;
  }

  asio::awaitable<void> acceptLoop() {
    auto self = shared_from_this();  // the loop's own reference
    while (!isStopping()) {
      std::shared_ptr<transport::IncomingConnections> listener;
      try {
        // The computer always listens with the empty pairing code.
        listener = std::make_shared<transport::IncomingConnections>(transport::incomingConnections(
            executor, ByteView(), options.serviceName, options.advertise ? messaging::SessionLoop::serviceType : "",
            options.port, options.allowFrom ? *options.allowFrom : transport::AddressFilter::localNetwork()));
      } catch (const std::exception& error) {
        log::error(std::string("Cannot listen: ") + error.what());
      }
      bool listeningNow = false;
      if (listener && listener->port() != 0) {
        std::lock_guard lock(mutex);
        if (stopping) {
          listener->terminate();
          co_return;
        }
        incoming = listener;
        port = listener->port();
        listeningNow = true;
      }
      if (listeningNow) {
        if (events.listening) events.listening(listener->port());
        try {
          while (std::optional<transport::Connection> accepted = co_await listener->next()) admit(std::move(*accepted));
        } catch (const std::exception& error) {
          log::error(std::string("The listener failed: ") + error.what());
        }
      } else if (listener) {
        try {
          co_await listener->next();  // throws the reason the listener could not be created
        } catch (const std::exception& error) {
          log::error(std::string("Cannot listen: ") + error.what());
        }
      }
      if (isStopping()) co_return;
      // Listen again a little later rather than spin.
      asio::steady_timer pause(executor, std::chrono::seconds(1));
      co_await pause.async_wait(asio::use_awaitable);
    }
  }

  void admit(transport::Connection connection) {
    auto link = std::make_shared<Link>();
    link->connection = std::move(connection);
    std::shared_ptr<Link> evicted;
    {
      std::lock_guard lock(mutex);
      if (stopping) {
        link->connection.close();
        return;
      }
      link->id = nextId++;
      if (pending.size() >= kMaxPendingConnections) {
        evicted = pending.begin()->second;
        pending.erase(pending.begin());
      }
      pending.emplace(link->id, link);
    }
    if (evicted) {
      log::debug("Too many connections in their handshake: the oldest is closed.");
      evicted->close();
    }
    // On a strand: the handshake and its deadline race each other there.
    asio::co_spawn(asio::make_strand(executor), handshake(shared_from_this(), link), asio::detached);
  }

  // Brings one connection through TLS and the headset's handshake reply
  // within the deadline; the first to get there is served. Running out of
  // time closes the connection, which ends whichever step stalls.
  static asio::awaitable<void> handshake(std::shared_ptr<Core> self, std::shared_ptr<Link> link) {
    using namespace asio::experimental::awaitable_operators;
    asio::steady_timer deadline(co_await asio::this_coro::executor, kHandshakeDeadline);
    // Named operands: see suspend() in async/Waiter.h.
    std::function<void()> close = [link] { link->connection.close(); };
    auto handshaking = async::interruptible(bringUp(self, link), std::move(close));
    auto expiry = deadline.async_wait(asio::use_awaitable);
    auto outcome = co_await (std::move(handshaking) || std::move(expiry));
    if (outcome.index() == 1) {
      bool tlsUp = false;
      {
        std::lock_guard lock(link->mutex);
        tlsUp = link->handler != nullptr;
      }
      self->failed(link, tlsUp ? "the headset did not answer the handshake in time"
                               : "the connection did not come up in time");
      co_return;
    }
    Handshaken& result = std::get<0>(outcome);
    if (!result.reply) {
      self->failed(link, result.failure);
      co_return;
    }
    self->promote(link, result.reply->name, result.reply->version);
  }

  // The handshake's outcome: the headset's reply, or why there is none (empty:
  // not worth reporting).
  struct Handshaken {
    std::optional<messaging::clientMessages::MacOSHandshake::Reply> reply;
    std::string failure;
  };

  static asio::awaitable<Handshaken> bringUp(std::shared_ptr<Core> self, std::shared_ptr<Link> link) {
    try {
      co_await link->connection.connect();
    } catch (const std::system_error& error) {
      const std::error_code code = error.code();
      if (code == asio::error::eof || code == asio::ssl::error::stream_truncated ||
          code == asio::error::connection_reset) {
        // Gone before saying anything (a port probe, a client giving up): not
        // worth a line of its own.
        log::debug("A connection closed before TLS: " + code.message());
        co_return Handshaken{};
      }
      co_return Handshaken{std::nullopt, "the connection did not come up (" + code.message() + ")"};
    } catch (const std::exception& error) {
      co_return Handshaken{std::nullopt, std::string("the connection did not come up (") + error.what() + ")"};
    }

    Services services = self->base;
    std::weak_ptr<Core> weakSelf = self;
    std::weak_ptr<Link> weakLink = link;
    services.connectionEnded = [weakSelf, weakLink](std::size_t stopped) {
      auto state = weakSelf.lock();
      auto ended = weakLink.lock();
      if (state && ended) state->connectionEnded(ended, stopped);
    };
    auto handler = std::make_shared<ProtocolImplementation>(services);
    messaging::Multiplexer multiplexer(self->executor, link->connection, handler);
    {
      std::lock_guard lock(link->mutex);
      link->handler = handler;
      link->multiplexer = multiplexer;
    }
    messaging::Remote remote(multiplexer);
    handler->setRemote(remote);
    if (link->dropped) {
      // Closed while TLS completed: the handler has to stop too.
      handler->endConnection();
      co_return Handshaken{};
    }
    try {
      auto reply = co_await remote.macOSHandshake({.version = self->version});
      remote.name = reply.name;
      co_return Handshaken{std::move(reply), ""};
    } catch (const std::exception& error) {
      log::debug(std::string("The handshake failed: ") + error.what());
      co_return Handshaken{std::nullopt, "the handshake failed"};
    }
  }

  void failed(const std::shared_ptr<Link>& link, const std::string& reason) {
    {
      std::lock_guard lock(mutex);
      pending.erase(link->id);
    }
    const bool report = !link->dropped && !isStopping();
    link->close();
    if (report && !reason.empty() && events.sessionFailed) events.sessionFailed(reason);
  }

  // The connection completed the handshake: it is served from now on, an
  // earlier served connection is ended, and the other handshakes are closed.
  void promote(const std::shared_ptr<Link>& link, const std::string& name, std::int64_t headsetVersion) {
    std::shared_ptr<Link> replaced;
    std::vector<std::shared_ptr<Link>> others;
    bool endedAlready = false;
    {
      std::lock_guard lock(mutex);
      if (stopping || link->dropped || pending.erase(link->id) == 0) return;
      for (auto& [id, other] : pending) others.push_back(other);
      pending.clear();
      replaced = std::exchange(served, link);
      link->served = true;
      endedAlready = link->endedUnserved;
    }
    for (auto& other : others) other->close();
    if (replaced) {
      log::info("A headset completed the handshake: the connection served until now is closed.");
      replaced->close();  // reports its disconnection
    }
    if (events.connected) events.connected(name, headsetVersion, version);
    if (endedAlready) connectionEnded(link, 0);  // it left right after answering
  }

  void connectionEnded(const std::shared_ptr<Link>& link, std::size_t stopped) {
    bool listenAgain = false;
    std::uint16_t listeningOn = 0;
    {
      std::lock_guard lock(mutex);
      if (!link->served) {
        link->endedUnserved = true;  // promote() reports it, if it comes
        return;
      }
      if (stopping) return;
      if (served == link) {
        served.reset();
        listenAgain = incoming != nullptr;
        listeningOn = port;
      }
    }
    // The ended connection may still be closing on its strand.
    link->connection.close();
    logCosts(*link);
    if (events.disconnected) events.disconnected(stopped);
    // Give the memory of the session's buffers and frames back to the system.
    malloc_trim(0);
    if (listenAgain && events.listening) events.listening(listeningOn);
  }

  // One line per served connection: what it made the server hold at most.
  static void logCosts(Link& link) {
    std::optional<messaging::Multiplexer> multiplexer;
    std::shared_ptr<ProtocolImplementation> handler;
    {
      std::lock_guard lock(link.mutex);
      multiplexer = link.multiplexer;
      handler = link.handler;
    }
    if (!multiplexer || !handler) return;
    const messaging::Multiplexer::Stats stats = multiplexer->stats();
    log::info("Connection ended: " + std::to_string(stats.messagesReceived) + " messages received, at most " +
              std::to_string(stats.requestsInProgressPeak) + " requests in progress (bound " +
              std::to_string(stats.limits.requestsInProgress) + "), at most " +
              std::to_string(stats.queuedReplyBytesPeak) + " reply bytes queued (bound " +
              std::to_string(stats.limits.queuedReplyBytes) + "), " + std::to_string(stats.failedSends) +
              " sends failed, " + std::to_string(handler->childWatchersRefused()) + " child-window watchers refused.");
  }

  void stopAll() {
    std::shared_ptr<transport::IncomingConnections> listener;
    std::vector<std::shared_ptr<Link>> links;
    {
      std::lock_guard lock(mutex);
      if (stopping) return;
      stopping = true;
      listener = std::move(incoming);
      for (auto& [id, link] : pending) links.push_back(link);
      pending.clear();
      if (served) links.push_back(std::move(served));
    }
    if (listener) listener->terminate();
    // Stops the capture threads before the process goes, and lets the headset
    // see the connection end.
    for (auto& link : links) link->close();
  }
};

// The handle owns the threads and the contexts; the core is shared with the
// coroutines and callbacks, which may outlive a call into it. Destroying the
// context destroys the coroutines still suspended in it, and with them their
// references to the core.
struct HeadsetServer::State {
  asio::io_context io;
  // JPEG, alpha, LZ4 and SHA-256 work runs here, never on the network threads.
  asio::thread_pool cpu{std::max(1u, std::thread::hardware_concurrency())};
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work;
  std::vector<std::thread> threads;
  // Network threads still running, and their signal when one returns.
  std::mutex runningMutex;
  std::condition_variable runningChanged;
  int running = 0;
  std::shared_ptr<Core> core = std::make_shared<Core>();
};

// How long stop() lets the closed connections wind down (their read loops,
// failed requests and handshakes finish, which frees them) before it stops
// the network threads where they are.
constexpr std::chrono::seconds kWindDown{2};

HeadsetServer::HeadsetServer(Services services, HeadsetServerOptions options, HeadsetServerEvents events)
    : state_(std::make_unique<State>()) {
  Core& core = *state_->core;
  // Fail at construction, not at the first handshake, on a bad build number.
  core.version = services.version ? *services.version : messaging::protocolVersion();
  core.base = std::move(services);
  core.options = std::move(options);
  core.events = std::move(events);
  core.executor = state_->io.get_executor();
  if (!core.base.frameExecutor) core.base.frameExecutor = state_->cpu.get_executor();
  // At most two previews at once, whoever asks.
  if (!core.base.previewSlots) core.base.previewSlots = std::make_shared<async::Semaphore>(2);
}

HeadsetServer::~HeadsetServer() { stop(); }

void HeadsetServer::start() {
  Core& core = *state_->core;
  {
    std::lock_guard lock(core.mutex);
    if (core.started || core.stopping) return;
    core.started = true;
  }
  state_->work.emplace(state_->io.get_executor());
  asio::co_spawn(state_->io, core.acceptLoop(), asio::detached);
  state_->running = 2;
  for (int i = 0; i < 2; ++i)
    state_->threads.emplace_back([state = state_.get()] {
      state->io.run();
      std::lock_guard lock(state->runningMutex);
      --state->running;
      state->runningChanged.notify_all();
    });
}

void HeadsetServer::stop() {
  state_->core->stopAll();
  state_->work.reset();
  // Every connection is closed: once their tasks have ended the threads return
  // by themselves. A backlog is not waited for beyond the wind-down time.
  {
    std::unique_lock lock(state_->runningMutex);
    state_->runningChanged.wait_for(lock, kWindDown, [this] { return state_->running == 0; });
  }
  state_->io.stop();
  for (auto& thread : state_->threads)
    if (thread.joinable()) thread.join();
  state_->threads.clear();
  // Frames still waiting for a reply would keep the pool busy forever.
  state_->cpu.stop();
  state_->cpu.join();
}

}  // namespace marlinax::server
