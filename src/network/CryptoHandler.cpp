#include "network/CryptoHandler.h"

#include <google/protobuf/io/coded_stream.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <system_error>

#include "network/CryptoError.h"
#include "platform/AesCbc.h"
#include "platform/Hash.h"
#include "platform/Hkdf.h"
#include "platform/Hmac.h"
#include "platform/Log.h"
#include "protocol/MessageCodec.h"
#include "protocol/MessageError.h"
#include "protocol/WireFieldReader.h"
#include "securemessage.pb.h"
#include "ukey.pb.h"

namespace orvel {
namespace {

using google::protobuf::io::CodedOutputStream;
using Kind = WireFieldReader::Field::Kind;

constexpr std::string_view expectedNextProtocol = "AES_256_CBC-HMAC_SHA256";
constexpr std::size_t coordinateSize = 32;
constexpr std::size_t keySize = 32;
constexpr std::size_t minimumSecureMessageSize = 21;
constexpr std::size_t maximumVarintSize = 10;

// The key schedule's salts are compile-time data: nothing of them is built on
// a connection's thread, nor destroyed at exit while one may still run.
template <std::size_t N>
consteval std::array<std::uint8_t, (N - 1) / 2> hexBytes(const char (&text)[N]) {
  auto nibble = [](char digit) {
    return static_cast<std::uint8_t>(digit <= '9' ? digit - '0' : digit - 'A' + 10);
  };
  std::array<std::uint8_t, (N - 1) / 2> bytes{};
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<std::uint8_t>(nibble(text[2 * i]) << 4 | nibble(text[2 * i + 1]));
  }
  return bytes;
}
constexpr auto d2dSalt = hexBytes("5E1C07A94B3D82F6E0A1C58B97D24F3E6B0A19C7D85E2F43A16B09E7C3D58F21");
constexpr auto sessionSalt = hexBytes("A73F0B2E96C14D58E2B70F3A19C6D84E5B2A07F1C93E6D48B10A5F27E8C3D69B");

// Field keys (number << 3 | wire type) of the envelope written by encrypt().
constexpr std::uint8_t firstBytesField = 0x0a;   // field 1, length-delimited
constexpr std::uint8_t secondBytesField = 0x12;  // field 2, length-delimited
constexpr std::uint8_t secondVarintField = 0x10; // field 2, varint

// The fixed part of every outgoing header, whose only varying field is the IV.
Bytes serializedHeader(ByteView iv) {
  securegcm::GcmMetadata metadata;
  metadata.set_type(securegcm::GcmMetadata::DEVICE_TO_DEVICE_MESSAGE);
  metadata.set_version(1);
  securemessage::Header header;
  header.set_signature_scheme(securemessage::HMAC_SHA256);
  header.set_encryption_scheme(securemessage::AES_256_CBC);
  header.set_iv(byteString(iv));
  header.set_public_metadata(byteString(MessageCodec::serialize(metadata)));
  return MessageCodec::serialize(header);
}

std::size_t lengthDelimitedSize(std::size_t length) {
  return 1 + CodedOutputStream::VarintSize64(length) + length;
}

std::uint8_t* writeKeyAndLength(std::uint8_t* out, std::uint8_t key, std::size_t length) {
  *out++ = key;
  return CodedOutputStream::WriteVarint64ToArray(length, out);
}

// The header of a received HeaderAndBody: every occurrence merges into one
// message, as the parser does for a message field that appears more than once.
void mergeHeader(securemessage::Header& header, ByteView bytes) {
  const int recursionLimit = WireFieldReader::defaultRecursionLimit - 1;
  // The runtime takes a key modulo 2^32; the reader refuses one beyond 32 bits.
  WireFieldReader::forEachField(bytes, [](const WireFieldReader::Field&) {}, recursionLimit);
  google::protobuf::io::CodedInputStream input(bytes.data(), static_cast<int>(bytes.size()));
  input.SetRecursionLimit(recursionLimit);
  if (!header.MergePartialFromCodedStream(&input) || !input.ConsumedEntireMessage()) throw MessageError::malformed;
}

}  // namespace

