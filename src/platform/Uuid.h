#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

namespace orvel {

// A random (version 4) UUID, shown in the upper-case standard text form.
class Uuid {
 public:
  static Uuid random();

  std::string uuidString() const;
  const std::array<std::uint8_t, 16>& bytes() const { return bytes_; }

  friend bool operator==(const Uuid&, const Uuid&) = default;

 private:
  explicit Uuid(std::array<std::uint8_t, 16> bytes) : bytes_(bytes) {}
  std::array<std::uint8_t, 16> bytes_;
};

}  // namespace orvel

template <>
struct std::hash<orvel::Uuid> {
  std::size_t operator()(const orvel::Uuid& uuid) const noexcept {
    std::size_t value = 0;
    for (auto byte : uuid.bytes()) value = value * 131 + byte;
    return value;
  }
};
