#include <gtest/gtest.h>

#include <climits>
#include <optional>
#include <thread>
#include <variant>

#include "network/CryptoError.h"
#include "network/CryptoHandler.h"
#include "platform/AesCbc.h"
#include "platform/Log.h"
#include "protocol/MessageCodec.h"
#include "protocol/MessageError.h"
#include "securemessage.pb.h"
#include "support/ExpectError.h"
#include "support/Ukey2Initiator.h"
#include "ukey.pb.h"

namespace orvel {
namespace {

using test::expectError;

Bytes pattern(std::size_t size) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 131 + (i >> 8));
  return bytes;
}

class CryptoHandlerChannel : public testing::Test {
 protected:
  void SetUp() override {
    const auto reply = responder.processHandshakeMessage(initiator.clientInit());
    ASSERT_EQ(responder.processHandshakeMessage(initiator.clientFinish(reply.reply)).kind,
              HandshakeResult::Kind::handshakeComplete);
  }

  // A HeaderAndBody built field by field, then correctly signed by the sender.
  struct Envelope {
    std::optional<securemessage::SigScheme> signatureScheme = securemessage::HMAC_SHA256;
    std::optional<securemessage::EncScheme> encryptionScheme = securemessage::AES_256_CBC;
    std::optional<Bytes> iv = Bytes(16, 0x24);
    Bytes headerTail = {};                          // raw bytes after the header's fields
    std::optional<Bytes> plaintext = std::nullopt;  // encrypted into the body with the sender's key
    std::optional<Bytes> rawBody = std::nullopt;    // or a body as given
  };
  Bytes sealed(const Envelope& e) {
    Bytes headerAndBody;
    securemessage::Header header;
    if (e.signatureScheme) header.set_signature_scheme(*e.signatureScheme);
    if (e.encryptionScheme) header.set_encryption_scheme(*e.encryptionScheme);
    if (e.iv) header.set_iv(byteString(*e.iv));
    std::string headerBytes;
    header.SerializePartialToString(&headerBytes);
    headerBytes += byteString(e.headerTail);
    headerAndBody.push_back(0x0a);
    headerAndBody.push_back(static_cast<std::uint8_t>(headerBytes.size()));
    headerAndBody.insert(headerAndBody.end(), headerBytes.begin(), headerBytes.end());
    std::optional<Bytes> body = e.rawBody;
    if (e.plaintext) body = initiator.encryptBody(*e.plaintext, e.iv.value_or(Bytes(16, 0)));
    if (body) {
      securemessage::HeaderAndBody onlyBody;  // field 2 alone, written by the library
      std::string bodyField;
      onlyBody.set_body(byteString(*body));
      onlyBody.SerializePartialToString(&bodyField);
      headerAndBody.insert(headerAndBody.end(), bodyField.begin(), bodyField.end());
    }
    return initiator.sign(headerAndBody);
  }
  static Bytes deviceToDevice(std::optional<Bytes> message, std::optional<std::int32_t> sequence) {
    securegcm::DeviceToDeviceMessage inner;
    if (message) inner.set_message(byteString(*message));
    if (sequence) inner.set_sequence_number(*sequence);
    return MessageCodec::serialize(inner);
  }

  CryptoHandler responder;
  test::Ukey2Initiator initiator;
};

TEST_F(CryptoHandlerChannel, FramesCrossInBothDirections) {
  const std::vector<std::pair<std::size_t, std::int32_t>> cases{
      {0, 1}, {1, 2}, {15, 0}, {16, -1}, {4'999'000, INT32_MAX}, {100, INT32_MIN}};
  for (const auto& [size, sequence] : cases) {
    const Bytes frame = pattern(size);
    const DecryptedMessage received = responder.decrypt(initiator.encrypt(frame, sequence));
    EXPECT_EQ(received.message, frame) << size;
    EXPECT_EQ(received.sequenceNumber, sequence);
    const DecryptedMessage sent = initiator.decrypt(responder.encrypt(frame, sequence));
    EXPECT_EQ(sent.message, frame) << size;
    EXPECT_EQ(sent.sequenceNumber, sequence);
  }
}

