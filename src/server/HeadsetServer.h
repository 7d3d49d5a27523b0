#pragma once

// The computer's service to headsets, start to stop: listens and advertises,
// brings connections up, performs the handshake, serves the headset with a
// ProtocolImplementation. Both programs run it: marlinax-server (headless)
// and marlinax (the window).
//
// One headset is served at a time, and the listener stays open meanwhile. Up
// to 8 connections go through TLS and the handshake reply together, each
// within 10 s; the first to complete is served and the others are closed. A
// headset completing the handshake while another is served replaces it (the
// old connection's casting stops and it is closed).
//
// It runs its own network threads and CPU pool; the events below are called
// on those threads, never on the caller's, so a window hands them over to its
// GUI thread itself.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "server/ProtocolImplementation.h"
#include "transport/AddressFilter.h"

namespace marlinax::server {

struct HeadsetServerEvents {
  // The listener is up on this TCP port: at start, after the listener had to
  // be made again, and whenever the served headset has left.
  std::function<void(std::uint16_t port)> listening;
  // A headset completed the handshake. `headsetVersion` is the protocol
  // version its reply carried; it may differ from `ourVersion`, in which case
  // the connection is still served (the headset decides what to do).
  std::function<void(const std::string& name, std::int64_t headsetVersion, std::int64_t ourVersion)> connected;
  // The served headset's connection ended; its capture streams were stopped.
  std::function<void(std::size_t stoppedStreams)> disconnected;
  // A connection failed before it was served (TLS, handshake): one line why.
  std::function<void(const std::string& reason)> sessionFailed;
};

struct HeadsetServerOptions {
  // 0: the system chooses.
  std::uint16_t port = 0;
  // The advertised service name; none means the computer's name.
  std::optional<std::string> serviceName;
  // False listens without advertising (tests that know the port).
  bool advertise = true;
  // Peers allowed to connect; none means the local network
  // (transport::AddressFilter::localNetwork()).
  std::optional<transport::AddressFilter> allowFrom;
};

class HeadsetServer {
 public:
  HeadsetServer(Services services, HeadsetServerOptions options, HeadsetServerEvents events);
  ~HeadsetServer();  // stops
  HeadsetServer(const HeadsetServer&) = delete;
  HeadsetServer& operator=(const HeadsetServer&) = delete;

  // Starts serving on threads of its own; returns at once.
  void start();
  // Ends every connection (capture stops, the headset sees the connection
  // end), stops listening and joins the threads. Idempotent; safe from any
  // thread except the event callbacks'.
  void stop();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace marlinax::server
