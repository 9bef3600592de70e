#pragma once

#include <string_view>

namespace orvel {

// The engine's own error. failedToStartListener and connectionFailed are part
// of the vocabulary but never produced.
enum class ConnectionError { failedToStartListener, connectionFailed, handshakeFailed, encryptionFailed, transferFailed };

constexpr std::string_view toString(ConnectionError error) {
  switch (error) {
    case ConnectionError::failedToStartListener: return "failedToStartListener";
    case ConnectionError::connectionFailed: return "connectionFailed";
    case ConnectionError::handshakeFailed: return "handshakeFailed";
    case ConnectionError::encryptionFailed: return "encryptionFailed";
    case ConnectionError::transferFailed: return "transferFailed";
  }
  return "unknown";
}

}  // namespace orvel