CryptoHandler::CryptoHandler() : CryptoHandler(Entropy{P256PrivateKey::generateCompactRepresentable, Data::random}) {}
CryptoHandler::CryptoHandler(Entropy entropy) : entropy_(std::move(entropy)) {}
CryptoHandler::~CryptoHandler() = default;

HandshakeResult CryptoHandler::processHandshakeMessage(ByteView message) {
  switch (state_) {
    case HandshakeState::awaitingClientInit: return processClientInit(message);
    case HandshakeState::awaitingClientFinish: return processClientFinish(message);
    case HandshakeState::complete: break;
  }
  return HandshakeResult::noAction();
}

HandshakeResult CryptoHandler::processClientInit(ByteView message) {
  Log::write("[CryptoHandler] Processing CLIENT_INIT (" + std::to_string(message.size()) + " bytes)");
  clientInitRaw_ = Bytes(message.begin(), message.end());

  const auto envelope = MessageCodec::parse<securegcm::Ukey2Message>(message);
  if (envelope.message_type() != securegcm::Ukey2Message::CLIENT_INIT) {
    Log::write("[CryptoHandler] Expected CLIENT_INIT, got " + std::to_string(envelope.message_type()));
    throw CryptoError::invalidMessage;
  }
  const auto clientInit = MessageCodec::parse<securegcm::Ukey2ClientInit>(byteView(envelope.message_data()));
  if (clientInit.next_protocol() != expectedNextProtocol) {
    Log::write("[CryptoHandler] WARNING: Unexpected nextProtocol: '" + clientInit.next_protocol() + "'");
  }

  const std::string* commitment = nullptr;
  for (const auto& entry : clientInit.cipher_commitments()) {
    if (entry.handshake_cipher() == securegcm::P256_SHA512) commitment = &entry.commitment();
  }
  if (commitment == nullptr) {
    Log::write("[CryptoHandler] No P256_SHA512 cipher commitment found");
    throw CryptoError::invalidMessage;
  }
  clientCipherCommitment_ = Bytes(commitment->begin(), commitment->end());

  privateKey_ = entropy_.newPrivateKey();
  serverInitRaw_ = buildServerInit();
  state_ = HandshakeState::awaitingClientFinish;
  Log::write("[CryptoHandler] Sent SERVER_INIT, awaiting CLIENT_FINISH");
  return HandshakeResult::sendToPeer(*serverInitRaw_);
}

ByteView CryptoHandler::withoutLeadingZeros(ByteView bytes) {
  while (bytes.size() >= 2 && bytes.front() == 0x00) bytes = bytes.subspan(1);
  return bytes;
}

Bytes CryptoHandler::toSignedBytes(ByteView coordinate) {
  Bytes out;
  out.reserve(coordinate.size() + 1);
  if (!coordinate.empty() && coordinate.front() >= 0x80) out.push_back(0x00);
  out.insert(out.end(), coordinate.begin(), coordinate.end());
  return out;
}

Bytes CryptoHandler::buildServerInit() const {
  if (!privateKey_) return {};
  const Bytes point = privateKey_->publicKeyX963();
  const ByteView coordinates(point);

  securemessage::GenericPublicKey publicKey;
  publicKey.set_type(securemessage::GenericPublicKey::EC_P256);
  publicKey.mutable_ec_p256_public_key()->set_x(
      byteString(toSignedBytes(withoutLeadingZeros(coordinates.subspan(1, coordinateSize)))));
  publicKey.mutable_ec_p256_public_key()->set_y(
      byteString(toSignedBytes(withoutLeadingZeros(coordinates.subspan(1 + coordinateSize, coordinateSize)))));

  // A failed serialisation is reported and fails the step: an empty SERVER_INIT
  // sent as if it were valid would only stall the sender.
  auto serialize = [](const google::protobuf::Message& part, const char* name) {
    try {
      return MessageCodec::serialize(part);
    } catch (MessageError error) {
      Log::write(std::string("[CryptoHandler] Failed to serialize ") + name + ": " + std::string(toString(error)));
      throw;
    }
  };
  securegcm::Ukey2ServerInit serverInit;
  serverInit.set_version(1);
  serverInit.set_random(byteString(entropy_.randomBytes(32)));
  serverInit.set_handshake_cipher(securegcm::P256_SHA512);
  serverInit.set_public_key(byteString(serialize(publicKey, "GenericPublicKey")));

  securegcm::Ukey2Message envelope;
  envelope.set_message_type(securegcm::Ukey2Message::SERVER_INIT);
  envelope.set_message_data(byteString(serialize(serverInit, "ServerInit")));
  return serialize(envelope, "Ukey2Message");
}

