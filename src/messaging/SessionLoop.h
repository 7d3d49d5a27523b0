#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>

#include "messaging/Protocols.h"
#include "messaging/Remote.h"

namespace marlinax::messaging {

// The local handler of an accepted connection, which may also call the headset.
class SessionHandler : public MessageProtocol {
 public:
  // Called once, right after the multiplexer has started reading. A request
  // handled before that sees no remote.
  virtual void setRemote(Remote remote) = 0;
};

// How one run of the session loop ended.
enum class SessionOutcome {
  connected,        // the handshake matched and the remote was published
  listenerEnded,    // the listener ended or failed before any connection came
  connectFailed,    // the first connection did not come up (TLS failed)
  handshakeFailed,  // the handshake request failed or its reply did not decode
  versionMismatch,  // the headset answered with another version
};

const char* describe(SessionOutcome outcome);

// Advertises the service, serves the first connection that comes up and
// performs the computer's side of the handshake. The loop handles only the
// first accepted connection: whatever becomes of it, the loop then ends and
// terminates the listener (advertising stops and later connections are
// refused). A connection whose handshake failed or mismatched is not closed:
// its multiplexer keeps serving the peer.
class SessionLoop {
 public:
  static constexpr const char* serviceType = "_marlinax_server._tcp";

  struct Options {
    // Makes the handler for the accepted connection.
    std::function<std::shared_ptr<SessionHandler>()> makeHandler;
    // Receives the connected remote, with the headset's name, once.
    std::function<void(Remote)> publish;
    // Told the listener's TCP port as soon as it listens (optional).
    std::function<void(std::uint16_t)> listening;
    // The version sent and expected back.
    std::int64_t version = 0;
    // The advertised service name; none means the computer's name.
    std::optional<std::string> serviceName;
    // The TCP port to listen on; 0 lets the system choose.
    std::uint16_t port = 0;
    // False listens without advertising (tools and tests that know the port).
    bool advertise = true;
    // A connection whose TLS handshake has not completed within this time is
    // closed and the loop ends (connectFailed): a client that opens TCP and
    // never starts TLS must not keep every real headset waiting.
    std::chrono::milliseconds tlsHandshakeTimeout{10'000};
  };

  SessionLoop(asio::any_io_executor executor, Options options);
  ~SessionLoop();
  SessionLoop(const SessionLoop&) = delete;
  SessionLoop& operator=(const SessionLoop&) = delete;

  // Runs the loop once, to its end. The pairing code is empty.
  asio::awaitable<SessionOutcome> run();

  // Ends the loop early (for shutdown): the listener is terminated, so a wait
  // for the first connection ends. Safe from any thread, before or during run().
  void stop();

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace marlinax::messaging
