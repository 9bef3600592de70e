#include "support/Ukey2Initiator.h"

#include <cstdio>
#include <stdexcept>

#include "platform/AesCbc.h"
#include "platform/Hash.h"
#include "platform/Hkdf.h"
#include "platform/Hmac.h"
#include "platform/P256PublicKey.h"
#include "protocol/MessageCodec.h"
#include "securemessage.pb.h"
#include "ukey.pb.h"

namespace orvel::test {
namespace {

const Bytes d2dSalt = Data::fromHex("5E1C07A94B3D82F6E0A1C58B97D24F3E6B0A19C7D85E2F43A16B09E7C3D58F21");
const Bytes sessionSalt = Data::fromHex("A73F0B2E96C14D58E2B70F3A19C6D84E5B2A07F1C93E6D48B10A5F27E8C3D69B");

void require(bool condition, const char* what) {
  if (!condition) throw std::runtime_error(std::string("Ukey2Initiator: ") + what);
}

// A received coordinate as a 32-byte big-endian number.
Bytes fixedCoordinate(const std::string& value) {
  ByteView bytes = byteView(value);
  require(bytes.size() <= 33, "coordinate too long");
  if (bytes.size() == 33) {
    require(bytes[0] == 0x00, "33-byte coordinate without sign byte");
    bytes = bytes.subspan(1);
  }
  Bytes out(32 - bytes.size(), 0x00);
  out.insert(out.end(), bytes.begin(), bytes.end());
  return out;
}

SecretBytes hkdf(ByteView secret, ByteView salt, std::string_view info) {
  return SecretBytes(Hkdf::sha256(secret, salt, byteView(info), 32));
}

std::string pinFrom(ByteView authentication) {
  long long hash = 0, multiplier = 1;
  for (std::uint8_t byte : authentication) {
    hash = (hash + static_cast<std::int8_t>(byte) * multiplier) % 9973;
    multiplier = multiplier * 31 % 9973;
  }
  char pin[8];
  std::snprintf(pin, sizeof pin, "%04lld", hash < 0 ? -hash : hash);
  return pin;
}

}  // namespace

Bytes Ukey2Initiator::minimalSignedCoordinate(ByteView coordinate) {
  while (coordinate.size() > 1 && coordinate[0] == 0x00) coordinate = coordinate.subspan(1);
  Bytes out;
  if (coordinate[0] >= 0x80) out.push_back(0x00);
  out.insert(out.end(), coordinate.begin(), coordinate.end());
  return out;
}

Ukey2Initiator::Ukey2Initiator(CoordinateEncoding encoding)
    : key_(P256PrivateKey::generateCompactRepresentable()), publicKey_(key_.publicKeyX963()) {
  securemessage::GenericPublicKey publicKey;
  publicKey.set_type(securemessage::GenericPublicKey::EC_P256);
  publicKey.mutable_ec_p256_public_key()->set_x(byteString(encoding(ByteView(publicKey_).subspan(1, 32))));
  publicKey.mutable_ec_p256_public_key()->set_y(byteString(encoding(ByteView(publicKey_).subspan(33, 32))));
  securegcm::Ukey2ClientFinished finished;
  finished.set_public_key(byteString(MessageCodec::serialize(publicKey)));
  securegcm::Ukey2Message message;
  message.set_message_type(securegcm::Ukey2Message::CLIENT_FINISH);
  message.set_message_data(byteString(MessageCodec::serialize(finished)));
  clientFinish_ = MessageCodec::serialize(message);
}

Bytes Ukey2Initiator::clientInit(ByteView appendedFields) {
  securegcm::Ukey2ClientInit init;
  init.set_version(1);
  init.set_random(byteString(Data::random(32)));
  auto* commitment = init.add_cipher_commitments();
  commitment->set_handshake_cipher(securegcm::P256_SHA512);
  commitment->set_commitment(byteString(Hash::sha512(clientFinish_)));
  init.set_next_protocol("AES_256_CBC-HMAC_SHA256");
  securegcm::Ukey2Message message;
  message.set_message_type(securegcm::Ukey2Message::CLIENT_INIT);
  message.set_message_data(byteString(MessageCodec::serialize(init)));
  clientInit_ = MessageCodec::serialize(message);
  clientInit_.insert(clientInit_.end(), appendedFields.begin(), appendedFields.end());
  return clientInit_;
}

Bytes Ukey2Initiator::clientFinish(ByteView serverInitBytes) {
  const auto message = MessageCodec::parse<securegcm::Ukey2Message>(serverInitBytes);
  require(message.message_type() == securegcm::Ukey2Message::SERVER_INIT, "not a SERVER_INIT");
  const auto serverInit = MessageCodec::parse<securegcm::Ukey2ServerInit>(byteView(message.message_data()));
  require(serverInit.version() == 1, "version");
  require(serverInit.random().size() == 32, "random");
  require(serverInit.handshake_cipher() == securegcm::P256_SHA512, "cipher");
  const auto publicKey = MessageCodec::parse<securemessage::GenericPublicKey>(byteView(serverInit.public_key()));
  require(publicKey.type() == securemessage::GenericPublicKey::EC_P256 && publicKey.has_ec_p256_public_key(), "key type");
  Bytes point{0x04};
  for (const std::string* coordinate : {&publicKey.ec_p256_public_key().x(), &publicKey.ec_p256_public_key().y()}) {
    const Bytes fixed = fixedCoordinate(*coordinate);
    point.insert(point.end(), fixed.begin(), fixed.end());
  }

  const SecretBytes shared = key_.sharedSecret(P256PublicKey::fromX963(point));
  ByteView trimmed = shared;
  while (trimmed.size() > 1 && trimmed[0] == 0x00) trimmed = trimmed.subspan(1);
  const SecretBytes sharedHash(Hash::sha256(trimmed));
  Bytes transcript = clientInit_;
  transcript.insert(transcript.end(), serverInitBytes.begin(), serverInitBytes.end());

  const SecretBytes next(Hkdf::sha256(sharedHash, byteView("UKEY2 v1 next"), transcript, 32));
  const SecretBytes client = hkdf(next, d2dSalt, "client");
  const SecretBytes server = hkdf(next, d2dSalt, "server");
  sendKey_ = hkdf(client, sessionSalt, "ENC:2");
  sendHmacKey_ = hkdf(client, sessionSalt, "SIG:1");
  receiveKey_ = hkdf(server, sessionSalt, "ENC:2");
  receiveHmacKey_ = hkdf(server, sessionSalt, "SIG:1");
  const Bytes authentication = Hkdf::sha256(sharedHash, byteView("UKEY2 v1 auth"), transcript, 32);
  pin_ = pinFrom(authentication);
  return clientFinish_;
}

Bytes Ukey2Initiator::encryptBody(ByteView plaintext, ByteView iv) const {
  require(sendKey_.has_value(), "no keys");
  auto body = AesCbc::encrypt(*sendKey_, iv, plaintext);
  require(body.has_value(), "encryption");
  return *body;
}

Bytes Ukey2Initiator::sign(ByteView headerAndBody) const {
  require(sendHmacKey_.has_value(), "no keys");
  const Hmac::Tag tag = Hmac::sha256(*sendHmacKey_, headerAndBody);
  securemessage::SecureMessage message;
  message.set_header_and_body(byteString(headerAndBody));
  message.set_signature(byteString(tag));
  return MessageCodec::serialize(message);
}

Bytes Ukey2Initiator::encrypt(ByteView offlineFrame, std::int32_t sequenceNumber) {
  securegcm::DeviceToDeviceMessage inner;
  inner.set_message(byteString(offlineFrame));
  inner.set_sequence_number(sequenceNumber);
  const Bytes iv = Data::random(16);
  securegcm::GcmMetadata metadata;
  metadata.set_type(securegcm::GcmMetadata::DEVICE_TO_DEVICE_MESSAGE);
  metadata.set_version(1);
  securemessage::HeaderAndBody headerAndBody;
  auto* header = headerAndBody.mutable_header();
  header->set_signature_scheme(securemessage::HMAC_SHA256);
  header->set_encryption_scheme(securemessage::AES_256_CBC);
  header->set_iv(byteString(iv));
  header->set_public_metadata(byteString(MessageCodec::serialize(metadata)));
  headerAndBody.set_body(byteString(encryptBody(MessageCodec::serialize(inner), iv)));
  return sign(MessageCodec::serialize(headerAndBody));
}

DecryptedMessage Ukey2Initiator::decrypt(ByteView secureMessage) {
  require(receiveKey_.has_value(), "no keys");
  const auto message = MessageCodec::parse<securemessage::SecureMessage>(secureMessage);
  require(Hmac::verifySha256(*receiveHmacKey_, byteView(message.header_and_body()), byteView(message.signature())),
          "signature");
  const auto headerAndBody = MessageCodec::parse<securemessage::HeaderAndBody>(byteView(message.header_and_body()));
  const auto plaintext = AesCbc::decrypt(*receiveKey_, byteView(headerAndBody.header().iv()), byteView(headerAndBody.body()));
  require(plaintext.has_value(), "decryption");
  const auto inner = MessageCodec::parse<securegcm::DeviceToDeviceMessage>(*plaintext);
  return {Bytes(inner.message().begin(), inner.message().end()), inner.sequence_number()};
}

}  // namespace orvel::test
