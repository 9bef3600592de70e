#include "platform/Hmac.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <memory>

#include "platform/OpenSslError.h"

namespace orvel {
namespace {

struct MacContextFree {
  void operator()(EVP_MAC_CTX* context) const { EVP_MAC_CTX_free(context); }
};
using MacContext = std::unique_ptr<EVP_MAC_CTX, MacContextFree>;

// A context with the digest already chosen; each call duplicates it, which
// spares the per-call lookup of the MAC and of its digest.
const EVP_MAC_CTX* hmacSha256Template() {
  static const EVP_MAC_CTX* const context = [] {
    EVP_MAC* mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    if (mac == nullptr) OpenSslError::raise("EVP_MAC_fetch");
    EVP_MAC_CTX* created = EVP_MAC_CTX_new(mac);
    EVP_MAC_free(mac);
    char digest[] = "SHA256";
    const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                                 OSSL_PARAM_construct_end()};
    if (created == nullptr || EVP_MAC_CTX_set_params(created, params) != 1) OpenSslError::raise("EVP_MAC_CTX_set_params");
    return created;
  }();
  return context;
}

}  // namespace

Hmac::Tag Hmac::sha256(ByteView key, ByteView data) {
  MacContext context(EVP_MAC_CTX_dup(hmacSha256Template()));
  // OpenSSL refuses a null key pointer even with length 0.
  static const std::uint8_t emptyKey = 0;
  Tag tag{};
  std::size_t length = 0;
  if (!context || EVP_MAC_init(context.get(), key.empty() ? &emptyKey : key.data(), key.size(), nullptr) != 1 ||
      EVP_MAC_update(context.get(), data.data(), data.size()) != 1 ||
      EVP_MAC_final(context.get(), tag.data(), &length, tag.size()) != 1 || length != tag.size()) {
    OpenSslError::raise("HMAC-SHA256");
  }
  return tag;
}

bool Hmac::verifySha256(ByteView key, ByteView data, ByteView tag) {
  const Tag expected = sha256(key, data);
  return tag.size() == expected.size() && CRYPTO_memcmp(expected.data(), tag.data(), expected.size()) == 0;
}

}  // namespace orvel
