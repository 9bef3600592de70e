#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace orvel {

// The name under which this receiver is shown to senders.
namespace DeviceName {

// At most this many user-perceived characters are shown.
inline constexpr std::size_t characterLimit = 32;

// The endpoint information carries the name's length in one byte, and its
// TXT string "n=" + Base64(18 + length bytes, no padding) must fit in 255
// bytes: 2 + ceil(4 * (18 + length) / 3) <= 255 holds up to 171 bytes, the
// stricter of the two limits.
inline constexpr std::size_t byteLimit = 171;

// The stored "Orvel.deviceName" (an empty one included), else the host's
// name, else "Mac"; read afresh on every call and fitted.
std::string current();

// `name` with invalid UTF-8 replaced by U+FFFD, cut to its first 32 extended
// grapheme clusters and then to as many whole clusters as fit in `byteLimit`
// bytes of UTF-8. A cluster is never split: one that does not fit is dropped
// with all that follows it.
std::string fitted(std::string_view name);

}  // namespace DeviceName
}  // namespace orvel
