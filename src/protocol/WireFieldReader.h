#pragma once

#include <cstdint>
#include <functional>

#include "protocol/ByteHelpers.h"

namespace orvel {

// Walks the top-level fields of a serialised message in place, so large bytes
// fields are seen where they lie instead of being copied out. It accepts and
// refuses exactly what MessageCodec does: a malformed wire form (a key beyond
// 32 bits among them) throws MessageError::malformed, and fields that the
// caller does not pick (other numbers, other wire types, groups) are checked
// and passed over, as the parser would keep them among the unknown fields.
class WireFieldReader {
 public:
  struct Field {
    enum class Kind { varint, lengthDelimited, other };
    int number;
    Kind kind;
    std::uint64_t varint;  // kind varint
    ByteView bytes;        // kind lengthDelimited: a view into the message
  };
  // Nesting left below an outermost message, which is the first of the 100
  // levels allowed (unknown groups count as levels, as they do for the parser).
  static constexpr int defaultRecursionLimit = 100 - 1;

  // `recursionLimit` is what is left of the nesting budget below this message.
  static void forEachField(ByteView message, const std::function<void(const Field&)>& visit,
                           int recursionLimit = defaultRecursionLimit);
};

}  // namespace orvel
