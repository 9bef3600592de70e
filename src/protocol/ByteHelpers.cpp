#include "protocol/ByteHelpers.h"

#include <openssl/rand.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "platform/Unicode.h"

namespace orvel {
namespace {

std::optional<int> hexDigit(std::string_view character) {
  if (character.size() != 1) return std::nullopt;
  const char c = character.front();
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return std::nullopt;
}

// One pair of characters read as the standard unsigned 8-bit parser reads it:
// two digits, or a sign and one digit ("+f" is 15, "-0" is 0, "-1" does not fit).
std::optional<std::uint8_t> readPair(std::string_view first, std::string_view second) {
  auto low = hexDigit(second);
  if (!low) return std::nullopt;
  if (first == "+") return static_cast<std::uint8_t>(*low);
  if (first == "-") return *low == 0 ? std::optional<std::uint8_t>(0) : std::nullopt;
  auto high = hexDigit(first);
  if (!high) return std::nullopt;
  return static_cast<std::uint8_t>(*high * 16 + *low);
}

}  // namespace

Bytes Data::fromHex(std::string_view text) {
  Bytes result;
  result.reserve(text.size() / 2);
  std::optional<std::string> first;
  Unicode::forEachCharacter(text, [&](std::string_view character) {
    if (!first) {
      first = std::string(character);
    } else {
      if (auto byte = readPair(*first, character)) result.push_back(*byte);
      first.reset();
    }
    return true;
  });
  return result;
}

Bytes Data::random(std::size_t length) {
  Bytes result(length);
  // RAND_bytes takes an int; larger requests are filled in slices.
  for (std::size_t done = 0; done < length;) {
    const std::size_t slice = std::min<std::size_t>(length - done, INT_MAX);
    if (RAND_bytes(result.data() + done, static_cast<int>(slice)) != 1) {
      std::fputs("Failed to generate random bytes\n", stderr);
      std::abort();
    }
    done += slice;
  }
  return result;
}

std::string hexString(ByteView bytes) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string text(bytes.size() * 2, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    text[2 * i] = digits[bytes[i] >> 4];
    text[2 * i + 1] = digits[bytes[i] & 0x0f];
  }
  return text;
}

std::string hexPrefix(ByteView bytes, std::size_t count) {
  return hexString(bytes.first(std::min(count, bytes.size())));
}

}  // namespace orvel
