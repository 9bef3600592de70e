#include "platform/Hash.h"

#include <openssl/evp.h>

#include "platform/OpenSslError.h"

namespace orvel {
namespace {

// Fetched once: the implicit fetch of EVP_sha256() costs a lookup on every call.
const EVP_MD* fetchDigest(const char* name) {
  EVP_MD* digest = EVP_MD_fetch(nullptr, name, nullptr);
  if (digest == nullptr) OpenSslError::raise("EVP_MD_fetch");
  return digest;
}

Bytes digest(const EVP_MD* md, ByteView data) {
  Bytes out(static_cast<std::size_t>(EVP_MD_get_size(md)));
  unsigned int length = 0;
  if (EVP_Digest(data.data(), data.size(), out.data(), &length, md, nullptr) != 1) OpenSslError::raise("EVP_Digest");
  out.resize(length);
  return out;
}

}  // namespace

Bytes Hash::sha256(ByteView data) {
  static const EVP_MD* md = fetchDigest("SHA256");
  return digest(md, data);
}

Bytes Hash::sha512(ByteView data) {
  static const EVP_MD* md = fetchDigest("SHA512");
  return digest(md, data);
}

}  // namespace orvel
