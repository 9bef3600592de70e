#pragma once

#include <string>

#include "network/CryptoHandler.h"

namespace orvel {

// Reaches the handler's private steps that have worked values of their own.
struct CryptoHandlerTesting {
  static std::string pinFor(ByteView authenticationString) {
    CryptoHandler handler;
    handler.authenticationString_ = SecretBytes(authenticationString);
    return handler.derivePIN();
  }
  static std::string pinWithoutKeys() { return CryptoHandler().derivePIN(); }
  static Bytes coordinateAsSent(ByteView coordinate) {
    return CryptoHandler::toSignedBytes(CryptoHandler::withoutLeadingZeros(coordinate));
  }
  static Bytes trimmedSecret(ByteView secret) {
    const ByteView trimmed = CryptoHandler::withoutLeadingZeros(secret);
    return {trimmed.begin(), trimmed.end()};
  }
  static void deriveSessionKeys(CryptoHandler& handler) { handler.deriveSessionKeys(); }
  static Bytes serverInitWithoutKey() { return CryptoHandler().buildServerInit(); }

  // What the handshake derived, as hex (empty when absent).
  struct Derived {
    std::string peerPublicKey, decryptKey, receiveHmacKey, encryptKey, sendHmacKey, authenticationString;
    bool operator==(const Derived&) const = default;
  };
  static Derived derived(const CryptoHandler& handler) {
    auto hex = [](const std::optional<SecretBytes>& value) { return value ? hexString(*value) : std::string(); };
    return {handler.peerPublicKey_ ? hexString(handler.peerPublicKey_->x963()) : std::string(),
            hex(handler.decryptKey_),
            hex(handler.receiveHmacKey_),
            hex(handler.encryptKey_),
            hex(handler.sendHmacKey_),
            hex(handler.authenticationString_)};
  }
  // Fixed channel keys, for exercising the channel without a handshake.
  static void installKeys(CryptoHandler& handler, ByteView receiveKey, ByteView receiveHmacKey, ByteView sendKey,
                          ByteView sendHmacKey) {
    handler.decryptKey_ = SecretBytes(receiveKey);
    handler.receiveHmacKey_ = SecretBytes(receiveHmacKey);
    handler.encryptKey_ = SecretBytes(sendKey);
    handler.sendHmacKey_ = SecretBytes(sendHmacKey);
  }
};

}  // namespace orvel