// What encrypt writes is exactly what the message types serialise to.
TEST_F(CryptoHandlerChannel, EncryptWritesTheCanonicalEnvelope) {
  for (const std::int32_t sequence : {1, 300, -5}) {
    const Bytes sent = responder.encrypt(pattern(1000), sequence);
    const auto message = MessageCodec::parse<securemessage::SecureMessage>(sent);
    EXPECT_EQ(MessageCodec::serialize(message), sent);
    EXPECT_EQ(message.signature().size(), 32u);
    const auto headerAndBody = MessageCodec::parse<securemessage::HeaderAndBody>(byteView(message.header_and_body()));
    EXPECT_EQ(byteString(MessageCodec::serialize(headerAndBody)), message.header_and_body());
    const auto& header = headerAndBody.header();
    EXPECT_EQ(header.signature_scheme(), securemessage::HMAC_SHA256);
    EXPECT_EQ(header.encryption_scheme(), securemessage::AES_256_CBC);
    EXPECT_EQ(header.iv().size(), 16u);
    EXPECT_FALSE(header.has_verification_key_id() || header.has_decryption_key_id() || header.has_associated_data_length());
    const auto metadata = MessageCodec::parse<securegcm::GcmMetadata>(byteView(header.public_metadata()));
    EXPECT_EQ(metadata.type(), securegcm::GcmMetadata::DEVICE_TO_DEVICE_MESSAGE);
    EXPECT_EQ(metadata.version(), 1);
    EXPECT_EQ(MessageCodec::serialize(metadata).size(), header.public_metadata().size());
  }
}

TEST_F(CryptoHandlerChannel, SameFrameTwiceGivesFreshEnvelopes) {
  const Bytes frame = pattern(64);
  const Bytes a = responder.encrypt(frame, 7), b = responder.encrypt(frame, 7);
  EXPECT_NE(a, b);
  EXPECT_EQ(initiator.decrypt(a).message, frame);
  EXPECT_EQ(initiator.decrypt(b).message, frame);
  const Bytes received = initiator.encrypt(frame, 3);
  EXPECT_EQ(responder.decrypt(received).message, frame);
  EXPECT_EQ(responder.decrypt(received).message, frame);  // replays are not this layer's concern
}

TEST_F(CryptoHandlerChannel, KeysRunOneWayEach) {
  // Our own envelope is signed with the sending key, which never opens received frames.
  expectError([&] { responder.decrypt(responder.encrypt(Bytes{1}, 1)); }, CryptoError::invalidSignature);
}

// Once the handshake is done both directions only read the keys, so the
// connection may send from one thread while it receives on another.
TEST_F(CryptoHandlerChannel, ThreadedEncryptAndDecrypt) {
  std::vector<Bytes> received;
  for (int i = 0; i < 100; ++i) received.push_back(initiator.encrypt(pattern(1000 + i), i));
  std::vector<Bytes> sent(100);
  std::thread sender([&] {
    for (int i = 0; i < 100; ++i) sent[i] = responder.encrypt(pattern(2000 + i), i);
  });
  for (int i = 0; i < 100; ++i) EXPECT_EQ(responder.decrypt(received[i]).message, pattern(1000 + i));
  sender.join();
  for (int i = 0; i < 100; ++i) EXPECT_EQ(initiator.decrypt(sent[i]).message, pattern(2000 + i));
}

TEST(CryptoHandlerChannelUninitialised, BothDirectionsNeedTheHandshake) {
  CryptoHandler handler;
  expectError([&] { handler.encrypt(Bytes{1}, 1); }, CryptoError::notInitialized);
  expectError([&] { handler.decrypt(Bytes(100, 0)); }, CryptoError::notInitialized);
}

