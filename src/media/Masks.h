#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "codec/Bytes.h"
#include "media/Fragment.h"

namespace marlinax::media {

// Per display, the last mask sent to the headset, its SHA-256 digest and whether the
// headset confirmed it. Once confirmed, frames with the same mask leave it out; a
// changed mask travels with every frame until the headset confirms the new one.
// One per headset; every operation runs alone (an actor over one mutex).
class Masks {
 public:
  // Decides whether the fragment's mask travels: compares it with the stored mask over
  // the shorter of the two buffers; a different (or first) mask replaces the entry,
  // unconfirmed. Sets the fragment's skipMask only when the stored entry is confirmed.
  // Never fails.
  void process(Fragment& fragment, std::uint32_t identifier);

  // The headset confirms a mask by sending back its 32-byte SHA-256 digest. Marks the
  // display's entry confirmed when the digest matches it exactly; any other digest (an
  // older mask's, a wrong or short one) changes nothing. Returns whether the display
  // had an entry; a confirmation for a display without one creates nothing.
  bool acknowledge(ByteView hash, std::uint32_t identifier);

  // Drops the display's entry (casting stopped): its next frame carries the mask again.
  void forget(std::uint32_t identifier);

 private:
  struct Mask {
    std::shared_ptr<const MaskPlane> mask;
    // Empty only if hashing failed: then no confirmation can match and the mask keeps
    // travelling, which is always safe.
    std::optional<Sha256Digest> hash;
    bool acknowledged = false;
  };

  std::mutex mutex_;
  std::unordered_map<std::uint32_t, Mask> masks_;
};

// SHA-256 of the bytes (OpenSSL). Throws MediaError only if OpenSSL itself fails.
Sha256Digest sha256(ByteView bytes);

}  // namespace marlinax::media