HandshakeResult CryptoHandler::processClientFinish(ByteView message) {
  Log::write("[CryptoHandler] Processing CLIENT_FINISH (" + std::to_string(message.size()) + " bytes)");
  const Bytes digest = Hash::sha512(message);
  if (clientCipherCommitment_ && digest != *clientCipherCommitment_) {
    Log::write("[CryptoHandler] Cipher commitment verification failed");
    throw CryptoError::invalidMessage;
  }
  peerPublicKey_ = extractPublicKeyFromClientFinish(message);
  deriveSessionKeys();
  std::string pin = derivePIN();
  Log::write("[CryptoHandler] Handshake complete");
  state_ = HandshakeState::complete;
  return HandshakeResult::handshakeComplete(std::move(pin));
}

P256PublicKey CryptoHandler::extractPublicKeyFromClientFinish(ByteView message) const {
  const auto envelope = MessageCodec::parse<securegcm::Ukey2Message>(message);
  if (envelope.message_type() != securegcm::Ukey2Message::CLIENT_FINISH) {
    Log::write("[CryptoHandler] Expected CLIENT_FINISH, got " + std::to_string(envelope.message_type()));
    throw CryptoError::invalidPublicKey;
  }
  const auto clientFinished = MessageCodec::parse<securegcm::Ukey2ClientFinished>(byteView(envelope.message_data()));
  if (!clientFinished.has_public_key()) {
    Log::write("[CryptoHandler] ClientFinished missing publicKey");
    throw CryptoError::invalidPublicKey;
  }
  const auto publicKey = MessageCodec::parse<securemessage::GenericPublicKey>(byteView(clientFinished.public_key()));
  if (!publicKey.has_ec_p256_public_key()) {
    Log::write("[CryptoHandler] GenericPublicKey missing ecP256PublicKey");
    throw CryptoError::invalidPublicKey;
  }

  // Each coordinate to exactly 32 bytes: longer ones keep their last 32 bytes
  // (a sign byte goes), shorter ones get leading zeros.
  Bytes point(1 + 2 * coordinateSize, 0x00);
  point[0] = 0x04;
  auto place = [&](const std::string& value, std::size_t offset) {
    const ByteView bytes = byteView(value);
    const ByteView kept = bytes.size() > coordinateSize ? bytes.last(coordinateSize) : bytes;
    std::memcpy(point.data() + offset + coordinateSize - kept.size(), kept.data(), kept.size());
  };
  place(publicKey.ec_p256_public_key().x(), 1);
  place(publicKey.ec_p256_public_key().y(), 1 + coordinateSize);

  try {
    return P256PublicKey::fromX963(point);
  } catch (const std::system_error& error) {
    Log::write("[CryptoHandler] P256 key validation failed: " + error.code().message());
    throw CryptoError::invalidPublicKey;
  }
}

Bytes CryptoHandler::handshakeTranscript() const {
  Bytes transcript;
  if (clientInitRaw_) transcript = *clientInitRaw_;
  if (serverInitRaw_) transcript.insert(transcript.end(), serverInitRaw_->begin(), serverInitRaw_->end());
  return transcript;
}

SecretBytes CryptoHandler::deriveKey(ByteView secret, ByteView salt, ByteView info) {
  return SecretBytes(Hkdf::sha256(secret, salt, info, keySize));
}

