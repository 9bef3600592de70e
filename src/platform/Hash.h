#pragma once

#include "protocol/ByteHelpers.h"

namespace orvel {

// One-shot message digests.
class Hash {
 public:
  static Bytes sha256(ByteView data);  // 32 bytes
  static Bytes sha512(ByteView data);  // 64 bytes
};

}  // namespace orvel
