#pragma once

#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include <asio/awaitable.hpp>

#include "messaging/MessageCatalogue.h"
#include "messaging/Multiplexer.h"
#include "messaging/Protocols.h"

namespace marlinax::messaging {

// The computer's handle on the connected headset: the multiplexer that carries
// its requests and the headset's name once the handshake has succeeded. A value;
// copies share the multiplexer.
class Remote : public ClientProtocol {
 public:
  explicit Remote(Multiplexer connection, std::optional<std::string> name = std::nullopt)
      : connection(std::move(connection)), name(std::move(name)) {}

  Multiplexer connection;
  std::optional<std::string> name;

  // Serializes the request (an encoder failure fails before anything is sent),
  // waits for the reply and decodes it; a SerializableVoid reply is not read.
  // The returned task holds its own copy of the multiplexer, so it may outlive
  // this Remote.
  template <class M>
  asio::awaitable<typename M::Reply> call(typename M::Request request) const {
    return callOver<M>(connection, std::move(request));
  }

  template <class M>
  static asio::awaitable<typename M::Reply> callOver(Multiplexer multiplexer, typename M::Request request) {
    Bytes body = serialize(request);
    Bytes reply = co_await multiplexer.sendWithReply(M::identifier, std::move(body));
    if constexpr (std::is_same_v<typename M::Reply, SerializableVoid>)
      co_return SerializableVoid{};
    else
      co_return deserialize<typename M::Reply>(reply);
  }

  asio::awaitable<clientMessages::MacOSHandshake::Reply>
  macOSHandshake(clientMessages::MacOSHandshake::Request request) override {
    return call<clientMessages::MacOSHandshake>(std::move(request));
  }
  asio::awaitable<SerializableVoid> childWindows(clientMessages::ChildWindows::Request request) override {
    return call<clientMessages::ChildWindows>(std::move(request));
  }
  asio::awaitable<SerializableVoid> windowFrame(clientMessages::WindowFrame::Request request) override {
    return call<clientMessages::WindowFrame>(std::move(request));
  }
};

}  // namespace marlinax::messaging
