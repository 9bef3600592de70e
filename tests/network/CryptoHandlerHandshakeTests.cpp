#include <gtest/gtest.h>

#include <deque>
#include <optional>
#include <stdexcept>

#include "network/CryptoError.h"
#include "network/CryptoHandler.h"
#include "platform/Hash.h"
#include "platform/Log.h"
#include "platform/P256PrivateKey.h"
#include "protocol/MessageCodec.h"
#include "protocol/MessageError.h"
#include "securemessage.pb.h"
#include "support/CryptoHandlerTesting.h"
#include "support/ExpectError.h"
#include "support/TestVectors.h"
#include "support/Ukey2Initiator.h"
#include "ukey.pb.h"

namespace orvel {
namespace {

using test::expectError;

Bytes ukey2Message(std::optional<securegcm::Ukey2Message::Type> type, std::optional<Bytes> data) {
  securegcm::Ukey2Message message;
  if (type) message.set_message_type(*type);
  if (data) message.set_message_data(byteString(*data));
  return MessageCodec::serialize(message);
}

struct Commitment {
  std::optional<securegcm::Ukey2HandshakeCipher> cipher;
  std::optional<Bytes> value;
};

Bytes clientInit(const std::vector<Commitment>& commitments,
                 std::optional<std::string> nextProtocol = "AES_256_CBC-HMAC_SHA256") {
  securegcm::Ukey2ClientInit init;
  for (const auto& c : commitments) {
    auto* entry = init.add_cipher_commitments();
    if (c.cipher) entry->set_handshake_cipher(*c.cipher);
    if (c.value) entry->set_commitment(byteString(*c.value));
  }
  if (nextProtocol) init.set_next_protocol(*nextProtocol);
  return ukey2Message(securegcm::Ukey2Message::CLIENT_INIT, MessageCodec::serialize(init));
}

Bytes committingTo(ByteView finish) { return clientInit({{securegcm::P256_SHA512, Hash::sha512(finish)}}); }

TEST(CryptoHandlerHandshake, CompletesWithAnInitiatorAndThenIgnoresMessages) {
  LogCapture log;
  CryptoHandler responder;
  test::Ukey2Initiator initiator;
  const Bytes init = initiator.clientInit();

  const HandshakeResult first = responder.processHandshakeMessage(init);
  ASSERT_EQ(first.kind, HandshakeResult::Kind::sendToPeer);
  const Bytes finish = initiator.clientFinish(first.reply);
  const HandshakeResult second = responder.processHandshakeMessage(finish);
  ASSERT_EQ(second.kind, HandshakeResult::Kind::handshakeComplete);
  EXPECT_EQ(second.pin, initiator.pin());
  ASSERT_EQ(second.pin.size(), 4u);
  EXPECT_EQ(second.pin.find_first_not_of("0123456789"), std::string::npos);

  EXPECT_EQ(responder.processHandshakeMessage(finish).kind, HandshakeResult::Kind::noAction);
  EXPECT_EQ(responder.processHandshakeMessage({}).kind, HandshakeResult::Kind::noAction);
  EXPECT_EQ(log.lines(), (std::vector<std::string>{
                             "[CryptoHandler] Processing CLIENT_INIT (" + std::to_string(init.size()) + " bytes)",
                             "[CryptoHandler] Sent SERVER_INIT, awaiting CLIENT_FINISH",
                             "[CryptoHandler] Processing CLIENT_FINISH (" + std::to_string(finish.size()) + " bytes)",
                             "[CryptoHandler] Session keys derived successfully",
                             "[CryptoHandler] Handshake complete",
                         }));
}

// Known answers computed by an independent implementation: with the same
// private key and random fields, every byte we send and every key we derive
// must match, whichever form the sender gave its coordinates in.
TEST(CryptoHandlerHandshake, MatchesKnownAnswersOfAnIndependentImplementation) {
  const auto cases = test::testDataFile("key-exchange-kat.json").at("cases");
  ASSERT_EQ(cases.size(), 5u);
  for (std::size_t index = 0; index < cases.size(); ++index) {
    const auto& c = cases[index];
    SCOPED_TRACE(c.at("name").get<std::string>());
    auto text = [&](const char* key) { return c.at(key).get<std::string>(); };
    auto bytes = [&](const char* key) { return Data::fromHex(text(key)); };
    const auto sentServerInit = MessageCodec::parse<securegcm::Ukey2ServerInit>(
        byteView(MessageCodec::parse<securegcm::Ukey2Message>(bytes("serverInit")).message_data()));
    std::deque<Bytes> randomFields{Bytes(sentServerInit.random().begin(), sentServerInit.random().end()),
                                   bytes("receiverFrameIv")};
    CryptoHandler responder({[&] { return P256PrivateKey::fromScalar(bytes("serverPrivateScalar")); },
                             [&](std::size_t length) {
                               if (randomFields.empty() || randomFields.front().size() != length) {
                                 throw std::logic_error("unexpected draw of random bytes");
                               }
                               Bytes field = std::move(randomFields.front());
                               randomFields.pop_front();
                               return field;
                             }});

    EXPECT_EQ(hexString(responder.processHandshakeMessage(bytes("clientInit")).reply), text("serverInit"));
    const HandshakeResult done = responder.processHandshakeMessage(bytes("clientFinish"));
    ASSERT_EQ(done.kind, HandshakeResult::Kind::handshakeComplete);
    EXPECT_EQ(done.pin, text("pin"));
    const auto derived = CryptoHandlerTesting::derived(responder);
    EXPECT_EQ(derived.peerPublicKey, text("clientPublicX963")) << text("clientCoordinates");
    EXPECT_EQ(derived.decryptKey, text("receiverDecryptKey"));
    EXPECT_EQ(derived.receiveHmacKey, text("receiverReceiveHmacKey"));
    EXPECT_EQ(derived.encryptKey, text("receiverEncryptKey"));
    EXPECT_EQ(derived.sendHmacKey, text("receiverSendHmacKey"));
    EXPECT_EQ(derived.authenticationString, text("authString"));
    const SecretBytes secret = P256PrivateKey::fromScalar(bytes("serverPrivateScalar"))
                                   .sharedSecret(P256PublicKey::fromX963(bytes("clientPublicX963")));
    EXPECT_EQ(hexString(secret), text("sharedSecretX"));
    EXPECT_EQ(hexString(CryptoHandlerTesting::trimmedSecret(secret)), text("sharedSecretTrimmed"));

    const DecryptedMessage opened = responder.decrypt(bytes("senderFrameSealed"));
    EXPECT_EQ(hexString(opened.message), text("frame"));
    EXPECT_EQ(opened.sequenceNumber, c.at("senderFrameSequence").get<std::int32_t>());
    EXPECT_EQ(hexString(responder.encrypt(bytes("frame"), c.at("receiverFrameSequence").get<std::int32_t>())),
              text("receiverFrameSealed"));

    // Another CLIENT_FINISH after completion changes neither the keys nor the PIN's source.
    const Bytes otherFinish = Data::fromHex(cases[(index + 1) % cases.size()].at("clientFinish").get<std::string>());
    EXPECT_EQ(responder.processHandshakeMessage(otherFinish).kind, HandshakeResult::Kind::noAction);
    EXPECT_EQ(CryptoHandlerTesting::derived(responder), derived);
  }
}

// The transcript is the CLIENT_INIT as received: unknown fields included.
TEST(CryptoHandlerHandshake, TranscriptKeepsUnknownFieldsOfClientInit) {
  CryptoHandler responder;
  test::Ukey2Initiator initiator;
  const Bytes unknownFields{0x78, 0x05, 0x82, 0x01, 0x02, 0xab, 0xcd};  // fields 15 and 16
  const auto reply = responder.processHandshakeMessage(initiator.clientInit(unknownFields));
  const auto done = responder.processHandshakeMessage(initiator.clientFinish(reply.reply));
  EXPECT_EQ(done.pin, initiator.pin());
  EXPECT_EQ(initiator.decrypt(responder.encrypt(Bytes{1, 2, 3}, 1)).message, (Bytes{1, 2, 3}));
}

TEST(CryptoHandlerHandshake, ServerInitCarriesACompactKeyInMinimalSignedCoordinates) {
  for (int i = 0; i < 16; ++i) {
    CryptoHandler responder;
    test::Ukey2Initiator initiator;
    const auto reply = responder.processHandshakeMessage(initiator.clientInit());
    const auto message = MessageCodec::parse<securegcm::Ukey2Message>(reply.reply);
    EXPECT_EQ(message.message_type(), securegcm::Ukey2Message::SERVER_INIT);
    const auto serverInit = MessageCodec::parse<securegcm::Ukey2ServerInit>(byteView(message.message_data()));
    EXPECT_EQ(serverInit.version(), 1);
    EXPECT_EQ(serverInit.random().size(), 32u);
    EXPECT_EQ(serverInit.handshake_cipher(), securegcm::P256_SHA512);
    const auto key = MessageCodec::parse<securemessage::GenericPublicKey>(byteView(serverInit.public_key()));
    EXPECT_EQ(key.type(), securemessage::GenericPublicKey::EC_P256);
    for (const std::string& c : {key.ec_p256_public_key().x(), key.ec_p256_public_key().y()}) {
      ASSERT_FALSE(c.empty());
      ASSERT_LE(c.size(), 33u);
      const auto first = static_cast<std::uint8_t>(c[0]);
      // Shortest two's complement of a non-negative number.
      if (c.size() > 1 && first == 0x00) {
        EXPECT_GE(static_cast<std::uint8_t>(c[1]), 0x80);
      }
      EXPECT_LT(first, 0x80);
    }
    // The smaller root y lies below p / 2, so it never needs a sign byte.
    EXPECT_LT(key.ec_p256_public_key().y().size(), 33u);
  }
}

TEST(CryptoHandlerHandshake, CoordinatesAreSentInShortestSignedForm) {
  auto coordinate = [](std::initializer_list<std::uint8_t> head) {
    Bytes c(head);
    c.resize(32, 0x5a);
    return c;
  };
  auto tail = [](const Bytes& full, std::size_t from) { return Bytes(full.begin() + from, full.end()); };
  const Bytes c7f = coordinate({0x7f}), cc0 = coordinate({0xc0}), c009a = coordinate({0x00, 0x9a}),
              c000012 = coordinate({0x00, 0x00, 0x12});
  EXPECT_EQ(CryptoHandlerTesting::coordinateAsSent(c7f), c7f);
  Bytes signedC0{0x00};
  signedC0.insert(signedC0.end(), cc0.begin(), cc0.end());
  EXPECT_EQ(CryptoHandlerTesting::coordinateAsSent(cc0), signedC0);
  EXPECT_EQ(CryptoHandlerTesting::coordinateAsSent(c009a), c009a);
  EXPECT_EQ(CryptoHandlerTesting::coordinateAsSent(c000012), tail(c000012, 2));
  EXPECT_EQ(CryptoHandlerTesting::coordinateAsSent(Bytes(32, 0x00)), Bytes{0x00});
}

TEST(CryptoHandlerHandshake, SharedSecretLosesOnlyLeadingZeros) {
  Bytes one(32, 0x33), two(32, 0x44);
  one[0] = 0x00;
  two[0] = two[1] = 0x00;
  EXPECT_EQ(CryptoHandlerTesting::trimmedSecret(one).size(), 31u);
  EXPECT_EQ(CryptoHandlerTesting::trimmedSecret(two).size(), 30u);
  EXPECT_EQ(CryptoHandlerTesting::trimmedSecret(Bytes(32, 0x00)), Bytes{0x00});
  EXPECT_EQ(CryptoHandlerTesting::trimmedSecret(Bytes(32, 0x80)).size(), 32u);
}

TEST(CryptoHandlerHandshake, PinFollowsSignedBytesAndTruncatingRemainder) {
  EXPECT_EQ(CryptoHandlerTesting::pinFor(Bytes{0x01, 0xff}), "0030");
  EXPECT_EQ(CryptoHandlerTesting::pinFor(Bytes{0x80}), "0128");
  EXPECT_EQ(CryptoHandlerTesting::pinFor(Bytes{0x7f}), "0127");
  EXPECT_EQ(CryptoHandlerTesting::pinFor(Bytes{}), "0000");
  EXPECT_EQ(CryptoHandlerTesting::pinWithoutKeys(), "0000");
  // 0x7f then thirty-one 0x80: every step stays within four digits.
  Bytes mixed(32, 0x80);
  mixed[0] = 0x7f;
  EXPECT_EQ(CryptoHandlerTesting::pinFor(mixed).size(), 4u);
}

TEST(CryptoHandlerHandshake, DerivingWithoutKeysFailsAndStoresNothing) {
  CryptoHandler handler;
  expectError([&] { CryptoHandlerTesting::deriveSessionKeys(handler); }, CryptoError::missingKeys);
  expectError([&] { handler.encrypt(Bytes{1}, 1); }, CryptoError::notInitialized);
  EXPECT_TRUE(CryptoHandlerTesting::serverInitWithoutKey().empty());
}

struct ClientInitCase {
  const char* name;
  Bytes message;
  std::vector<std::string> lines;  // after the "Processing" line
};

TEST(CryptoHandlerHandshake, RefusesClientInitsWithoutAUsableCommitmentAndWaitsForAValidOne) {
  const std::string noCommitment = "[CryptoHandler] No P256_SHA512 cipher commitment found";
  const std::vector<ClientInitCase> cases{
      {"wrong type", ukey2Message(securegcm::Ukey2Message::CLIENT_FINISH, Bytes{}),
       {"[CryptoHandler] Expected CLIENT_INIT, got 4"}},
      {"absent type", ukey2Message(std::nullopt, clientInit({{securegcm::P256_SHA512, Bytes(64, 1)}})),
       {"[CryptoHandler] Expected CLIENT_INIT, got 0"}},
      {"no message data", ukey2Message(securegcm::Ukey2Message::CLIENT_INIT, std::nullopt),
       {"[CryptoHandler] WARNING: Unexpected nextProtocol: ''", noCommitment}},
      {"curve25519 only", clientInit({{securegcm::CURVE25519_SHA512, Bytes(64, 1)}}), {noCommitment}},
      {"cipher absent", clientInit({{std::nullopt, Bytes(64, 1)}}), {noCommitment}},
  };
  for (const auto& c : cases) {
    LogCapture log;
    CryptoHandler handler;
    expectError([&] { handler.processHandshakeMessage(c.message); }, CryptoError::invalidMessage);
    auto lines = log.lines();
    ASSERT_FALSE(lines.empty()) << c.name;
    EXPECT_EQ(lines.front(), "[CryptoHandler] Processing CLIENT_INIT (" + std::to_string(c.message.size()) + " bytes)");
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end()), c.lines) << c.name;

