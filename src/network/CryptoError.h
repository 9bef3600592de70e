#pragma once

#include <string_view>

namespace orvel {

enum class CryptoError {
  notInitialized,
  invalidPublicKey,
  missingKeys,
  invalidMessage,
  invalidSignature,
  encryptionFailed,
  decryptionFailed,
};

constexpr std::string_view toString(CryptoError error) {
  switch (error) {
    case CryptoError::notInitialized: return "notInitialized";
    case CryptoError::invalidPublicKey: return "invalidPublicKey";
    case CryptoError::missingKeys: return "missingKeys";
    case CryptoError::invalidMessage: return "invalidMessage";
    case CryptoError::invalidSignature: return "invalidSignature";
    case CryptoError::encryptionFailed: return "encryptionFailed";
    case CryptoError::decryptionFailed: return "decryptionFailed";
  }
  return "unknown";
}

}  // namespace orvel
