#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>

#include "protocol/ByteHelpers.h"

namespace orvel {

// AES-256 in CBC mode with PKCS#7 padding.
class AesCbc {
 public:
  static constexpr std::size_t keySize = 32;
  static constexpr std::size_t blockSize = 16;

  // Room the output needs: the input plus one block of padding.
  static constexpr std::size_t outputCapacity(std::size_t inputSize) { return inputSize + blockSize; }
  static constexpr std::size_t paddedSize(std::size_t plaintextSize) { return (plaintextSize / blockSize + 1) * blockSize; }

  // Encrypt the concatenation of `pieces` into `output` (outputCapacity of their total
  // size). Returns the ciphertext length, or nothing when the cipher refuses; a key
  // or IV of the wrong size is refused without being read.
  static std::optional<std::size_t> encrypt(ByteView key, ByteView iv, std::initializer_list<ByteView> pieces,
                                            std::uint8_t* output);
  // Decrypt and strip the padding into `output` (outputCapacity of the input).
  // Below 1 GiB of input, `output` may also be the input itself: the plaintext
  // never outgrows the ciphertext. Nothing for a length that is not whole
  // blocks or for bad padding.
  static std::optional<std::size_t> decrypt(ByteView key, ByteView iv, ByteView input, std::uint8_t* output);

  static std::optional<Bytes> encrypt(ByteView key, ByteView iv, ByteView plaintext);
  static std::optional<Bytes> decrypt(ByteView key, ByteView iv, ByteView ciphertext);
};

}  // namespace orvel
