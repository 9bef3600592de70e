#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/ByteHelpers.h"

namespace orvel {

// Key material: bytes that are wiped when they are replaced or destroyed.
class SecretBytes {
 public:
  SecretBytes() = default;
  explicit SecretBytes(Bytes bytes) noexcept : bytes_(std::move(bytes)) {}
  explicit SecretBytes(ByteView bytes) : bytes_(bytes.begin(), bytes.end()) {}
  SecretBytes(const SecretBytes&) = delete;
  SecretBytes& operator=(const SecretBytes&) = delete;
  SecretBytes(SecretBytes&& other) noexcept;
  SecretBytes& operator=(SecretBytes&& other) noexcept;
  ~SecretBytes();

  ByteView view() const { return bytes_; }
  const std::uint8_t* data() const { return bytes_.data(); }
  std::size_t size() const { return bytes_.size(); }
  operator ByteView() const { return bytes_; }

 private:
  void wipe() noexcept;
  Bytes bytes_;
};

}  // namespace orvel
