#include "platform/P256PublicKey.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>

#include "platform/OpenSslError.h"

namespace orvel {

void P256PublicKey::Free::operator()(evp_pkey_st* key) const { EVP_PKEY_free(key); }

P256PublicKey P256PublicKey::fromX963(ByteView point) {
  if (point.size() != x963Size || point[0] != 0x04) {
    OpenSslError::raiseOwn(OpenSslError::invalidPoint, "P-256 public key");
  }
  char group[] = "prime256v1";
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
      OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, const_cast<std::uint8_t*>(point.data()), point.size()),
      OSSL_PARAM_construct_end(),
  };
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> context(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr),
                                                                      &EVP_PKEY_CTX_free);
  EVP_PKEY* raw = nullptr;
  if (!context || EVP_PKEY_fromdata_init(context.get()) != 1 ||
      EVP_PKEY_fromdata(context.get(), &raw, EVP_PKEY_PUBLIC_KEY, params) != 1) {
    OpenSslError::raise("P-256 public key", OpenSslError::invalidPoint);
  }
  P256PublicKey key(raw);
  // Decoding already refuses points off the curve; the explicit check states
  // the requirement instead of relying on it.
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> check(EVP_PKEY_CTX_new_from_pkey(nullptr, raw, nullptr),
                                                                    &EVP_PKEY_CTX_free);
  if (!check || EVP_PKEY_public_check(check.get()) != 1) OpenSslError::raise("P-256 public key", OpenSslError::invalidPoint);
  return key;
}

Bytes P256PublicKey::x963(const evp_pkey_st* key) {
  Bytes point(x963Size);
  std::size_t length = 0;
  if (EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size(), &length) != 1 ||
      length != x963Size) {
    OpenSslError::raise("P-256 public key export");
  }
  return point;
}

}  // namespace orvel
