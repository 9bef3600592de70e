#pragma once

#include <cstddef>

#include "protocol/ByteHelpers.h"

namespace orvel {

// HKDF with HMAC-SHA256: extract, then expand to `length` bytes.
class Hkdf {
 public:
  static constexpr std::size_t maximumLength = 255 * 32;

  // Throws std::system_error for a length of 0 or above maximumLength.
  static Bytes sha256(ByteView inputKeyMaterial, ByteView salt, ByteView info, std::size_t length);
};

}  // namespace orvel