    // The failed step left the handler waiting: a valid exchange still completes.
    test::Ukey2Initiator initiator;
    const auto reply = handler.processHandshakeMessage(initiator.clientInit());
    ASSERT_EQ(reply.kind, HandshakeResult::Kind::sendToPeer) << c.name;
    EXPECT_EQ(handler.processHandshakeMessage(initiator.clientFinish(reply.reply)).pin, initiator.pin()) << c.name;
  }
}

TEST(CryptoHandlerHandshake, UnparsableClientInitRethrowsTheParseError) {
  CryptoHandler handler;
  expectError([&] { handler.processHandshakeMessage(Bytes{0xff, 0xff, 0xff}); }, MessageError::malformed);
  const Bytes badInner = ukey2Message(securegcm::Ukey2Message::CLIENT_INIT, Bytes{0x0a, 0x05});
  expectError([&] { handler.processHandshakeMessage(badInner); }, MessageError::malformed);
}

TEST(CryptoHandlerHandshake, AcceptsAnyNextProtocolWithAWarning) {
  for (const std::optional<std::string>& protocol : {std::optional<std::string>{}, std::optional<std::string>{"AES_256_GCM"}}) {
    LogCapture log;
    CryptoHandler handler;
    test::Ukey2Initiator initiator;
    const Bytes init = clientInit({{securegcm::P256_SHA512, Hash::sha512(initiator.clientFinishMessage())}}, protocol);
    EXPECT_EQ(handler.processHandshakeMessage(init).kind, HandshakeResult::Kind::sendToPeer);
    EXPECT_TRUE(log.contains("[CryptoHandler] WARNING: Unexpected nextProtocol: '" + protocol.value_or("") + "'"));
  }
}

