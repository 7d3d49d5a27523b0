#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace marlinax::messaging {

// The one-byte message identifier shared by both directions. A side tells a
// request from a reply by the identifier alone: an identifier it serves is a
// request, any other is the peer's reply to one of its own requests.
enum class Messages : std::uint8_t {
  visionOSHandshake = 0,
  macOSHandshake = 1,
  displays = 2,
  windowPreview = 3,
  startCasting = 4,
  stopCasting = 5,
  windowFrame = 6,
  windowMask = 7,
  startWatchingForChildWindows = 8,
  stopWatchingForChildWindows = 9,
  childWindows = 10,
  mouseMoved = 11,
  clicked = 12,
  scrollBegan = 13,
  scrollChanged = 14,
  scrollEnded = 15,
  dragBegan = 16,
  dragChanged = 17,
  dragEnded = 18,
  typed = 19,
};

inline constexpr int messageCount = 20;

// The identifier for a wire byte; a byte of 20 or more is no identifier.
constexpr std::optional<Messages> messageFromByte(std::uint8_t byte) {
  if (byte >= messageCount) return std::nullopt;
  return static_cast<Messages>(byte);
}

// True for the three messages the headset serves (sent by the computer).
constexpr bool isClientMessage(Messages message) {
  return message == Messages::macOSHandshake || message == Messages::windowFrame || message == Messages::childWindows;
}

// True for the seventeen messages the computer serves.
constexpr bool isServerMessage(Messages message) { return !isClientMessage(message); }

std::string_view messageName(Messages message);

}  // namespace marlinax::messaging
