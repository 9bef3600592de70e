#pragma once

#include <memory>

#include "protocol/ByteHelpers.h"

struct evp_pkey_st;

namespace orvel {

// A validated public key of the P-256 curve, for key agreement.
class P256PublicKey {
 public:
  static constexpr std::size_t x963Size = 65;  // 0x04 || x || y

  // Accepts only a 65-byte uncompressed point that lies on the curve; anything
  // else (other prefix or length, off the curve, the point at infinity) throws
  // std::system_error.
  static P256PublicKey fromX963(ByteView point);

  Bytes x963() const { return x963(key_.get()); }
  // The public point of any P-256 key, private ones included.
  static Bytes x963(const evp_pkey_st* key);
  evp_pkey_st* handle() const { return key_.get(); }

 private:
  struct Free {
    void operator()(evp_pkey_st* key) const;
  };
  explicit P256PublicKey(evp_pkey_st* key) : key_(key) {}
  std::unique_ptr<evp_pkey_st, Free> key_;
};

}  // namespace orvel