TEST(CryptoHandlerHandshake, LaterP256CommitmentWins) {
  test::Ukey2Initiator initiator;
  const Bytes right = Hash::sha512(initiator.clientFinishMessage());
  const Bytes wrong(64, 0x01);
  {
    CryptoHandler handler;
    handler.processHandshakeMessage(clientInit({{securegcm::P256_SHA512, wrong}, {securegcm::CURVE25519_SHA512, wrong},
                                                {securegcm::P256_SHA512, right}}));
    EXPECT_NO_THROW(handler.processHandshakeMessage(initiator.clientFinishMessage()));
  }
  {
    LogCapture log;
    CryptoHandler handler;
    handler.processHandshakeMessage(clientInit({{securegcm::P256_SHA512, right}, {securegcm::P256_SHA512, wrong}}));
    expectError([&] { handler.processHandshakeMessage(initiator.clientFinishMessage()); }, CryptoError::invalidMessage);
    EXPECT_TRUE(log.contains("[CryptoHandler] Cipher commitment verification failed"));
  }
  {
    CryptoHandler handler;  // a commitment left absent reads as empty and matches nothing
    handler.processHandshakeMessage(clientInit({{securegcm::P256_SHA512, std::nullopt}}));
    expectError([&] { handler.processHandshakeMessage(initiator.clientFinishMessage()); }, CryptoError::invalidMessage);
  }
}

