#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace orvel {

// The byte string that travels everywhere in the engine.
using Bytes = std::vector<std::uint8_t>;
// A read-only view of bytes owned elsewhere.
using ByteView = std::span<const std::uint8_t>;

namespace Data {

// Bytes from a text of hexadecimal pairs. The text is taken as pairs of
// characters (user-perceived ones, not bytes: "ü0aff" is "ü0", "af" and a
// lone "f"), a byte that is not UTF-8 counting as one character. Each pair is
// read like an unsigned 8-bit number in base 16 ("0a", "FF", "+f", "-0"); a
// pair that does not read is skipped without re-aligning, and a lone last
// character is ignored.
Bytes fromHex(std::string_view text);

// `length` bytes from the system's secure generator. A failing generator
// stops the process: the caller never sees a short or unfilled result.
Bytes random(std::size_t length);

}  // namespace Data

// Lower-case hexadecimal, two digits per byte, no separators.
std::string hexString(ByteView bytes);

// The hex rendering of at most the first `count` bytes, as log lines show frames.
std::string hexPrefix(ByteView bytes, std::size_t count = 50);

inline ByteView byteView(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Frame lengths travel as four bytes, most significant first.
inline std::array<std::uint8_t, 4> bigEndian32(std::uint32_t value) {
  return {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
          static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
}
// The value of the first four bytes of `bytes`, which has at least four.
inline std::uint32_t fromBigEndian32(ByteView bytes) {
  return std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 | std::uint32_t{bytes[2]} << 8 |
         std::uint32_t{bytes[3]};
}

// The bytes as a string, the form protobuf's bytes fields take.
inline std::string byteString(ByteView bytes) { return {reinterpret_cast<const char*>(bytes.data()), bytes.size()}; }

}  // namespace orvel
