#pragma once

#include <array>
#include <cstdint>

#include "protocol/ByteHelpers.h"

namespace orvel {

// HMAC-SHA256 over bytes in place.
class Hmac {
 public:
  using Tag = std::array<std::uint8_t, 32>;

  static Tag sha256(ByteView key, ByteView data);
  // True only for the full 32-byte tag; compared in constant time so the
  // time taken does not tell how many leading bytes of a forgery were right.
  static bool verifySha256(ByteView key, ByteView data, ByteView tag);
};

}  // namespace orvel
