#pragma once

#include <memory>

#include "platform/P256PublicKey.h"
#include "platform/SecretBytes.h"
#include "protocol/ByteHelpers.h"

struct evp_pkey_st;

namespace orvel {

// A P-256 key pair for key agreement. The library wipes the private scalar when
// the key is freed.
class P256PrivateKey {
 public:
  // A fresh key whose public point is compact-representable: its y is the
  // smaller of y and p - y, so x alone determines the point.
  static P256PrivateKey generateCompactRepresentable();
  // The key with the big-endian private scalar d (1 <= d < n); throws std::system_error.
  static P256PrivateKey fromScalar(ByteView scalar);

  Bytes publicKeyX963() const;
  // ECDH: the 32-byte big-endian x coordinate of the shared point.
  SecretBytes sharedSecret(const P256PublicKey& peer) const;

 private:
  struct Free {
    void operator()(evp_pkey_st* key) const;
  };
  explicit P256PrivateKey(evp_pkey_st* key) : key_(key) {}
  std::unique_ptr<evp_pkey_st, Free> key_;
};

}  // namespace orvel