// A failed CLIENT_FINISH leaves the handler waiting for the right one.
TEST(CryptoHandlerHandshake, FailedClientFinishDoesNotAdvance) {
  CryptoHandler handler;
  test::Ukey2Initiator initiator;
  const auto reply = handler.processHandshakeMessage(initiator.clientInit());
  const Bytes finish = initiator.clientFinish(reply.reply);
  Bytes altered = finish;
  altered.back() ^= 0x01;
  expectError([&] { handler.processHandshakeMessage(altered); }, CryptoError::invalidMessage);
  expectError([&] { handler.decrypt(initiator.encrypt(Bytes{1}, 1)); }, CryptoError::notInitialized);
  const auto done = handler.processHandshakeMessage(finish);
  EXPECT_EQ(done.kind, HandshakeResult::Kind::handshakeComplete);
  EXPECT_EQ(done.pin, initiator.pin());
}

struct FinishCase {
  const char* name;
  Bytes finish;
  std::string line;
};

Bytes genericKeyFinish(const securemessage::GenericPublicKey& key) {
  securegcm::Ukey2ClientFinished finished;
  finished.set_public_key(byteString(MessageCodec::serialize(key)));
  return ukey2Message(securegcm::Ukey2Message::CLIENT_FINISH, MessageCodec::serialize(finished));
}

