#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "network/DecryptedMessage.h"
#include "platform/P256PrivateKey.h"
#include "platform/SecretBytes.h"
#include "protocol/ByteHelpers.h"

namespace orvel::test {

// The sending side of the UKEY2 exchange and of the encrypted channel, written
// independently of CryptoHandler (it builds and reads every message with the
// message types) so that the two check each other. Failures throw std::runtime_error.
class Ukey2Initiator {
 public:
  // How a 32-byte coordinate of our key is written into CLIENT_FINISH.
  using CoordinateEncoding = std::function<Bytes(ByteView coordinate)>;
  // The shortest two's-complement form, as the responder writes its own.
  static Bytes minimalSignedCoordinate(ByteView coordinate);

  explicit Ukey2Initiator(CoordinateEncoding encoding = minimalSignedCoordinate);

  // The CLIENT_INIT, committing to the SHA-512 of our CLIENT_FINISH. Bytes given
  // are appended to it (unknown fields, say); they belong to the transcript.
  Bytes clientInit(ByteView appendedFields = {});
  // Checks the SERVER_INIT, derives the keys and the PIN, returns the CLIENT_FINISH.
  Bytes clientFinish(ByteView serverInit);
  const std::string& pin() const { return pin_; }
  const Bytes& publicKey() const { return publicKey_; }
  const Bytes& clientFinishMessage() const { return clientFinish_; }

  // The channel as the sender runs it.
  Bytes encrypt(ByteView offlineFrame, std::int32_t sequenceNumber);
  DecryptedMessage decrypt(ByteView secureMessage);

  // Pieces for hand-made envelopes that the responder must accept or refuse on
  // their merits: the body encrypted with our sending key, and an envelope
  // around any HeaderAndBody bytes, correctly signed.
  Bytes encryptBody(ByteView plaintext, ByteView iv) const;
  Bytes sign(ByteView headerAndBody) const;

 private:
  P256PrivateKey key_;
  Bytes publicKey_;
  Bytes clientFinish_;
  Bytes clientInit_;
  std::string pin_;
  std::optional<SecretBytes> sendKey_, sendHmacKey_, receiveKey_, receiveHmacKey_;
};

}  // namespace orvel::test
