#include "platform/Hkdf.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>

#include <memory>
#include <vector>

#include "platform/OpenSslError.h"

namespace orvel {
namespace {

struct KdfContextFree {
  void operator()(EVP_KDF_CTX* context) const { EVP_KDF_CTX_free(context); }
};

EVP_KDF* hkdf() {
  static EVP_KDF* const kdf = [] {
    EVP_KDF* fetched = EVP_KDF_fetch(nullptr, "HKDF", nullptr);
    if (fetched == nullptr) OpenSslError::raise("EVP_KDF_fetch");
    return fetched;
  }();
  return kdf;
}

// The parameter API takes non-const pointers and refuses null ones.
void* octets(ByteView bytes) {
  static std::uint8_t empty = 0;
  return bytes.empty() ? &empty : const_cast<std::uint8_t*>(bytes.data());
}

}  // namespace

Bytes Hkdf::sha256(ByteView inputKeyMaterial, ByteView salt, ByteView info, std::size_t length) {
  if (length == 0 || length > maximumLength) OpenSslError::raiseOwn(OpenSslError::invalidLength, "HKDF-SHA256");
  std::unique_ptr<EVP_KDF_CTX, KdfContextFree> context(EVP_KDF_CTX_new(hkdf()));
  if (!context) OpenSslError::raise("EVP_KDF_CTX_new");

  char digest[] = "SHA256";
  std::vector<OSSL_PARAM> params{
      OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, octets(inputKeyMaterial), inputKeyMaterial.size()),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, octets(salt), salt.size()),
  };
  if (!info.empty()) {
    params.push_back(OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, octets(info), info.size()));
  }
  params.push_back(OSSL_PARAM_construct_end());

  Bytes out(length);
  if (EVP_KDF_derive(context.get(), out.data(), out.size(), params.data()) != 1) OpenSslError::raise("EVP_KDF_derive");
  return out;
}

}  // namespace orvel
