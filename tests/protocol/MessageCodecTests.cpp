#include "protocol/MessageCodec.h"

#include <google/protobuf/descriptor.pb.h>
#include <google/protobuf/dynamic_message.h>
#include <gtest/gtest.h>

#include "offline_wire_formats.pb.h"
#include "protocol/MessageTestSupport.h"
#include "securemessage.pb.h"
#include "ukey.pb.h"
#include "wire_format.pb.h"

namespace orvel {
namespace {

namespace lnc = location::nearby::connections;
using test::hexBytes;
using test::parseAs;

struct FailureCase {
  const char* name;
  const google::protobuf::Message* type;
  const char* input;
  MessageError error;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class MessageCodecFailure : public testing::TestWithParam<FailureCase> {};

TEST_P(MessageCodecFailure, YieldsTheErrorAndNoMessage) {
  const auto& c = GetParam();
  try {
    parseAs(*c.type, c.input);
    FAIL() << "parsed";
  } catch (MessageError error) {
    EXPECT_EQ(error, c.error) << toString(error);
  }
}

const auto* offlineFrame = &lnc::OfflineFrame::default_instance();

INSTANTIATE_TEST_SUITE_P(
    Malformed, MessageCodecFailure,
    testing::Values(
        FailureCase{"FieldNumberZero", offlineFrame, "00 01", MessageError::malformed},
        FailureCase{"FieldNumberZeroAfterAField", offlineFrame, "08 01 00 00", MessageError::malformed},
        FailureCase{"WireType6", offlineFrame, "0e 01", MessageError::malformed},
        FailureCase{"WireType7", offlineFrame, "0f 00 00 00 00", MessageError::malformed},
        // The runtime alone would take the key modulo 2^32, as field 1: version V1.
        FailureCase{"KeyBeyond32Bits", offlineFrame, "88 80 80 80 10 01", MessageError::malformed},
        FailureCase{"KeyBeyond32BitsInNestedMessage", offlineFrame, "12 06 88 80 80 80 10 01",
                    MessageError::malformed},
        FailureCase{"KeyBeyond32BitsInUnknownGroup", offlineFrame, "7b 88 80 80 80 10 01 7c",
                    MessageError::malformed},
        FailureCase{"KeyBeyond32BitsAfterInvalidUtf8", offlineFrame, "12 05 12 03 0a 01 ff 88 80 80 80 10 01",
                    MessageError::malformed},
        FailureCase{"VarintOfElevenBytes", offlineFrame, "08 80 80 80 80 80 80 80 80 80 80 01",
                    MessageError::malformed},
        FailureCase{"EndsInsideKey", offlineFrame, "80", MessageError::malformed},
        FailureCase{"EndsAfterKey", offlineFrame, "08", MessageError::malformed},
        FailureCase{"EndsInsideVarint", offlineFrame, "08 81", MessageError::malformed},
        FailureCase{"EndsInsideLength", offlineFrame, "12 80", MessageError::malformed},
        FailureCase{"LengthPastInput", offlineFrame, "12 05 08 01", MessageError::malformed},
        FailureCase{"EndsInsideFixed64", offlineFrame, "79 01 02 03", MessageError::malformed},
        FailureCase{"EndsInsideFixed32", offlineFrame, "7d 01 02", MessageError::malformed},
        // The V1Frame claims 2 bytes, the endpoint id inside it 5, though the input goes on.
        FailureCase{"NestedLengthPastItsEnclosingMessage", offlineFrame, "12 04 12 02 0a 05 41 42 43 44 45",
                    MessageError::malformed},
        FailureCase{"StrayEndGroup", offlineFrame, "0c", MessageError::malformed},
        FailureCase{"UnclosedGroup", offlineFrame, "7b 08 01", MessageError::malformed},
        FailureCase{"NestedStrayEndGroup", offlineFrame, "12 01 0c", MessageError::malformed},
        FailureCase{"BadNestedBodyFailsTheFrame", offlineFrame, "08 01 12 04 2a 02 12 05",
                    MessageError::malformed}),
    [](const auto& param) { return std::string(param.param.name); });

INSTANTIATE_TEST_SUITE_P(
    InvalidUtf8, MessageCodecFailure,
    testing::Values(
        // endpoint_id = ff inside OfflineFrame.v1.connection_request
        FailureCase{"EndpointIdInFrame", offlineFrame, "12 05 12 03 0a 01 ff", MessageError::invalidUtf8},
        // OfflineFrame > V1Frame > BandwidthUpgradeNegotiationFrame > UpgradePathInfo > WebRtcCredentials > LocationHint
        FailureCase{"SixLevelsDeep", offlineFrame, "12 0b 2a 09 12 07 3a 05 12 03 0a 01 ff", MessageError::invalidUtf8},
        // second file entry of an introduction holds name = c0 80
        FailureCase{"SecondEntryOfRepeatedMessage", &sharing::nearby::Frame::default_instance(),
                    "12 0e 12 0c 0a 03 0a 01 41 0a 05 0a 03 41 c0 80", MessageError::invalidUtf8},
        FailureCase{"AlertErrorMessage", &securegcm::Ukey2Alert::default_instance(), "12 02 ed a0",
                    MessageError::invalidUtf8},
        FailureCase{"LocationHint", &lnc::LocationHint::default_instance(), "0a 01 ff", MessageError::invalidUtf8},
        // a later valid value does not cover an invalid earlier one: both were met
        FailureCase{"ReplacedByValidValue", &lnc::ClientIntroduction::default_instance(), "0a 01 ff 0a 01 41",
                    MessageError::invalidUtf8},
        // the frame's second v1 merges in and replaces the endpoint id that was invalid
        FailureCase{"ReplacedInMergedBody", offlineFrame, "12 05 12 03 0a 01 ff 12 05 12 03 0a 01 41",
                    MessageError::invalidUtf8}),
    [](const auto& param) { return std::string(param.param.name); });

INSTANTIATE_TEST_SUITE_P(
    RequiredFields, MessageCodecFailure,
    testing::Values(
        FailureCase{"SecureMessageWithoutSignature", &securemessage::SecureMessage::default_instance(),
                    "0a 03 0a 01 78", MessageError::missingRequiredFields},
        FailureCase{"EmptySecureMessage", &securemessage::SecureMessage::default_instance(), "",
                    MessageError::missingRequiredFields},
        FailureCase{"HeaderWithUnlistedSignatureScheme", &securemessage::Header::default_instance(), "08 00",
                    MessageError::missingRequiredFields},
        FailureCase{"HeaderAndBodyWithIncompleteHeader", &securemessage::HeaderAndBody::default_instance(),
                    "0a 00 12 00", MessageError::missingRequiredFields}),
    [](const auto& param) { return std::string(param.param.name); });

struct Utf8Case {
  const char* text;  // hex
  bool valid;
};

void PrintTo(const Utf8Case& c, std::ostream* os) { *os << c.text; }

class MessageCodecUtf8 : public testing::TestWithParam<Utf8Case> {};

TEST_P(MessageCodecUtf8, StringFieldAcceptsExactlyValidUtf8) {
  Bytes text = hexBytes(GetParam().text);
  Bytes input = {0x12, static_cast<std::uint8_t>(text.size())};  // endpoint_name
  input.insert(input.end(), text.begin(), text.end());
  if (GetParam().valid) {
    auto frame = MessageCodec::parse<lnc::ConnectionRequestFrame>(input);
    EXPECT_EQ(Bytes(frame.endpoint_name().begin(), frame.endpoint_name().end()), text);
  } else {
    try {
      MessageCodec::parse<lnc::ConnectionRequestFrame>(input);
      FAIL() << "parsed";
    } catch (MessageError error) {
      EXPECT_EQ(error, MessageError::invalidUtf8);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, MessageCodecUtf8,
    testing::Values(Utf8Case{"", true}, Utf8Case{"41 42 7f", true}, Utf8Case{"c3 a9", true},
                    Utf8Case{"e2 82 ac", true}, Utf8Case{"ef bf bf", true}, Utf8Case{"f0 9d 84 9e", true},
                    Utf8Case{"f4 8f bf bf", true}, Utf8Case{"00", true},
                    Utf8Case{"ff", false}, Utf8Case{"80", false}, Utf8Case{"c0 80", false},
                    Utf8Case{"c1 bf", false}, Utf8Case{"e0 9f bf", false}, Utf8Case{"ed a0 80", false},
                    Utf8Case{"ed bf bf", false}, Utf8Case{"f0 8f bf bf", false}, Utf8Case{"f4 90 80 80", false},
                    Utf8Case{"f5 80 80 80", false}, Utf8Case{"e2 82", false}, Utf8Case{"41 c3", false},
                    Utf8Case{"c3 41", false}, Utf8Case{"f0 9d 84 41", false}));

TEST(MessageCodecUtf8, BytesFieldsAndUnknownFieldsTakeAnyBytes) {
  EXPECT_EQ(MessageCodec::parse<lnc::WifiLanSocket>(hexBytes("0a 01 ff")).ip_address(), "\xff");
  auto chunk = MessageCodec::parse<lnc::PayloadChunk>(hexBytes("1a 02 c0 80"));
  EXPECT_EQ(chunk.body(), "\xc0\x80");
  // field 3 is unlisted in CancelFrame, so its invalid text is opaque
  EXPECT_NO_THROW(MessageCodec::parse<sharing::nearby::CancelFrame>(hexBytes("1a 01 ff")));
}

// No schema type contains itself (the deepest path is six levels), so the
// nesting limit is shown with a self-nesting type built at run time.
class MessageCodecNesting : public testing::Test {
 protected:
  MessageCodecNesting() {
    google::protobuf::FileDescriptorProto file;
    file.set_name("nesting_test.proto");
    file.set_syntax("proto2");
    auto* node = file.add_message_type();
    node->set_name("Node");
    auto* child = node->add_field();
    child->set_name("child");
    child->set_number(1);
    child->set_label(google::protobuf::FieldDescriptorProto::LABEL_OPTIONAL);
    child->set_type(google::protobuf::FieldDescriptorProto::TYPE_MESSAGE);
    child->set_type_name(".Node");
    prototype_ = factory_.GetPrototype(pool_.BuildFile(file)->message_type(0));
  }

  // `levels` messages, each the child of the one before.
  static Bytes nested(int levels) {
    Bytes bytes;
    for (int level = 1; level < levels; ++level) {
      Bytes outer = {0x0a};
      for (std::size_t n = bytes.size(); ; n >>= 7) {
        outer.push_back(static_cast<std::uint8_t>(n < 0x80 ? n : (n & 0x7f) | 0x80));
        if (n < 0x80) break;
      }
      outer.insert(outer.end(), bytes.begin(), bytes.end());
      bytes = std::move(outer);
    }
    return bytes;
  }

  google::protobuf::DescriptorPool pool_;
  google::protobuf::DynamicMessageFactory factory_;
  const google::protobuf::Message* prototype_;
};

TEST_F(MessageCodecNesting, HundredLevelsParseAndHundredAndOneFail) {
  std::unique_ptr<google::protobuf::Message> message(prototype_->New());
  EXPECT_NO_THROW(MessageCodec::parseInto(*message, nested(100)));
  EXPECT_EQ(MessageCodec::serialize(*message), nested(100));
  try {
    MessageCodec::parseInto(*message, nested(101));
    FAIL() << "parsed";
  } catch (MessageError error) {
    EXPECT_EQ(error, MessageError::malformed);
  }
  EXPECT_EQ(message->ByteSizeLong(), 0u) << "a failed parse leaves nothing behind";
}

TEST_F(MessageCodecNesting, GroupsInUnknownFieldsCountAsLevels) {
  // Unknown groups nest without a length; they must not get around the limit.
  auto groups = [](int depth) {
    Bytes bytes(depth, 0x7b);               // field 15, start group
    bytes.insert(bytes.end(), depth, 0x7c);  // field 15, end group
    return bytes;
  };
  EXPECT_NO_THROW(MessageCodec::parse<lnc::OfflineFrame>(groups(99)));
  EXPECT_THROW(MessageCodec::parse<lnc::OfflineFrame>(groups(100)), MessageError);
  EXPECT_THROW(MessageCodec::parse<lnc::OfflineFrame>(groups(100000)), MessageError);
}

TEST(MessageCodecNestingSchema, DeepestSchemaPathParses) {
  auto frame = MessageCodec::parse<lnc::OfflineFrame>(hexBytes("12 0b 2a 09 12 07 3a 05 12 03 12 01 78"));
  EXPECT_EQ(frame.v1().bandwidth_upgrade_negotiation().upgrade_path_info().web_rtc_credentials()
                .location_hint().format(), "x");
}

TEST(MessageCodecParse, FailureLeavesTheTargetEmpty) {
  lnc::OfflineFrame frame;
  frame.set_version(lnc::OfflineFrame::V1);
  EXPECT_THROW(MessageCodec::parseInto(frame, hexBytes("08 01 12 05 12 03 0a 01 ff")), MessageError);
  EXPECT_FALSE(frame.has_version());
  EXPECT_FALSE(frame.has_v1());
}

TEST(MessageCodecParse, NeverMergesIntoEarlierContent) {
  lnc::OfflineFrame frame;
  frame.mutable_v1()->set_type(lnc::V1Frame::KEEP_ALIVE);
  MessageCodec::parseInto(frame, hexBytes("08 01"));
  EXPECT_FALSE(frame.has_v1());
}

TEST(MessageCodecSerialize, RefusesMissingRequiredFields) {
  securemessage::SecureMessage message;
  message.set_header_and_body("x");
  EXPECT_THROW(MessageCodec::serialize(message), MessageError);
  message.set_signature("");
  EXPECT_EQ(hexString(MessageCodec::serialize(message)), "0a01781200");

  securemessage::HeaderAndBody headerAndBody;
  headerAndBody.set_body("b");
  headerAndBody.mutable_header()->set_iv("i");
  try {
    MessageCodec::serialize(headerAndBody);
    FAIL() << "serialised";
  } catch (MessageError error) {
    EXPECT_EQ(error, MessageError::missingRequiredFields);
  }
}

TEST(MessageCodecLog, RuntimeDiagnosticsNeverReachTheTerminal) {
  testing::internal::CaptureStderr();
  EXPECT_THROW(MessageCodec::parse<lnc::OfflineFrame>(hexBytes("12 05 12 03 0a 01 ff")), MessageError);
  EXPECT_THROW(MessageCodec::parse<securemessage::SecureMessage>(hexBytes("0a 00")), MessageError);
  EXPECT_THROW(MessageCodec::serialize(securemessage::GenericPublicKey()), MessageError);
  EXPECT_THROW(MessageCodec::parse<lnc::OfflineFrame>(hexBytes("0f")), MessageError);
  lnc::ConnectionRequestFrame invalidText;
  invalidText.set_endpoint_name("\xff");
  EXPECT_NO_THROW(MessageCodec::serialize(invalidText));
  // the runtime's own complaint, which it writes even in release builds
  securemessage::SecureMessage incomplete;
  EXPECT_FALSE(incomplete.ParseFromString(std::string("\x0a\x00", 2)));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

struct EnumNameCase {
  std::string shown;
  std::string expected;
};

void PrintTo(const EnumNameCase& c, std::ostream* os) { *os << c.expected; }

class MessageCodecDisplayName : public testing::TestWithParam<EnumNameCase> {};

TEST_P(MessageCodecDisplayName, IsLowerCamelCaseOfTheProtoName) { EXPECT_EQ(GetParam().shown, GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    EnumValues, MessageCodecDisplayName,
    testing::Values(
        EnumNameCase{MessageCodec::displayName(lnc::V1Frame::UNKNOWN_FRAME_TYPE), "unknownFrameType"},
        EnumNameCase{MessageCodec::displayName(lnc::V1Frame::KEEP_ALIVE), "keepAlive"},
        EnumNameCase{MessageCodec::displayName(lnc::V1Frame::BANDWIDTH_UPGRADE_NEGOTIATION),
                     "bandwidthUpgradeNegotiation"},
        EnumNameCase{MessageCodec::displayName(lnc::PayloadTransferFrame::PAYLOAD_ACK), "payloadAck"},
        EnumNameCase{MessageCodec::displayName(lnc::OfflineFrame::V1), "v1"},
        EnumNameCase{MessageCodec::displayName(lnc::OfflineFrame::UNKNOWN_VERSION), "unknownVersion"},
        EnumNameCase{MessageCodec::displayName(lnc::OsInfo::CHROME_OS), "chromeOs"},
        EnumNameCase{MessageCodec::displayName(sharing::nearby::CHROMEOS), "chromeos"},
        EnumNameCase{MessageCodec::displayName(securemessage::AES_256_CBC), "aes256Cbc"},
        EnumNameCase{MessageCodec::displayName(securemessage::NONE), "none"},
        EnumNameCase{MessageCodec::displayName(securemessage::RSA2048_SHA256), "rsa2048Sha256"},
        EnumNameCase{MessageCodec::displayName(securemessage::GenericPublicKey::DH2048_MODP), "dh2048Modp"},
        EnumNameCase{MessageCodec::displayName(securegcm::P256_SHA512), "p256Sha512"},
        EnumNameCase{MessageCodec::displayName(securegcm::CURVE25519_SHA512), "curve25519Sha512"},
        EnumNameCase{MessageCodec::displayName(securegcm::GcmMetadata::DEVICE_TO_DEVICE_MESSAGE),
                     "deviceToDeviceMessage"},
        EnumNameCase{MessageCodec::displayName(lnc::UpgradePathInfo::BLE_L2CAP), "bleL2Cap"},
        EnumNameCase{MessageCodec::displayName(lnc::UpgradePathInfo::WEB_RTC), "webRtc"},
        EnumNameCase{MessageCodec::displayName(lnc::ConnectionResponseFrame::ACCEPT), "accept"},
        EnumNameCase{MessageCodec::displayName(lnc::ConnectionResponseFrame::UNKNOWN_RESPONSE_STATUS),
                     "unknownResponseStatus"},
        EnumNameCase{MessageCodec::displayName(sharing::nearby::ConnectionResponseFrame::NOT_ENOUGH_SPACE),
                     "notEnoughSpace"},
        EnumNameCase{MessageCodec::displayName(static_cast<lnc::OsInfo::OsType>(5)), "5"}));

INSTANTIATE_TEST_SUITE_P(
    MessageTypes, MessageCodecDisplayName,
    testing::Values(
        EnumNameCase{MessageCodec::typeDisplayName(lnc::ControlMessage()),
                     "Orvel.Location_Nearby_Connections_ControlMessage"},
        EnumNameCase{MessageCodec::typeDisplayName(lnc::V1Frame()), "Orvel.Location_Nearby_Connections_V1Frame"},
        EnumNameCase{MessageCodec::typeDisplayName(sharing::nearby::V1Frame()), "Orvel.Sharing_Nearby_V1Frame"},
        EnumNameCase{MessageCodec::typeDisplayName(securegcm::Ukey2Message()), "Orvel.Securegcm_Ukey2Message"},
        EnumNameCase{MessageCodec::typeDisplayName(securemessage::SecureMessage()),
                     "Orvel.Securemessage_SecureMessage"},
        EnumNameCase{MessageCodec::typeDisplayName(securegcm::Ukey2ClientInit::CipherCommitment()),
                     "Orvel.Securegcm_Ukey2ClientInit.CipherCommitment"}));

}  // namespace
}  // namespace orvel
