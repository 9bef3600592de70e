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
