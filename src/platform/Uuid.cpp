#include "platform/Uuid.h"

#include <algorithm>

#include "protocol/ByteHelpers.h"

namespace orvel {

Uuid Uuid::random() {
  auto random = Data::random(16);
  std::array<std::uint8_t, 16> bytes{};
  std::copy(random.begin(), random.end(), bytes.begin());
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0f) | 0x40);  // version 4
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3f) | 0x80);  // RFC 4122 variant
  return Uuid(bytes);
}

std::string Uuid::uuidString() const {
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(36);
  for (std::size_t i = 0; i < bytes_.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
    text.push_back(digits[bytes_[i] >> 4]);
    text.push_back(digits[bytes_[i] & 0x0f]);
  }
  return text;
}

}  // namespace orvel
