#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "network/DecryptedMessage.h"
#include "network/HandshakeResult.h"
#include "platform/P256PrivateKey.h"
#include "platform/P256PublicKey.h"
#include "platform/SecretBytes.h"
#include "protocol/ByteHelpers.h"

namespace orvel {

// One connection's side of the UKEY2 exchange (always the responder), the keys
// and PIN derived from it, and the encrypted channel that runs on those keys.
// The handshake runs on the connection's queue only. Once it is complete,
// encrypt and decrypt only read the keys and may run concurrently.
class CryptoHandler {
 public:
  // Where the handler's key pair and random fields (the SERVER_INIT random and
  // the IVs) come from: the system's generator for every connection; fixed
  // values in tests that reproduce known answers byte for byte. randomBytes is
  // called on whichever thread encrypts.
  struct Entropy {
    std::function<P256PrivateKey()> newPrivateKey;
    std::function<Bytes(std::size_t length)> randomBytes;
  };

  CryptoHandler();
  explicit CryptoHandler(Entropy entropy);
  ~CryptoHandler();  // the key material is wiped as its holders are destroyed
  CryptoHandler(const CryptoHandler&) = delete;
  CryptoHandler& operator=(const CryptoHandler&) = delete;

  // Takes CLIENT_INIT, then CLIENT_FINISH, exactly as received. Throws
  // CryptoError, MessageError or std::system_error; a failed step does not advance.
  HandshakeResult processHandshakeMessage(ByteView message);
  // The frame wrapped for sending; throws CryptoError.
  Bytes encrypt(ByteView data, std::int32_t sequenceNumber);
  // The frame inside a received envelope; throws CryptoError or MessageError.
  DecryptedMessage decrypt(ByteView data);
  // The same, reusing the envelope's own buffer for the frame: no copy of a large frame is made.
  DecryptedMessage decryptInPlace(Bytes data);

 private:
  friend struct CryptoHandlerTesting;
  enum class HandshakeState { awaitingClientInit, awaitingClientFinish, complete };

  HandshakeResult processClientInit(ByteView message);
  HandshakeResult processClientFinish(ByteView message);
  Bytes buildServerInit() const;
  P256PublicKey extractPublicKeyFromClientFinish(ByteView message) const;
  static Bytes toSignedBytes(ByteView coordinate);
  static ByteView withoutLeadingZeros(ByteView bytes);
  void deriveSessionKeys();
  SecretBytes deriveAuthString(ByteView sharedSecretHash) const;
  std::string derivePIN() const;
  static SecretBytes deriveKey(ByteView secret, ByteView salt, ByteView info);
  Bytes handshakeTranscript() const;

  const Entropy entropy_;
  HandshakeState state_ = HandshakeState::awaitingClientInit;
  std::optional<P256PrivateKey> privateKey_;
  std::optional<P256PublicKey> peerPublicKey_;
  std::optional<Bytes> clientInitRaw_;
  std::optional<Bytes> serverInitRaw_;
  std::optional<Bytes> clientCipherCommitment_;
  std::optional<SecretBytes> encryptKey_;
  std::optional<SecretBytes> decryptKey_;
  std::optional<SecretBytes> sendHmacKey_;
  std::optional<SecretBytes> receiveHmacKey_;
  std::optional<SecretBytes> authenticationString_;
};

}  // namespace orvel
