#pragma once

// Every message the two sides exchange: each message type names its Request and
// Reply types and its identifier. Cod keys are the field names exactly as
// declared in codingFields().

#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "codec/Bytes.h"
#include "codec/Cod.h"
#include "codec/Rect.h"
#include "input/KeyCode.h"
#include "messaging/Messages.h"
#include "messaging/Serializable.h"

namespace marlinax::messaging {

// One shareable screen area in the display list.
struct Display {
  std::uint32_t identifier = 0;
  std::optional<std::string> title;  // left out of the encoding when absent
  std::string app;
  codec::Rect frame;
  std::int64_t windowLayer = 0;

  static constexpr auto codingFields() {
    return std::make_tuple(codec::field("identifier", &Display::identifier), codec::field("title", &Display::title),
                           codec::field("app", &Display::app), codec::field("frame", &Display::frame),
                           codec::field("windowLayer", &Display::windowLayer));
  }
  friend bool operator==(const Display&, const Display&) = default;
};

// Request records that carry only a display identifier.
#define MARLINAX_IDENTIFIER_RECORD(Name)                                                                               \
  struct Name {                                                                                                        \
    std::uint32_t identifier = 0;                                                                                      \
    static constexpr auto codingFields() { return std::make_tuple(codec::field("identifier", &Name::identifier)); }    \
    friend bool operator==(const Name&, const Name&) = default;                                                        \
  }

// Request records with a display identifier and two coordinates.
#define MARLINAX_POINT_RECORD(Name)                                                                                    \
  struct Name {                                                                                                        \
    std::uint32_t identifier = 0;                                                                                      \
    double x = 0;                                                                                                      \
    double y = 0;                                                                                                      \
    static constexpr auto codingFields() {                                                                             \
      return std::make_tuple(codec::field("identifier", &Name::identifier), codec::field("x", &Name::x),               \
                             codec::field("y", &Name::y));                                                             \
    }                                                                                                                  \
    friend bool operator==(const Name&, const Name&) = default;                                                        \
  }

// Handshake records: both sides use the same shapes.
struct HandshakeRequest {
  std::int64_t version = 0;
  static constexpr auto codingFields() { return std::make_tuple(codec::field("version", &HandshakeRequest::version)); }
  friend bool operator==(const HandshakeRequest&, const HandshakeRequest&) = default;
};

struct HandshakeReply {
  std::int64_t version = 0;
  std::string name;
  static constexpr auto codingFields() {
    return std::make_tuple(codec::field("version", &HandshakeReply::version),
                           codec::field("name", &HandshakeReply::name));
  }
  friend bool operator==(const HandshakeReply&, const HandshakeReply&) = default;
};

// Messages the computer serves and the headset sends.
namespace serverMessages {

struct VisionOSHandshake {
  using Request = HandshakeRequest;
  using Reply = HandshakeReply;
  static constexpr Messages identifier = Messages::visionOSHandshake;
};

struct Windows {
  using Request = SerializableVoid;
  struct Reply {
    std::vector<Display> displays;
    static constexpr auto codingFields() { return std::make_tuple(codec::field("displays", &Reply::displays)); }
    friend bool operator==(const Reply&, const Reply&) = default;
  };
  static constexpr Messages identifier = Messages::displays;
};

struct WindowPreview {
  MARLINAX_IDENTIFIER_RECORD(Request);
  // The fragment's byte form when there is a preview.
  using Reply = std::optional<Bytes>;
  static constexpr Messages identifier = Messages::windowPreview;
};

struct StartCasting {
  MARLINAX_IDENTIFIER_RECORD(Request);
  using Reply = SerializableVoid;
  static constexpr Messages identifier = Messages::startCasting;
};

struct StopCasting {
  MARLINAX_IDENTIFIER_RECORD(Request);
  using Reply = SerializableVoid;
  static constexpr Messages identifier = Messages::stopCasting;
};

struct WindowMask {
  struct Request {
    std::uint32_t identifier = 0;
    Bytes hash;  // SHA-256 digest of the decompressed mask plane
    static constexpr auto codingFields() {
      return std::make_tuple(codec::field("identifier", &Request::identifier), codec::field("hash", &Request::hash));
    }
    friend bool operator==(const Request&, const Request&) = default;
  };
  using Reply = SerializableVoid;
  static constexpr Messages identifier = Messages::windowMask;
};

struct StartWatchingForChildWindows {
  MARLINAX_IDENTIFIER_RECORD(Request);
  using Reply = SerializableVoid;
  static constexpr Messages identifier = Messages::startWatchingForChildWindows;
};

struct StopWatchingForChildWindows {
  MARLINAX_IDENTIFIER_RECORD(Request);
  using Reply = SerializableVoid;
  static constexpr Messages identifier = Messages::stopWatchingForChildWindows;
};

struct MouseMoved {
  MARLINAX_POINT_RECORD(Request);
  using Reply = SerializableVoid;
  static constexpr Messages identifier = Messages::mouseMoved;
};

struct Clicked {
  MARLINAX_POINT_RECORD(Request);
  using Reply = SerializableVoid;
  static constexpr Messages identifier = Messages::clicked;
};

struct ScrollBegan {
  MARLINAX_IDENTIFIER_RECORD(Request);
  using Reply = SerializableVoid;
  static constexpr Messages identifier = Messages::scrollBegan;
};

// x and y are scroll amounts in pixels here, not fractions.
struct ScrollChanged {
  MARLINAX_POINT_RECORD(Request);
  using Reply = SerializableVoid;
  static constexpr Messages identifier = Messages::scrollChanged;
};

struct ScrollEnded {
  MARLINAX_IDENTIFIER_RECORD(Request);
  using Reply = SerializableVoid;
  static constexpr Messages identifier = Messages::scrollEnded;
};

struct DragBegan {
  MARLINAX_POINT_RECORD(Request);
  using Reply = SerializableVoid;
  static constexpr Messages identifier = Messages::dragBegan;
};

struct DragChanged {
  MARLINAX_POINT_RECORD(Request);
  using Reply = SerializableVoid;
  static constexpr Messages identifier = Messages::dragChanged;
};

struct DragEnded {
  MARLINAX_POINT_RECORD(Request);
  using Reply = SerializableVoid;
  static constexpr Messages identifier = Messages::dragEnded;
};

struct Typed {
  struct Request {
    std::uint32_t identifier = 0;
    input::KeyCode key = input::KeyCode::key_A;
    bool down = false;
    static constexpr auto codingFields() {
      return std::make_tuple(codec::field("identifier", &Request::identifier), codec::field("key", &Request::key),
                             codec::field("down", &Request::down));
    }
    friend bool operator==(const Request&, const Request&) = default;
  };
  using Reply = SerializableVoid;
  static constexpr Messages identifier = Messages::typed;
};

}  // namespace serverMessages

// Messages the headset serves and the computer sends.
namespace clientMessages {

struct MacOSHandshake {
  using Request = HandshakeRequest;
  using Reply = HandshakeReply;
  static constexpr Messages identifier = Messages::macOSHandshake;
};

struct ChildWindows {
  struct Request {
    std::uint32_t parent = 0;
    std::vector<std::uint32_t> children;
    static constexpr auto codingFields() {
      return std::make_tuple(codec::field("parent", &Request::parent), codec::field("children", &Request::children));
    }
    friend bool operator==(const Request&, const Request&) = default;
  };
  using Reply = SerializableVoid;
  static constexpr Messages identifier = Messages::childWindows;
};

struct WindowFrame {
  // Not a Cod record: the identifier as a varint, then the fragment's byte form.
  struct Request {
    std::uint32_t identifier = 0;
    Bytes frame;  // the fragment, already serialized
    friend bool operator==(const Request&, const Request&) = default;
  };
  using Reply = SerializableVoid;
  static constexpr Messages identifier = Messages::windowFrame;
};

}  // namespace clientMessages

#undef MARLINAX_IDENTIFIER_RECORD
#undef MARLINAX_POINT_RECORD

template <>
struct Serialization<clientMessages::WindowFrame::Request> {
  static Bytes serialize(const clientMessages::WindowFrame::Request& request) {
    Bytes out;
    out.reserve(request.frame.size() + 5);
    codec::appendVarint(out, request.identifier);
    out.insert(out.end(), request.frame.begin(), request.frame.end());
    return out;
  }
  // Only the headset reads frame requests (the test peer does).
  static clientMessages::WindowFrame::Request deserialize(ByteView data) {
    std::size_t offset = 0;
    std::uint64_t identifier = codec::readVarint(data, offset);
    if (identifier > UINT32_MAX) throw SerializationError("frame request: identifier out of range");
    clientMessages::WindowFrame::Request request;
    request.identifier = static_cast<std::uint32_t>(identifier);
    request.frame.assign(data.begin() + static_cast<std::ptrdiff_t>(offset), data.end());
    return request;
  }
};

}  // namespace marlinax::messaging