TEST(CryptoHandlerHandshake, RefusesClientFinishWithoutAValidKey) {
  securemessage::GenericPublicKey noEcKey;
  noEcKey.set_type(securemessage::GenericPublicKey::EC_P256);
  securemessage::GenericPublicKey offCurve = noEcKey;
  offCurve.mutable_ec_p256_public_key()->set_x(std::string(32, '\x01'));
  offCurve.mutable_ec_p256_public_key()->set_y(std::string(32, '\x02'));
  const std::vector<FinishCase> cases{
      {"wrong type", ukey2Message(securegcm::Ukey2Message::CLIENT_INIT, Bytes{}),
       "[CryptoHandler] Expected CLIENT_FINISH, got 2"},
      {"absent type", ukey2Message(std::nullopt, Bytes{}), "[CryptoHandler] Expected CLIENT_FINISH, got 0"},
      {"no public key", ukey2Message(securegcm::Ukey2Message::CLIENT_FINISH, Bytes{}),
       "[CryptoHandler] ClientFinished missing publicKey"},
      {"no ec key", genericKeyFinish(noEcKey), "[CryptoHandler] GenericPublicKey missing ecP256PublicKey"},
      {"off the curve", genericKeyFinish(offCurve), "[CryptoHandler] P256 key validation failed: "},
  };
  for (const auto& c : cases) {
    LogCapture log;
    CryptoHandler handler;
    handler.processHandshakeMessage(committingTo(c.finish));
    expectError([&] { handler.processHandshakeMessage(c.finish); }, CryptoError::invalidPublicKey);
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 4u) << c.name;
    EXPECT_EQ(lines[3].substr(0, c.line.size()), c.line) << c.name;
  }
}

