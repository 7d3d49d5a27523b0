#include "transport/Tls.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/ssl.h>

#include "transport/TlsContext.h"

namespace marlinax::transport {
namespace {

constexpr char kKeyMessage[] = "BrambleHinge";  // 12 bytes, no terminator on the wire
constexpr char kIdentity[] = "Marlinax";
constexpr char kCipher[] = "PSK-AES128-GCM-SHA256";

// Where each SSL_CTX keeps a pointer to its TlsContext's parameters. asio
// itself uses the context's app data slot, so we take an ex_data index.
int parametersIndex() {
  static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

const TlsParameters* parametersOf(SSL* ssl) {
  return static_cast<const TlsParameters*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), parametersIndex()));
}

unsigned int serverCallback(SSL* ssl, const char* identity, unsigned char* psk, unsigned int maxPskLength) {
  const TlsParameters* parameters = parametersOf(ssl);
  if (parameters == nullptr || identity == nullptr || parameters->identity != identity ||
      maxPskLength < parameters->key.size()) {
    return 0;  // unknown_psk_identity
  }
  std::memcpy(psk, parameters->key.data(), parameters->key.size());
  return static_cast<unsigned int>(parameters->key.size());
}

unsigned int clientCallback(SSL* ssl, const char* /*hint*/, char* identity, unsigned int maxIdentityLength,
                            unsigned char* psk, unsigned int maxPskLength) {
  const TlsParameters* parameters = parametersOf(ssl);
  // maxIdentityLength leaves no room for the terminator we must write.
  if (parameters == nullptr || parameters->identity.size() >= maxIdentityLength ||
      maxPskLength < parameters->key.size()) {
    return 0;
  }
  std::memcpy(identity, parameters->identity.c_str(), parameters->identity.size() + 1);
  std::memcpy(psk, parameters->key.data(), parameters->key.size());
  return static_cast<unsigned int>(parameters->key.size());
}

std::shared_ptr<TlsContext> makeContext(asio::ssl::context::method method, TlsParameters parameters, bool server) {
  auto tls = std::make_shared<TlsContext>(method);
  tls->parameters = std::move(parameters);
  SSL_CTX* ctx = tls->context.native_handle();
  if (SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1 ||
      SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION) != 1 || SSL_CTX_set_cipher_list(ctx, kCipher) != 1 ||
      SSL_CTX_set_ex_data(ctx, parametersIndex(), &tls->parameters) != 1) {
    throw std::runtime_error("cannot configure the TLS context");
  }
  SSL_CTX_set_options(ctx, SSL_OP_NO_TICKET | SSL_OP_NO_RENEGOTIATION | SSL_OP_IGNORE_UNEXPECTED_EOF |
                               SSL_OP_NO_COMPRESSION);
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  if (server) {
    SSL_CTX_set_psk_server_callback(ctx, serverCallback);
  } else {
    SSL_CTX_set_psk_client_callback(ctx, clientCallback);
  }
  return tls;
}

}  // namespace

TlsParameters tlsParameters(ByteView passcode) {
  TlsParameters parameters;
  unsigned int length = 0;
  // HMAC() with a zero-length key must still get a non-null key pointer.
  static const unsigned char kEmpty = 0;
  const unsigned char* key = passcode.empty() ? &kEmpty : passcode.data();
  if (HMAC(EVP_sha256(), key, static_cast<int>(passcode.size()), reinterpret_cast<const unsigned char*>(kKeyMessage),
           std::strlen(kKeyMessage), parameters.key.data(), &length) == nullptr ||
      length != parameters.key.size()) {
    throw std::runtime_error("HMAC-SHA256 failed");
  }
  parameters.identity = kIdentity;
  return parameters;
}

std::shared_ptr<TlsContext> makeServerContext(TlsParameters parameters) {
  return makeContext(asio::ssl::context::tlsv12_server, std::move(parameters), true);
}

std::shared_ptr<TlsContext> makeClientContext(TlsParameters parameters) {
  return makeContext(asio::ssl::context::tlsv12_client, std::move(parameters), false);
}

}  // namespace marlinax::transport