// Every byte of a small sealed frame, and positions spread over a large one.
TEST_F(CryptoHandlerChannel, AnyAlteredByteFailsTheFrame) {
  auto expectRefused = [&](Bytes sealedFrame, std::size_t position) {
    sealedFrame[position] ^= 0x5a;
    bool refused = false;
    try {
      responder.decrypt(sealedFrame);
    } catch (CryptoError) {
      refused = true;
    } catch (MessageError) {
      refused = true;
    }
    EXPECT_TRUE(refused) << "position " << position << " of " << sealedFrame.size();
  };
  const Bytes small = initiator.encrypt(pattern(300), 9);
  for (std::size_t i = 0; i < small.size(); ++i) expectRefused(small, i);

  const Bytes large = initiator.encrypt(pattern(600'000), 10);
  for (std::size_t i = 0; i < 160; ++i) expectRefused(large, i);
  for (std::size_t i = 0; i < 64; ++i) expectRefused(large, large.size() - 1 - i);
  for (std::size_t step = 1; step < 200; ++step) expectRefused(large, step * (large.size() / 200));
}

// The frame comes out of the envelope's own buffer, wherever the body lies in it.
TEST_F(CryptoHandlerChannel, InPlaceOpensFramesOfEverySize) {
  for (std::size_t size : {0, 1, 15, 16, 17, 4096, 600'000}) {
    SCOPED_TRACE(size);
    const auto opened = responder.decryptInPlace(initiator.encrypt(pattern(size), 7));
    EXPECT_EQ(opened.message, pattern(size));
    EXPECT_EQ(opened.sequenceNumber, 7);
  }
  Bytes tampered = initiator.encrypt(pattern(64), 8);
  tampered[tampered.size() / 2] ^= 1;
  expectError([&] { responder.decryptInPlace(tampered); }, CryptoError::invalidSignature);
}

TEST_F(CryptoHandlerChannel, ShortInputFailsBeforeParsing) {
  expectError([&] { responder.decrypt(Bytes(20, 0xff)); }, CryptoError::invalidMessage);
  expectError([&] { responder.decrypt({}); }, CryptoError::invalidMessage);
  expectError([&] { responder.decrypt(Bytes(21, 0xff)); }, MessageError::malformed);
}

TEST_F(CryptoHandlerChannel, WrongSignatureIsLoggedOnceAndNothingIsDecrypted) {
  // A correct signature over a body that does not decrypt: were the body
  // decrypted before the check, the error would be decryptionFailed.
  Bytes frame = sealed({.rawBody = Bytes(17, 0x00)});
  auto message = MessageCodec::parse<securemessage::SecureMessage>(frame);
  std::string signature = message.signature();
  signature[31] = static_cast<char>(signature[31] ^ 1);
  message.set_signature(signature);
  LogCapture log;
  expectError([&] { responder.decrypt(MessageCodec::serialize(message)); }, CryptoError::invalidSignature);
  EXPECT_EQ(log.lines(), std::vector<std::string>{"[CryptoHandler] HMAC verification failed"});
  message.set_signature(signature.substr(0, 16));
  expectError([&] { responder.decrypt(MessageCodec::serialize(message)); }, CryptoError::invalidSignature);
}

TEST_F(CryptoHandlerChannel, HeaderSchemesAreNotConsulted) {
  const Bytes frame{0xde, 0xad};
  const Bytes inner = deviceToDevice(frame, 4);
  EXPECT_EQ(responder.decrypt(sealed({.encryptionScheme = securemessage::NONE, .plaintext = inner})).message, frame);
  EXPECT_EQ(responder.decrypt(sealed({.signatureScheme = securemessage::ECDSA_P256_SHA256, .plaintext = inner})).message,
            frame);
  EXPECT_EQ(responder.decrypt(sealed({.encryptionScheme = std::nullopt, .plaintext = inner})).message, frame);
}

TEST_F(CryptoHandlerChannel, InnerMessageFieldsMayBeAbsent) {
  const auto noMessage = responder.decrypt(sealed({.plaintext = deviceToDevice(std::nullopt, 5)}));
  EXPECT_TRUE(noMessage.message.empty());
  EXPECT_EQ(noMessage.sequenceNumber, 5);
  const auto noSequence = responder.decrypt(sealed({.plaintext = deviceToDevice(Bytes{1}, std::nullopt)}));
  EXPECT_EQ(noSequence.message, Bytes{1});
  EXPECT_EQ(noSequence.sequenceNumber, 0);
}

TEST_F(CryptoHandlerChannel, MissingOrBrokenFieldsAreRefused) {
  const Bytes inner = deviceToDevice(Bytes{1, 2}, 1);
  struct Case {
    const char* name;
    Bytes frame;
    std::variant<CryptoError, MessageError> expected;
  };
  securemessage::SecureMessage noSignature;
  noSignature.set_header_and_body("0123456789abcdefghijklmnop");
  std::string noSignatureBytes;
  noSignature.SerializePartialToString(&noSignatureBytes);
  // A body whose last block decrypts to `finalBlock`, padding and all: the
  // padding block the sender's cipher appends is cut off again.
  auto endingIn = [&](Bytes finalBlock) {
    Bytes plaintext = inner;
    plaintext.resize((plaintext.size() + AesCbc::blockSize - 1) / AesCbc::blockSize * AesCbc::blockSize);
    plaintext.insert(plaintext.end(), finalBlock.begin(), finalBlock.end());
    Bytes body = initiator.encryptBody(plaintext, Bytes(16, 0x24));
    body.resize(plaintext.size());
    return body;
  };
  Bytes padsDisagree(16, 0x03);
  padsDisagree[14] = 0x04;
  const std::vector<Case> cases{
      {"no iv", sealed({.iv = std::nullopt, .plaintext = inner}), CryptoError::invalidMessage},
      {"short iv", sealed({.iv = Bytes(15, 1), .rawBody = Bytes(32, 0)}), CryptoError::decryptionFailed},
      {"long iv", sealed({.iv = Bytes(17, 1), .rawBody = Bytes(32, 0)}), CryptoError::decryptionFailed},
      {"empty iv", sealed({.iv = Bytes{}, .rawBody = Bytes(32, 0)}), CryptoError::decryptionFailed},
      {"no body", sealed({.plaintext = std::nullopt}), MessageError::missingRequiredFields},
      {"header without signature scheme", sealed({.signatureScheme = std::nullopt, .plaintext = inner}),
       MessageError::missingRequiredFields},
      {"no signature", Bytes(noSignatureBytes.begin(), noSignatureBytes.end()), MessageError::missingRequiredFields},
      {"body of partial block", sealed({.rawBody = Bytes(31, 0)}), CryptoError::decryptionFailed},
      {"empty body", sealed({.rawBody = Bytes{}}), CryptoError::decryptionFailed},
      {"padding of zero", sealed({.rawBody = endingIn(Bytes(16, 0x00))}), CryptoError::decryptionFailed},
      {"padding beyond a block", sealed({.rawBody = endingIn(Bytes(16, 0x11))}), CryptoError::decryptionFailed},
      {"padding bytes that disagree", sealed({.rawBody = endingIn(padsDisagree)}), CryptoError::decryptionFailed},
      {"inner not a message", sealed({.plaintext = Bytes{0x0a, 0x09, 0x01}}), MessageError::malformed},
      // modulo 2^32 this key would be field 1, signature_scheme HMAC_SHA256 again
      {"header key beyond 32 bits", sealed({.headerTail = {0x88, 0x80, 0x80, 0x80, 0x10, 0x01}, .plaintext = inner}),
       MessageError::malformed},
      {"header and body not a message", initiator.sign(Bytes{0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}),
       MessageError::malformed},
  };
  for (const auto& c : cases) {
    std::visit(
        [&](auto expected) {
          SCOPED_TRACE(c.name);
          expectError([&] { responder.decrypt(c.frame); }, expected);
        },
        c.expected);
  }
}

}  // namespace
}  // namespace orvel