void CryptoHandler::deriveSessionKeys() {
  if (!privateKey_ || !peerPublicKey_) throw CryptoError::missingKeys;
  const SecretBytes sharedSecret = privateKey_->sharedSecret(*peerPublicKey_);
  const SecretBytes sharedSecretHash(Hash::sha256(withoutLeadingZeros(sharedSecret)));
  const Bytes transcript = handshakeTranscript();

  const SecretBytes nextSecret = deriveKey(sharedSecretHash, byteView("UKEY2 v1 next"), transcript);
  const SecretBytes clientSecret = deriveKey(nextSecret, d2dSalt, byteView("client"));
  const SecretBytes serverSecret = deriveKey(nextSecret, d2dSalt, byteView("server"));
  // The sender is the client: what arrives is under the client keys, what we send under the server keys.
  SecretBytes decryptKey = deriveKey(clientSecret, sessionSalt, byteView("ENC:2"));
  SecretBytes receiveHmacKey = deriveKey(clientSecret, sessionSalt, byteView("SIG:1"));
  SecretBytes encryptKey = deriveKey(serverSecret, sessionSalt, byteView("ENC:2"));
  SecretBytes sendHmacKey = deriveKey(serverSecret, sessionSalt, byteView("SIG:1"));

  decryptKey_ = std::move(decryptKey);
  receiveHmacKey_ = std::move(receiveHmacKey);
  encryptKey_ = std::move(encryptKey);
  sendHmacKey_ = std::move(sendHmacKey);
  authenticationString_ = deriveAuthString(sharedSecretHash);
  Log::write("[CryptoHandler] Session keys derived successfully");
}

SecretBytes CryptoHandler::deriveAuthString(ByteView sharedSecretHash) const {
  return deriveKey(sharedSecretHash, byteView("UKEY2 v1 auth"), handshakeTranscript());
}

std::string CryptoHandler::derivePIN() const {
  if (!authenticationString_) return "0000";
  std::int64_t hash = 0;
  std::int64_t multiplier = 1;
  for (const std::uint8_t byte : authenticationString_->view()) {
    const auto value = static_cast<std::int8_t>(byte);
    // C++ % truncates toward zero, so the running hash keeps its sign.
    hash = (hash + value * multiplier) % 9973;
    multiplier = (multiplier * 31) % 9973;
  }
  char pin[8];
  std::snprintf(pin, sizeof pin, "%04d", static_cast<int>(std::llabs(hash)));
  return pin;
}

// The envelope is written straight into its final buffer: the frame is
// encrypted in place from its pieces and signed where it lies, so a large
// frame is never copied. The bytes are those the message types serialise to.
Bytes CryptoHandler::encrypt(ByteView data, std::int32_t sequenceNumber) {
  if (!encryptKey_ || !sendHmacKey_) throw CryptoError::notInitialized;
  const Bytes iv = entropy_.randomBytes(AesCbc::blockSize);
  const Bytes header = serializedHeader(iv);

  // DeviceToDeviceMessage {message = data, sequence_number}; a negative
  // int32 is written sign-extended, as ten bytes.
  std::uint8_t messagePrefix[1 + maximumVarintSize];
  const auto prefixEnd = writeKeyAndLength(messagePrefix, firstBytesField, data.size());
  std::uint8_t sequenceField[1 + maximumVarintSize];
  sequenceField[0] = secondVarintField;
  const auto sequenceEnd = CodedOutputStream::WriteVarint64ToArray(
      static_cast<std::uint64_t>(static_cast<std::int64_t>(sequenceNumber)), sequenceField + 1);
  const ByteView prefix(messagePrefix, prefixEnd);
  const ByteView suffix(sequenceField, sequenceEnd);
  const std::size_t bodySize = AesCbc::paddedSize(prefix.size() + data.size() + suffix.size());

  const std::size_t headerAndBodySize = lengthDelimitedSize(header.size()) + lengthDelimitedSize(bodySize);
  const std::size_t total = lengthDelimitedSize(headerAndBodySize) + lengthDelimitedSize(Hmac::Tag{}.size());
  // The signature field after the body leaves the cipher the block of room it may use.
  Bytes out(total);

  std::uint8_t* cursor = writeKeyAndLength(out.data(), firstBytesField, headerAndBodySize);
  std::uint8_t* const headerAndBody = cursor;
  cursor = writeKeyAndLength(cursor, firstBytesField, header.size());
  cursor = std::copy(header.begin(), header.end(), cursor);
  cursor = writeKeyAndLength(cursor, secondBytesField, bodySize);
  const auto encrypted = AesCbc::encrypt(*encryptKey_, iv, {prefix, data, suffix}, cursor);
  if (!encrypted || *encrypted != bodySize) throw CryptoError::encryptionFailed;
  cursor += bodySize;

  const Hmac::Tag signature = Hmac::sha256(*sendHmacKey_, ByteView(headerAndBody, cursor));
  cursor = writeKeyAndLength(cursor, secondBytesField, signature.size());
  std::copy(signature.begin(), signature.end(), cursor);
  return out;
}

