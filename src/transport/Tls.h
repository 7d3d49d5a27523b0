// Pre-shared key material for TLS 1.2 with TLS_PSK_WITH_AES_128_GCM_SHA256.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "codec/Bytes.h"

namespace marlinax::transport {

struct TlsParameters {
  std::array<std::uint8_t, 32> key{};
  std::string identity;
};

// key = HMAC-SHA256 keyed with the pairing code's bytes (zero bytes allowed)
// over the 12 bytes "BrambleHinge"; identity "Marlinax". The server always
// uses the empty pairing code, so its key is the same on every machine.
TlsParameters tlsParameters(ByteView passcode);

}  // namespace marlinax::transport
