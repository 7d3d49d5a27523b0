#include "media/Masks.h"

#include <algorithm>
#include <cstring>

#include <openssl/evp.h>

#include "media/MediaError.h"

namespace marlinax::media {
namespace {

ByteView planeBytes(const std::shared_ptr<const MaskPlane>& plane) {
  if (!plane) return {};
  return plane->bytes;
}

// Equal when the two buffers agree over the length of the shorter one.
bool sameOverShorter(ByteView a, ByteView b) {
  const std::size_t length = std::min(a.size(), b.size());
  return length == 0 || std::memcmp(a.data(), b.data(), length) == 0;
}

}  // namespace

Sha256Digest sha256(ByteView bytes) {
  Sha256Digest digest{};
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1 ||
      length != digest.size())
    throw MediaError("SHA-256 failed");
  return digest;
}

void Masks::process(Fragment& fragment, std::uint32_t identifier) {
  const std::lock_guard lock(mutex_);
  const ByteView incoming = planeBytes(fragment.storage.mask);
  auto found = masks_.find(identifier);
  // The same plane (an opaque display's) is the same mask without a comparison.
  if (found == masks_.end() ||
      (found->second.mask != fragment.storage.mask && !sameOverShorter(planeBytes(found->second.mask), incoming))) {
    Mask entry;
    entry.mask = fragment.storage.mask;
    try {
      entry.hash = sha256(incoming);
    } catch (const MediaError&) {
      entry.hash.reset();
    }
    found = masks_.insert_or_assign(identifier, std::move(entry)).first;
  }
  // A frame decided here keeps its decision: a confirmation arriving later does not
  // reach fragments already processed.
  fragment.skipMask = found->second.acknowledged;
}

bool Masks::acknowledge(ByteView hash, std::uint32_t identifier) {
  const std::lock_guard lock(mutex_);
  const auto found = masks_.find(identifier);
  if (found == masks_.end()) return false;
  Mask& entry = found->second;
  if (entry.hash && hash.size() == entry.hash->size() && std::memcmp(hash.data(), entry.hash->data(), hash.size()) == 0)
    entry.acknowledged = true;
  return true;
}

void Masks::forget(std::uint32_t identifier) {
  const std::lock_guard lock(mutex_);
  masks_.erase(identifier);
}

}  // namespace marlinax::media