TEST(CryptoHandlerHandshake, UnparsableClientFinishRethrowsTheParseError) {
  securemessage::EcP256PublicKey point;
  point.set_x(std::string(32, '\x01'));
  point.set_y(std::string(32, '\x02'));
  Bytes withoutType{0x12, 0x44};  // GenericPublicKey with its key but without the required type
  const Bytes pointBytes = MessageCodec::serialize(point);
  ASSERT_EQ(pointBytes.size(), 0x44u);
  withoutType.insert(withoutType.end(), pointBytes.begin(), pointBytes.end());
  securegcm::Ukey2ClientFinished finished;
  finished.set_public_key(byteString(withoutType));
  const Bytes notAKey = ukey2Message(securegcm::Ukey2Message::CLIENT_FINISH, MessageCodec::serialize(finished));
  CryptoHandler handler;
  handler.processHandshakeMessage(committingTo(notAKey));
  expectError([&] { handler.processHandshakeMessage(notAKey); }, MessageError::missingRequiredFields);
}

// The sender's coordinates come to exactly 32 bytes whatever their length:
// longer ones keep their last 32 bytes, shorter ones get leading zeros.
TEST(CryptoHandlerHandshake, SenderCoordinatesOfAnyLengthComeToThirtyTwoBytes) {
  const std::vector<std::pair<const char*, test::Ukey2Initiator::CoordinateEncoding>> encodings{
      {"33 bytes with a zero byte", [](ByteView c) { Bytes out{0x00}; out.insert(out.end(), c.begin(), c.end()); return out; }},
      {"34 bytes with junk in front", [](ByteView c) { Bytes out{0xff, 0x01}; out.insert(out.end(), c.begin(), c.end()); return out; }},
      {"leading zeros trimmed", [](ByteView c) {
         while (c.size() > 1 && c[0] == 0) c = c.subspan(1);
         return Bytes(c.begin(), c.end());
       }},
  };
  for (const auto& [name, encoding] : encodings) {
    // Keep drawing until the x coordinate begins with a zero byte, so the short form is really short.
    for (int attempt = 0; attempt < 4096; ++attempt) {
      test::Ukey2Initiator initiator(encoding);
      if (std::string(name) == "leading zeros trimmed" && initiator.publicKey()[1] != 0x00) continue;
      CryptoHandler handler;
      const auto reply = handler.processHandshakeMessage(initiator.clientInit());
      const auto done = handler.processHandshakeMessage(initiator.clientFinish(reply.reply));
      EXPECT_EQ(done.pin, initiator.pin()) << name;
      break;
    }
  }
}

}  // namespace
}  // namespace orvel