DecryptedMessage CryptoHandler::decrypt(ByteView data) { return decryptInPlace(Bytes(data.begin(), data.end())); }

// The signature is checked over the received bytes where they lie, the body
// is decrypted over itself (the plaintext is never longer than the
// ciphertext), and the frame is moved to the front of that same buffer.
DecryptedMessage CryptoHandler::decryptInPlace(Bytes data) {
  if (!decryptKey_ || !receiveHmacKey_) throw CryptoError::notInitialized;
  if (data.size() < minimumSecureMessageSize) throw CryptoError::invalidMessage;

  std::optional<ByteView> headerAndBody, signature;
  WireFieldReader::forEachField(data, [&](const WireFieldReader::Field& field) {
    if (field.kind != Kind::lengthDelimited) return;
    if (field.number == 1) headerAndBody = field.bytes;
    if (field.number == 2) signature = field.bytes;
  });
  if (!headerAndBody || !signature) throw MessageError::missingRequiredFields;

  if (!Hmac::verifySha256(*receiveHmacKey_, *headerAndBody, *signature)) {
    Log::write("[CryptoHandler] HMAC verification failed");
    throw CryptoError::invalidSignature;
  }

  securemessage::Header header;
  bool hasHeader = false;
  std::optional<ByteView> body;
  WireFieldReader::forEachField(*headerAndBody, [&](const WireFieldReader::Field& field) {
    if (field.kind != Kind::lengthDelimited) return;
    if (field.number == 1) {
      mergeHeader(header, field.bytes);
      hasHeader = true;
    }
    if (field.number == 2) body = field.bytes;
  });
  if (!hasHeader || !body || !header.IsInitialized()) throw MessageError::missingRequiredFields;
  if (!header.has_iv()) throw CryptoError::invalidMessage;
  // The cipher needs exactly one block of IV; anything else is refused unread.
  if (header.iv().size() != AesCbc::blockSize) throw CryptoError::decryptionFailed;

  std::uint8_t* const plaintext = data.data() + (body->data() - data.data());
  const auto length = AesCbc::decrypt(*decryptKey_, byteView(header.iv()), *body, plaintext);
  if (!length) throw CryptoError::decryptionFailed;
  const ByteView decrypted(plaintext, *length);

  ByteView message;
  std::int32_t sequenceNumber = 0;
  WireFieldReader::forEachField(
      decrypted,
      [&](const WireFieldReader::Field& field) {
        if (field.number == 1 && field.kind == Kind::lengthDelimited) message = field.bytes;
        if (field.number == 2 && field.kind == Kind::varint) sequenceNumber = static_cast<std::int32_t>(field.varint);
      });
  if (!message.empty()) std::memmove(data.data(), message.data(), message.size());
  data.resize(message.size());
  return {std::move(data), sequenceNumber};
}

}  // namespace orvel
