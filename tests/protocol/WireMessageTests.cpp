// Worked byte examples of the wire messages: what building writes, what
// parsing keeps (known fields, presence, unknown fields) and what goes back out.

#include <google/protobuf/util/message_differencer.h>
#include <gtest/gtest.h>

#include <functional>

#include "offline_wire_formats.pb.h"
#include "protocol/MessageTestSupport.h"
#include "securemessage.pb.h"
#include "ukey.pb.h"
#include "wire_format.pb.h"

namespace orvel {
namespace {

namespace lnc = location::nearby::connections;
namespace sn = sharing::nearby;
using google::protobuf::Message;
using google::protobuf::util::MessageDifferencer;
using test::as;
using test::hexText;
using test::parseAs;
using test::serializedHex;
using test::unknownFieldsHex;

template <class M>
std::function<std::unique_ptr<Message>()> build(std::function<void(M&)> fill) {
  return [fill] {
    auto message = std::make_unique<M>();
    fill(*message);
    return std::unique_ptr<Message>(std::move(message));
  };
}

struct BuildCase {
  const char* name;
  std::function<std::unique_ptr<Message>()> make;
  const char* written;
};

void PrintTo(const BuildCase& c, std::ostream* os) { *os << c.name; }

class WireMessageBuilt : public testing::TestWithParam<BuildCase> {};

TEST_P(WireMessageBuilt, SerialisesToItsBytesAndParsesBackEqual) {
  auto message = GetParam().make();
  ASSERT_EQ(serializedHex(*message), hexText(GetParam().written));
  auto parsed = parseAs(*message, GetParam().written);
  EXPECT_TRUE(MessageCodec::equal(*parsed, *message));
  EXPECT_TRUE(MessageDifferencer::Equals(*parsed, *message));
}

const char* const kMinusOne = "ff ff ff ff ff ff ff ff ff 01";

INSTANTIATE_TEST_SUITE_P(
    Connections, WireMessageBuilt,
    testing::Values(
        BuildCase{"VersionWrittenAsZero", build<lnc::OfflineFrame>([](auto& m) {
                    m.set_version(lnc::OfflineFrame::UNKNOWN_VERSION);
                  }), "08 00"},
        BuildCase{"NothingWritten", build<lnc::OfflineFrame>([](auto&) {}), ""},
        BuildCase{"NonceMinusOneTakesTenBytes", build<lnc::ConnectionRequestFrame>([](auto& m) { m.set_nonce(-1); }),
                  "20 ff ff ff ff ff ff ff ff ff 01"},
        BuildCase{"MediumsUnpackedInOrder", build<lnc::ConnectionRequestFrame>([](auto& m) {
                    m.add_mediums(2);
                    m.add_mediums(3);
                    m.add_mediums(2);
                  }), "28 02 28 03 28 02"},
        BuildCase{"OwnConnectionResponse", build<lnc::OfflineFrame>([](auto& m) {
                    m.set_version(lnc::OfflineFrame::V1);
                    m.mutable_v1()->set_type(lnc::V1Frame::CONNECTION_RESPONSE);
                    auto* response = m.mutable_v1()->mutable_connection_response();
                    response->set_status(0);
                    response->set_response(lnc::ConnectionResponseFrame::ACCEPT);
                    response->mutable_os_info()->set_type(lnc::OsInfo::APPLE);
                  }), "08 01 12 0c 08 02 1a 08 08 00 18 01 22 02 08 04"},
        BuildCase{"KeepAliveAnswer", build<lnc::OfflineFrame>([](auto& m) {
                    m.set_version(lnc::OfflineFrame::V1);
                    m.mutable_v1()->set_type(lnc::V1Frame::KEEP_ALIVE);
                    m.mutable_v1()->mutable_keep_alive()->set_ack(false);
                  }), "08 01 12 06 08 05 32 02 08 00"},
        BuildCase{"CompletionNotice", build<lnc::OfflineFrame>([](auto& m) {
                    m.set_version(lnc::OfflineFrame::V1);
                    m.mutable_v1()->set_type(lnc::V1Frame::DISCONNECTION);
                    m.mutable_v1()->mutable_disconnection()->set_ack_safe_to_disconnect(true);
                  }), "08 01 12 06 08 06 3a 02 10 01"},
        BuildCase{"EmptyBodyPresent", build<lnc::V1Frame>([](auto& m) {
                    m.set_type(lnc::V1Frame::DISCONNECTION);
                    m.mutable_disconnection();
                  }), "08 06 3a 00"},
        BuildCase{"BodyAbsent", build<lnc::V1Frame>([](auto& m) { m.set_type(lnc::V1Frame::DISCONNECTION); }), "08 06"},
        BuildCase{"StatusWrittenAsZero", build<lnc::ConnectionResponseFrame>([](auto& m) { m.set_status(0); }),
                  "08 00"},
        BuildCase{"ChunkFlagsAndOffset", build<lnc::PayloadChunk>([](auto& m) {
                    m.set_flags(1);
                    m.set_offset(5);
                  }), "08 01 10 05"},
        BuildCase{"ChunkEmptyBodyPresent", build<lnc::PayloadChunk>([](auto& m) { m.set_body(""); }), "1a 00"},
        BuildCase{"ChunkFlagsMinusOne", build<lnc::PayloadChunk>([](auto& m) { m.set_flags(-1); }),
                  "08 ff ff ff ff ff ff ff ff ff 01"},
        BuildCase{"HeaderIdMinusOne", build<lnc::PayloadHeader>([](auto& m) { m.set_id(-1); }),
                  "08 ff ff ff ff ff ff ff ff ff 01"},
        BuildCase{"ControlMessageOffsetZeroWritten", build<lnc::ControlMessage>([](auto& m) {
                    m.set_event(lnc::ControlMessage::PAYLOAD_CANCELED);
                    m.set_offset(0);
                  }), "08 02 10 00"},
        BuildCase{"KeepAliveAckFalse", build<lnc::KeepAliveFrame>([](auto& m) { m.set_ack(false); }), "08 00"},
        BuildCase{"KeepAliveAckAbsent", build<lnc::KeepAliveFrame>([](auto&) {}), ""},
        BuildCase{"OsInfoLinux", build<lnc::OsInfo>([](auto& m) { m.set_type(lnc::OsInfo::LINUX); }), "08 64"},
        BuildCase{"EmptyBeaconPresent", build<lnc::MediumMetadata>([](auto& m) { m.mutable_wifi_lan_beacon(); }),
                  "42 00"},
        BuildCase{"DisconnectionBothTrue", build<lnc::DisconnectionFrame>([](auto& m) {
                    m.set_request_safe_to_disconnect(true);
                    m.set_ack_safe_to_disconnect(true);
                  }), "08 01 10 01"},
        BuildCase{"ClientIntroductionAckEvent", build<lnc::BandwidthUpgradeNegotiationFrame>([](auto& m) {
                    m.set_event_type(lnc::BandwidthUpgradeNegotiationFrame::CLIENT_INTRODUCTION_ACK);
                    m.mutable_client_introduction_ack();
                  }), "08 06 22 00"},
        BuildCase{"SafeToClosePriorChannel", build<lnc::V1Frame>([](auto& m) {
                    m.set_type(lnc::V1Frame::BANDWIDTH_UPGRADE_NEGOTIATION);
                    m.mutable_bandwidth_upgrade_negotiation()->set_event_type(
                        lnc::BandwidthUpgradeNegotiationFrame::SAFE_TO_CLOSE_PRIOR_CHANNEL);
                  }), "08 04 2a 02 08 03"},
        BuildCase{"DisablingEncryptionFalse", build<lnc::UpgradePathInfo>([](auto& m) {
                    m.set_supports_disabling_encryption(false);
                  }), "40 00"},
        BuildCase{"ClientIntroductionAckSupported", build<lnc::UpgradePathInfo>([](auto& m) {
                    m.set_supports_client_introduction_ack(true);
                  }), "48 01"},
        BuildCase{"HotspotPortMinusOne", build<lnc::WifiHotspotCredentials>([](auto& m) { m.set_port(-1); }),
                  "18 ff ff ff ff ff ff ff ff ff 01"},
        BuildCase{"LocationHintFormatOnly", build<lnc::WebRtcCredentials>([](auto& m) {
                    m.mutable_location_hint()->set_format("x");
                  }), "12 03 12 01 78"}),
    [](const auto& param) { return std::string(param.param.name); });

INSTANTIATE_TEST_SUITE_P(
    HandshakeAndEnvelope, WireMessageBuilt,
    testing::Values(
        BuildCase{"Ukey2MessageNothingSet", build<securegcm::Ukey2Message>([](auto&) {}), ""},
        BuildCase{"Ukey2MessageTypeZero", build<securegcm::Ukey2Message>([](auto& m) {
                    m.set_message_type(securegcm::Ukey2Message::UNKNOWN_DO_NOT_USE);
                  }), "08 00"},
        BuildCase{"ClientInitWithoutCommitments", build<securegcm::Ukey2ClientInit>([](auto&) {}), ""},
        BuildCase{"ServerInitNothingSet", build<securegcm::Ukey2ServerInit>([](auto&) {}), ""},
        BuildCase{"CommitmentsInOrder", build<securegcm::Ukey2ClientInit>([](auto& m) {
                    m.add_cipher_commitments()->set_handshake_cipher(securegcm::CURVE25519_SHA512);
                    m.add_cipher_commitments()->set_handshake_cipher(securegcm::P256_SHA512);
                  }), "1a 03 08 c8 01 1a 02 08 64"},
        BuildCase{"GcmMetadataOfTheChannel", build<securegcm::GcmMetadata>([](auto& m) {
                    m.set_type(securegcm::GcmMetadata::DEVICE_TO_DEVICE_MESSAGE);
                    m.set_version(1);
                  }), "08 0d 10 01"},
        BuildCase{"SecureMessageEmptySignature", build<securemessage::SecureMessage>([](auto& m) {
                    m.set_header_and_body("x");
                    m.set_signature("");
                  }), "0a 01 78 12 00"},
        BuildCase{"RsaKeyWithoutExponent", build<securemessage::SimpleRsaPublicKey>([](auto& m) { m.set_n(""); }),
                  "0a 00"}),
    [](const auto& param) { return std::string(param.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Sharing, WireMessageBuilt,
    testing::Values(
        BuildCase{"ResponseAccept", build<sn::Frame>([](auto& m) {
                    m.set_version(sn::Frame::V1);
                    m.mutable_v1()->set_type(sn::V1Frame::RESPONSE);
                    m.mutable_v1()->mutable_connection_response()->set_status(sn::ConnectionResponseFrame::ACCEPT);
                  }), "08 01 12 06 08 02 1A 02 08 01"},
        BuildCase{"ResponseReject", build<sn::Frame>([](auto& m) {
                    m.set_version(sn::Frame::V1);
                    m.mutable_v1()->set_type(sn::V1Frame::RESPONSE);
                    m.mutable_v1()->mutable_connection_response()->set_status(sn::ConnectionResponseFrame::REJECT);
                  }), "08 01 12 06 08 02 1A 02 08 02"},
        BuildCase{"PairedKeyResult", build<sn::Frame>([](auto& m) {
                    m.set_version(sn::Frame::V1);
                    m.mutable_v1()->set_type(sn::V1Frame::PAIRED_KEY_RESULT);
                    m.mutable_v1()->mutable_paired_key_result()->set_status(sn::PairedKeyResultFrame::UNABLE);
                    m.mutable_v1()->mutable_paired_key_result()->set_os_type(sn::OSX);
                  }), "08 01 12 08 08 04 2A 04 08 03 10 03"},
        BuildCase{"StatusAndOsTypeZeroWritten", build<sn::PairedKeyResultFrame>([](auto& m) {
                    m.set_status(sn::PairedKeyResultFrame::UNKNOWN);
                    m.set_os_type(sn::UNKNOWN_OS_TYPE);
                  }), "08 00 10 00"},
        BuildCase{"IntroductionAndCancelTogether", build<sn::V1Frame>([](auto& m) {
                    m.set_type(sn::V1Frame::INTRODUCTION);
                    m.mutable_introduction();
                    m.mutable_cancel();
                  }), "08 01 12 00 32 00"},
        BuildCase{"FileIdOfEightBytes", build<sn::FileMetadata>([](auto& m) {
                    m.set_id(std::string("\x01\x02\x03\x04\x05\x06\x07\x00", 8));
                  }), "32 08 01 02 03 04 05 06 07 00"}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(WireMessageBuiltSharing, PairedKeyEncryptionIsNinetyBytes) {
  Bytes signedData = Data::random(72), secretIdHash = Data::random(6);
  sn::Frame frame;
  frame.set_version(sn::Frame::V1);
  frame.mutable_v1()->set_type(sn::V1Frame::PAIRED_KEY_ENCRYPTION);
  frame.mutable_v1()->mutable_paired_key_encryption()->set_signed_data(signedData.data(), signedData.size());
  frame.mutable_v1()->mutable_paired_key_encryption()->set_secret_id_hash(secretIdHash.data(), secretIdHash.size());
  Bytes expected = test::hexBytes("08 01 12 56 08 03 22 52 0A 48");
  expected.insert(expected.end(), signedData.begin(), signedData.end());
  expected.push_back(0x12);
  expected.push_back(0x06);
  expected.insert(expected.end(), secretIdHash.begin(), secretIdHash.end());
  EXPECT_EQ(MessageCodec::serialize(frame), expected);
  EXPECT_EQ(expected.size(), 90u);
}

struct ParseCase {
  const char* name;
  const Message* type;
  const char* input;
  const char* written;  // after parsing and serialising again
  const char* unknown;  // the top-level message's unknown fields
  std::function<void(const Message&)> check;
};

void PrintTo(const ParseCase& c, std::ostream* os) { *os << c.name; }

class WireMessageParsed : public testing::TestWithParam<ParseCase> {};

TEST_P(WireMessageParsed, KeepsKnownAndUnknownFieldsAndWritesThemBack) {
  const auto& c = GetParam();
  auto message = parseAs(*c.type, c.input);
  EXPECT_EQ(unknownFieldsHex(*message), hexText(c.unknown));
  EXPECT_EQ(serializedHex(*message), hexText(c.written));
  if (c.check) c.check(*message);
}

template <class M>
const Message* typeOf() {
  return &M::default_instance();
}

INSTANTIATE_TEST_SUITE_P(
    Connections, WireMessageParsed,
    testing::Values(
        ParseCase{"EmptyInput", typeOf<lnc::OfflineFrame>(), "", "", "",
                  [](const Message& m) {
                    const auto& frame = as<lnc::OfflineFrame>(m);
                    EXPECT_FALSE(frame.has_version());
                    EXPECT_FALSE(frame.has_v1());
                    EXPECT_EQ(frame.version(), lnc::OfflineFrame::UNKNOWN_VERSION);
                  }},
        ParseCase{"UnlistedVersion", typeOf<lnc::OfflineFrame>(), "08 02", "08 02", "08 02",
                  [](const Message& m) {
                    EXPECT_FALSE(as<lnc::OfflineFrame>(m).has_version());
                    EXPECT_EQ(as<lnc::OfflineFrame>(m).version(), lnc::OfflineFrame::UNKNOWN_VERSION);
                  }},
        ParseCase{"UnknownFieldGoesBehindKnownOnes", typeOf<lnc::OfflineFrame>(), "78 05 08 01", "08 01 78 05",
                  "78 05", [](const Message& m) { EXPECT_EQ(as<lnc::OfflineFrame>(m).version(), lnc::OfflineFrame::V1); }},
        ParseCase{"VersionSentLengthDelimited", typeOf<lnc::OfflineFrame>(), "0a 00", "0a 00", "0a 00",
                  [](const Message& m) { EXPECT_FALSE(as<lnc::OfflineFrame>(m).has_version()); }},
        ParseCase{"UnknownFieldsKeepTheirOrder", typeOf<lnc::OfflineFrame>(), "80 01 01 08 01 78 05 0b 08 01 0c",
                  "08 01 80 01 01 78 05 0b 08 01 0c", "80 01 01 78 05 0b 08 01 0c", nullptr},
        ParseCase{"ConnectionRequest", typeOf<lnc::OfflineFrame>(),
                  "08 01 12 11 08 01 12 0d 0a 04 41 42 43 44 12 05 50 68 6f 6e 65",
                  "08 01 12 11 08 01 12 0d 0a 04 41 42 43 44 12 05 50 68 6f 6e 65", "",
                  [](const Message& m) {
                    const auto& frame = as<lnc::OfflineFrame>(m);
                    EXPECT_EQ(frame.version(), lnc::OfflineFrame::V1);
                    EXPECT_EQ(frame.v1().type(), lnc::V1Frame::CONNECTION_REQUEST);
                    EXPECT_EQ(frame.v1().connection_request().endpoint_id(), "ABCD");
                    EXPECT_EQ(frame.v1().connection_request().endpoint_name(), "Phone");
                  }},
        ParseCase{"NonceMinusOne", typeOf<lnc::ConnectionRequestFrame>(), "20 ff ff ff ff ff ff ff ff ff 01",
                  "20 ff ff ff ff ff ff ff ff ff 01", "",
                  [](const Message& m) { EXPECT_EQ(as<lnc::ConnectionRequestFrame>(m).nonce(), -1); }},
        ParseCase{"MediumsUnpacked", typeOf<lnc::ConnectionRequestFrame>(), "28 05 28 0b", "28 05 28 0b", "",
                  [](const Message& m) {
                    const auto& mediums = as<lnc::ConnectionRequestFrame>(m).mediums();
                    EXPECT_EQ(std::vector<int>(mediums.begin(), mediums.end()), (std::vector<int>{5, 11}));
                  }},
        ParseCase{"MediumsPacked", typeOf<lnc::ConnectionRequestFrame>(), "2a 02 05 0b", "28 05 28 0b", "",
                  [](const Message& m) {
                    const auto& mediums = as<lnc::ConnectionRequestFrame>(m).mediums();
                    EXPECT_EQ(std::vector<int>(mediums.begin(), mediums.end()), (std::vector<int>{5, 11}));
                  }},
        ParseCase{"MediumsPackedAndUnpackedMixed", typeOf<lnc::ConnectionRequestFrame>(), "28 07 2a 02 05 0b 28 ff ff ff ff 0f",
                  "28 07 28 05 28 0b 28 ff ff ff ff ff ff ff ff ff 01", "",
                  [](const Message& m) { EXPECT_EQ(as<lnc::ConnectionRequestFrame>(m).mediums(3), -1); }},
        ParseCase{"StatusTwiceKeepsTheLast", typeOf<lnc::ConnectionResponseFrame>(), "08 05 08 07", "08 07", "",
                  [](const Message& m) { EXPECT_EQ(as<lnc::ConnectionResponseFrame>(m).status(), 7); }},
        ParseCase{"UnlistedFrameType", typeOf<lnc::V1Frame>(), "08 09", "08 09", "08 09",
                  [](const Message& m) {
                    EXPECT_FALSE(as<lnc::V1Frame>(m).has_type());
                    EXPECT_EQ(as<lnc::V1Frame>(m).type(), lnc::V1Frame::UNKNOWN_FRAME_TYPE);
                  }},
        ParseCase{"TypeDisagreesWithBody", typeOf<lnc::V1Frame>(), "08 05 12 00", "08 05 12 00", "",
                  [](const Message& m) {
                    const auto& frame = as<lnc::V1Frame>(m);
                    EXPECT_EQ(frame.type(), lnc::V1Frame::KEEP_ALIVE);
                    EXPECT_TRUE(frame.has_connection_request());
                    EXPECT_FALSE(frame.has_keep_alive());
                    EXPECT_FALSE(frame.keep_alive().has_ack());
                    EXPECT_FALSE(frame.has_keep_alive()) << "reading an absent body leaves it absent";
                  }},
        ParseCase{"RepeatedBodyMerges", typeOf<lnc::V1Frame>(), "12 03 0a 01 41 12 02 20 07",
                  "12 05 0a 01 41 20 07", "",
                  [](const Message& m) {
                    EXPECT_EQ(as<lnc::V1Frame>(m).connection_request().endpoint_id(), "A");
                    EXPECT_EQ(as<lnc::V1Frame>(m).connection_request().nonce(), 7);
                  }},
        ParseCase{"UnlistedResponse", typeOf<lnc::ConnectionResponseFrame>(), "18 03", "18 03", "18 03",
                  [](const Message& m) {
                    EXPECT_FALSE(as<lnc::ConnectionResponseFrame>(m).has_response());
                    EXPECT_EQ(as<lnc::ConnectionResponseFrame>(m).response(),
                              lnc::ConnectionResponseFrame::UNKNOWN_RESPONSE_STATUS);
                  }},
        ParseCase{"ChunkFlagsThree", typeOf<lnc::PayloadChunk>(), "08 03", "08 03", "",
                  [](const Message& m) { EXPECT_EQ(as<lnc::PayloadChunk>(m).flags(), 3); }},
        ParseCase{"ChunkFlagsMinusOne", typeOf<lnc::PayloadChunk>(), "08 ff ff ff ff ff ff ff ff ff 01",
                  "08 ff ff ff ff ff ff ff ff ff 01", "",
                  [](const Message& m) { EXPECT_EQ(as<lnc::PayloadChunk>(m).flags(), -1); }},
        ParseCase{"HeaderIdMinusOne", typeOf<lnc::PayloadHeader>(), "08 ff ff ff ff ff ff ff ff ff 01",
                  "08 ff ff ff ff ff ff ff ff ff 01", "",
                  [](const Message& m) { EXPECT_EQ(as<lnc::PayloadHeader>(m).id(), -1); }},
        ParseCase{"UnlistedPayloadTypeGoesBehind", typeOf<lnc::PayloadHeader>(), "10 04 08 01 18 05",
                  "08 01 18 05 10 04", "10 04",
                  [](const Message& m) {
                    const auto& header = as<lnc::PayloadHeader>(m);
                    EXPECT_FALSE(header.has_type());
                    EXPECT_EQ(header.id(), 1);
                    EXPECT_EQ(header.total_size(), 5);
                  }},
        ParseCase{"EmptyPayloadTransfer", typeOf<lnc::PayloadTransferFrame>(), "", "", "",
                  [](const Message& m) {
                    const auto& frame = as<lnc::PayloadTransferFrame>(m);
                    EXPECT_EQ(frame.packet_type(), lnc::PayloadTransferFrame::UNKNOWN_PACKET_TYPE);
                    EXPECT_FALSE(frame.has_payload_header() || frame.has_payload_chunk() || frame.has_control_message());
                  }},
        ParseCase{"OsInfoLinux", typeOf<lnc::OsInfo>(), "08 64", "08 64", "",
                  [](const Message& m) { EXPECT_EQ(as<lnc::OsInfo>(m).type(), lnc::OsInfo::LINUX); }},
        ParseCase{"OsInfoUnlistedFive", typeOf<lnc::OsInfo>(), "08 05", "08 05", "08 05",
                  [](const Message& m) {
                    EXPECT_FALSE(as<lnc::OsInfo>(m).has_type());
                    EXPECT_EQ(as<lnc::OsInfo>(m).type(), lnc::OsInfo::UNKNOWN_OS_TYPE);
                  }},
        ParseCase{"PairedKeyResultUnlistedThree", typeOf<lnc::PairedKeyResultFrame>(), "08 03", "08 03", "08 03",
                  [](const Message& m) { EXPECT_FALSE(as<lnc::PairedKeyResultFrame>(m).has_status()); }},
        ParseCase{"EmptyBeaconStaysPresent", typeOf<lnc::MediumMetadata>(), "42 00", "42 00", "",
                  [](const Message& m) {
                    const auto& metadata = as<lnc::MediumMetadata>(m);
                    EXPECT_TRUE(metadata.has_wifi_lan_beacon());
                    EXPECT_FALSE(metadata.has_ap_frequency());
                    EXPECT_EQ(metadata.ap_frequency(), 0);
                  }},
        ParseCase{"ClientIntroductionAckEvent", typeOf<lnc::BandwidthUpgradeNegotiationFrame>(), "08 06 22 00",
                  "08 06 22 00", "",
                  [](const Message& m) {
                    const auto& frame = as<lnc::BandwidthUpgradeNegotiationFrame>(m);
                    EXPECT_EQ(frame.event_type(), lnc::BandwidthUpgradeNegotiationFrame::CLIENT_INTRODUCTION_ACK);
                    EXPECT_TRUE(frame.has_client_introduction_ack());
                    EXPECT_FALSE(frame.has_upgrade_path_info());
                    EXPECT_FALSE(frame.has_client_introduction());
                  }},
        ParseCase{"UnlistedEventType", typeOf<lnc::BandwidthUpgradeNegotiationFrame>(), "08 07", "08 07", "08 07",
                  [](const Message& m) {
                    EXPECT_FALSE(as<lnc::BandwidthUpgradeNegotiationFrame>(m).has_event_type());
                    EXPECT_EQ(as<lnc::BandwidthUpgradeNegotiationFrame>(m).event_type(),
                              lnc::BandwidthUpgradeNegotiationFrame::UNKNOWN_EVENT_TYPE);
                  }},
        ParseCase{"UnlistedMedium", typeOf<lnc::UpgradePathInfo>(), "08 0b", "08 0b", "08 0b",
                  [](const Message& m) { EXPECT_FALSE(as<lnc::UpgradePathInfo>(m).has_medium()); }},
        ParseCase{"UnlistedMediumKeepsEarlierValue", typeOf<lnc::UpgradePathInfo>(), "08 02 08 0c", "08 02 08 0c",
                  "08 0c", [](const Message& m) {
                    EXPECT_EQ(as<lnc::UpgradePathInfo>(m).medium(), lnc::UpgradePathInfo::BLUETOOTH);
                  }},
        ParseCase{"ClientIntroductionAckWithContent", typeOf<lnc::ClientIntroductionAck>(), "08 01", "08 01", "08 01",
                  [](const Message& m) { EXPECT_FALSE(MessageCodec::equal(m, lnc::ClientIntroductionAck())); }},
        ParseCase{"FormatSentAsVarint", typeOf<lnc::LocationHint>(), "10 05", "10 05", "10 05",
                  [](const Message& m) { EXPECT_FALSE(as<lnc::LocationHint>(m).has_format()); }},
        ParseCase{"InvalidTextIsFineInBytes", typeOf<lnc::WifiLanSocket>(), "0a 01 ff", "0a 01 ff", "",
                  [](const Message& m) { EXPECT_EQ(as<lnc::WifiLanSocket>(m).ip_address(), "\xff"); }}),
    [](const auto& param) { return std::string(param.param.name); });

INSTANTIATE_TEST_SUITE_P(
    HandshakeAndEnvelope, WireMessageParsed,
    testing::Values(
        ParseCase{"Ukey2MessageEmpty", typeOf<securegcm::Ukey2Message>(), "", "", "",
                  [](const Message& m) {
                    const auto& message = as<securegcm::Ukey2Message>(m);
                    EXPECT_FALSE(message.has_message_type());
                    EXPECT_EQ(message.message_type(), securegcm::Ukey2Message::UNKNOWN_DO_NOT_USE);
                    EXPECT_FALSE(message.has_message_data());
                    EXPECT_EQ(message.message_data(), "");
                  }},
        ParseCase{"Ukey2MessageTypeZero", typeOf<securegcm::Ukey2Message>(), "08 00", "08 00", "",
                  [](const Message& m) { EXPECT_TRUE(as<securegcm::Ukey2Message>(m).has_message_type()); }},
        ParseCase{"CommitmentCipher150", typeOf<securegcm::Ukey2ClientInit::CipherCommitment>(), "08 96 01",
                  "08 96 01", "08 96 01",
                  [](const Message& m) {
                    const auto& commitment = as<securegcm::Ukey2ClientInit::CipherCommitment>(m);
                    EXPECT_FALSE(commitment.has_handshake_cipher());
                    EXPECT_EQ(commitment.handshake_cipher(), securegcm::RESERVED);
                  }},
        ParseCase{"AlertWithoutType", typeOf<securegcm::Ukey2Alert>(), "", "", "",
                  [](const Message& m) {
                    EXPECT_FALSE(as<securegcm::Ukey2Alert>(m).has_type());
                    EXPECT_EQ(as<securegcm::Ukey2Alert>(m).type(), securegcm::Ukey2Alert::BAD_MESSAGE);
                  }},
        ParseCase{"GcmMetadataWithoutType", typeOf<securegcm::GcmMetadata>(), "", "", "",
                  [](const Message& m) {
                    EXPECT_EQ(as<securegcm::GcmMetadata>(m).type(), securegcm::GcmMetadata::DEVICE_TO_DEVICE_MESSAGE);
                  }},
        ParseCase{"CommitmentsKeepTheirOrder", typeOf<securegcm::Ukey2ClientInit>(), "1a 03 08 c8 01 1a 02 08 64",
                  "1a 03 08 c8 01 1a 02 08 64", "",
                  [](const Message& m) {
                    const auto& init = as<securegcm::Ukey2ClientInit>(m);
                    ASSERT_EQ(init.cipher_commitments_size(), 2);
                    EXPECT_EQ(init.cipher_commitments(0).handshake_cipher(), securegcm::CURVE25519_SHA512);
                    EXPECT_EQ(init.cipher_commitments(1).handshake_cipher(), securegcm::P256_SHA512);
                  }},
        ParseCase{"PublicKeyIsOpaqueUntilParsed", typeOf<securegcm::Ukey2ClientFinished>(), "0a 03 ff ff ff",
                  "0a 03 ff ff ff", "",
                  [](const Message& m) {
                    const auto& key = as<securegcm::Ukey2ClientFinished>(m).public_key();
                    EXPECT_THROW(MessageCodec::parse<securemessage::GenericPublicKey>(byteView(key)), MessageError);
                  }},
        ParseCase{"HeaderField7AsVarint", typeOf<securemessage::Header>(), "08 01 38 05", "08 01 38 05", "38 05",
                  [](const Message& m) { EXPECT_FALSE(as<securemessage::Header>(m).has_associated_data_length()); }}),
    [](const auto& param) { return std::string(param.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Sharing, WireMessageParsed,
    testing::Values(
        ParseCase{"EmptyFrame", typeOf<sn::Frame>(), "", "", "",
                  [](const Message& m) {
                    const auto& frame = as<sn::Frame>(m);
                    EXPECT_FALSE(frame.has_version());
                    EXPECT_EQ(frame.version(), sn::Frame::UNKNOWN_VERSION);
                    EXPECT_FALSE(frame.has_v1());
                    EXPECT_EQ(frame.v1().type(), sn::V1Frame::UNKNOWN_FRAME_TYPE);
                  }},
        ParseCase{"IntroductionTypeWithoutBody", typeOf<sn::V1Frame>(), "08 01", "08 01", "",
                  [](const Message& m) {
                    EXPECT_EQ(as<sn::V1Frame>(m).introduction().file_metadata_size(), 0);
                    EXPECT_FALSE(as<sn::V1Frame>(m).has_introduction());
                  }},
        ParseCase{"NegativeFrameType", typeOf<sn::V1Frame>(), "08 ff ff ff ff ff ff ff ff ff 01",
                  "08 ff ff ff ff ff ff ff ff ff 01", "08 ff ff ff ff ff ff ff ff ff 01",
                  [](const Message& m) { EXPECT_EQ(as<sn::V1Frame>(m).type(), sn::V1Frame::UNKNOWN_FRAME_TYPE); }},
        ParseCase{"IntroductionAndCancel", typeOf<sn::V1Frame>(), "08 01 12 00 32 00", "08 01 12 00 32 00", "",
                  [](const Message& m) {
                    EXPECT_TRUE(as<sn::V1Frame>(m).has_introduction());
                    EXPECT_TRUE(as<sn::V1Frame>(m).has_cancel());
                  }},
        ParseCase{"CancelWithContent", typeOf<sn::CancelFrame>(), "08 01 12 01 41", "08 01 12 01 41",
                  "08 01 12 01 41", nullptr},
        ParseCase{"FilesInOrder", typeOf<sn::IntroductionFrame>(),
                  "0a 05 0a 01 61 18 07 0a 0a 0a 01 62 18 08 32 03 01 02 03",
                  "0a 05 0a 01 61 18 07 0a 0a 0a 01 62 18 08 32 03 01 02 03", "",
                  [](const Message& m) {
                    const auto& introduction = as<sn::IntroductionFrame>(m);
                    ASSERT_EQ(introduction.file_metadata_size(), 2);
                    EXPECT_EQ(introduction.file_metadata(0).name(), "a");
                    EXPECT_EQ(introduction.file_metadata(1).payload_id(), 8);
                    EXPECT_EQ(introduction.file_metadata(1).id().size(), 3u);
                  }},
        ParseCase{"ResponseAccept", typeOf<sn::Frame>(), "08 01 12 06 08 02 1A 02 08 01",
                  "08 01 12 06 08 02 1A 02 08 01", "",
                  [](const Message& m) {
                    EXPECT_EQ(as<sn::Frame>(m).v1().connection_response().status(), sn::ConnectionResponseFrame::ACCEPT);
                  }},
        ParseCase{"ResponseWithoutStatus", typeOf<sn::ConnectionResponseFrame>(), "", "", "",
                  [](const Message& m) {
                    EXPECT_EQ(as<sn::ConnectionResponseFrame>(m).status(), sn::ConnectionResponseFrame::UNKNOWN);
                  }}),
    [](const auto& param) { return std::string(param.param.name); });

// Absent and present-with-default differ, and so do unknown fields in another order.
TEST(WireMessageEquality, PresenceAndUnknownFieldOrderCount) {
  lnc::OfflineFrame absent, zero;
  zero.set_version(lnc::OfflineFrame::UNKNOWN_VERSION);
  EXPECT_EQ(absent.version(), zero.version());
  EXPECT_FALSE(MessageCodec::equal(absent, zero));
  EXPECT_FALSE(MessageDifferencer::Equals(absent, zero));

  lnc::ConnectionResponseFrame noStatus, statusZero;
  statusZero.set_status(0);
  EXPECT_FALSE(MessageCodec::equal(noStatus, statusZero));

  lnc::PayloadChunk noBody, emptyBody;
  emptyBody.set_body("");
  EXPECT_FALSE(MessageCodec::equal(noBody, emptyBody));

  auto oneOrder = parseAs(lnc::OfflineFrame::default_instance(), "78 05 80 01 01");
  auto otherOrder = parseAs(lnc::OfflineFrame::default_instance(), "80 01 01 78 05");
  EXPECT_FALSE(MessageCodec::equal(*oneOrder, *otherOrder));
  EXPECT_TRUE(MessageCodec::equal(*oneOrder, *parseAs(lnc::OfflineFrame::default_instance(), "78 05 80 01 01")));

  // a copy is independent of its source
  lnc::OfflineFrame copy = zero;
  copy.set_version(lnc::OfflineFrame::V1);
  EXPECT_EQ(zero.version(), lnc::OfflineFrame::UNKNOWN_VERSION);
}

TEST(WireMessageEquality, SameCredentialsDifferBetweenHotspotAndDirect) {
  lnc::WifiHotspotCredentials hotspot;
  lnc::WifiDirectCredentials direct;
  hotspot.set_ssid("s");
  direct.set_ssid("s");
  hotspot.set_gateway("g");
  direct.set_gateway("g");
  hotspot.set_frequency(5);
  direct.set_frequency(5);
  EXPECT_EQ(serializedHex(hotspot), "0a01732201672805");
  EXPECT_EQ(serializedHex(direct), "0a017320052a0167");
}

TEST(WireMessagePresence, ClearingAndReadingAbsentFields) {
  lnc::UpgradePathInfo info;
  info.set_supports_disabling_encryption(false);
  EXPECT_EQ(serializedHex(info), "4000");
  info.clear_supports_disabling_encryption();
  EXPECT_EQ(serializedHex(info), "");

  lnc::BandwidthUpgradeNegotiationFrame frame;
  frame.set_event_type(lnc::BandwidthUpgradeNegotiationFrame::UPGRADE_FAILURE);
  EXPECT_FALSE(frame.upgrade_path_info().has_medium());
  EXPECT_FALSE(frame.has_upgrade_path_info());
  EXPECT_EQ(serializedHex(frame), "0805");
}

TEST(WireMessagePresence, EmptyInputGivesEveryMessageWithNothingPresent) {
  for (const auto* file : {lnc::OfflineFrame::descriptor()->file(), securegcm::Ukey2Message::descriptor()->file(),
                           securemessage::SecureMessage::descriptor()->file(), sn::Frame::descriptor()->file()}) {
    for (int i = 0; i < file->message_type_count(); ++i) {
      const auto* prototype = google::protobuf::MessageFactory::generated_factory()->GetPrototype(file->message_type(i));
      SCOPED_TRACE(prototype->GetTypeName());
      if (!prototype->IsInitialized()) {
        EXPECT_THROW(parseAs(*prototype, ""), MessageError);
        continue;
      }
      auto message = parseAs(*prototype, "");
      std::vector<const google::protobuf::FieldDescriptor*> present;
      message->GetReflection()->ListFields(*message, &present);
      EXPECT_TRUE(present.empty());
      EXPECT_EQ(serializedHex(*message), "");
    }
  }
}

struct InitialisationCase {
  const char* name;
  std::function<std::unique_ptr<Message>()> make;
  bool initialised;
};

void PrintTo(const InitialisationCase& c, std::ostream* os) { *os << c.name; }

class WireMessageRequired : public testing::TestWithParam<InitialisationCase> {};

TEST_P(WireMessageRequired, IncompleteMessagesAreRefusedBothWays) {
  auto message = GetParam().make();
  EXPECT_EQ(message->IsInitialized(), GetParam().initialised);
  std::string partial = message->SerializePartialAsString();
  if (GetParam().initialised) {
    EXPECT_EQ(hexString(MessageCodec::serialize(*message)), hexString(byteView(partial)));
    EXPECT_TRUE(MessageCodec::equal(*parseAs(*message, hexString(byteView(partial))), *message));
    return;
  }
  for (auto attempt : {std::function<void()>([&] { MessageCodec::serialize(*message); }),
                       std::function<void()>([&] { parseAs(*message, hexString(byteView(partial))); })}) {
    try {
      attempt();
      ADD_FAILURE() << "accepted";
    } catch (MessageError error) {
      EXPECT_EQ(error, MessageError::missingRequiredFields);
    }
  }
}

void completeHeader(securemessage::Header& header) { header.set_signature_scheme(securemessage::HMAC_SHA256); }

INSTANTIATE_TEST_SUITE_P(
    SecureMessage, WireMessageRequired,
    testing::Values(
        InitialisationCase{"SignaturePresentButEmpty", build<securemessage::SecureMessage>([](auto& m) {
                             m.set_header_and_body("");
                             m.set_signature("");
                           }), true},
        InitialisationCase{"SignatureAbsent", build<securemessage::SecureMessage>([](auto& m) {
                             securemessage::HeaderAndBody content;
                             completeHeader(*content.mutable_header());
                             content.set_body("b");
                             m.set_header_and_body(content.SerializeAsString());
                           }), false},
        InitialisationCase{"ContentOfHeaderAndBodyNotExamined", build<securemessage::SecureMessage>([](auto& m) {
                             m.set_header_and_body("\xff");
                             m.set_signature("s");
                           }), true},
        InitialisationCase{"HeaderWithSignatureSchemeAlone", build<securemessage::Header>(completeHeader), true},
        InitialisationCase{"HeaderWithAllButSignatureScheme", build<securemessage::Header>([](auto& m) {
                             m.set_encryption_scheme(securemessage::AES_256_CBC);
                             m.set_verification_key_id("");
                             m.set_decryption_key_id("");
                             m.set_iv("");
                             m.set_public_metadata("");
                             m.set_associated_data_length("");
                           }), false},
        InitialisationCase{"HeaderAndBodyComplete", build<securemessage::HeaderAndBody>([](auto& m) {
                             completeHeader(*m.mutable_header());
                             m.set_body("");
                           }), true},
        InitialisationCase{"HeaderAndBodyWithIncompleteHeader", build<securemessage::HeaderAndBody>([](auto& m) {
                             m.mutable_header();
                             m.set_body("");
                           }), false},
        InitialisationCase{"HeaderAndBodyWithoutBody", build<securemessage::HeaderAndBody>([](auto& m) {
                             completeHeader(*m.mutable_header());
                           }), false},
        InitialisationCase{"HeaderAndBodyInternalComplete", build<securemessage::HeaderAndBodyInternal>([](auto& m) {
                             m.set_header("");
                             m.set_body("");
                           }), true},
        InitialisationCase{"HeaderAndBodyInternalWithoutHeader",
                           build<securemessage::HeaderAndBodyInternal>([](auto& m) { m.set_body(""); }), false},
        InitialisationCase{"EcKeyWithoutY", build<securemessage::EcP256PublicKey>([](auto& m) { m.set_x("x"); }), false},
        InitialisationCase{"RsaKeyWithoutExponent",
                           build<securemessage::SimpleRsaPublicKey>([](auto& m) { m.set_n("n"); }), true},
        InitialisationCase{"RsaKeyWithoutModulus",
                           build<securemessage::SimpleRsaPublicKey>([](auto& m) { m.set_e(3); }), false},
        InitialisationCase{"DhKeyEmpty", build<securemessage::DhPublicKey>([](auto&) {}), false},
        InitialisationCase{"GenericKeyTypeAlone", build<securemessage::GenericPublicKey>([](auto& m) {
                             m.set_type(securemessage::GenericPublicKey::EC_P256);
                           }), true},
        InitialisationCase{"GenericKeyWithoutType", build<securemessage::GenericPublicKey>([](auto& m) {
                             m.mutable_ec_p256_public_key()->set_x("x");
                             m.mutable_ec_p256_public_key()->set_y("y");
                           }), false},
        InitialisationCase{"GenericKeyWithIncompleteEcKey", build<securemessage::GenericPublicKey>([](auto& m) {
                             m.set_type(securemessage::GenericPublicKey::EC_P256);
                             m.mutable_ec_p256_public_key()->set_x("x");
                           }), false},
        InitialisationCase{"GenericKeyTypeNeedNotMatch", build<securemessage::GenericPublicKey>([](auto& m) {
                             m.set_type(securemessage::GenericPublicKey::RSA2048);
                             m.mutable_ec_p256_public_key()->set_x("x");
                             m.mutable_ec_p256_public_key()->set_y("y");
                           }), true},
        InitialisationCase{"GenericKeyWithIncompleteRsaKey", build<securemessage::GenericPublicKey>([](auto& m) {
                             m.set_type(securemessage::GenericPublicKey::RSA2048);
                             m.mutable_rsa2048_public_key();
                           }), false},
        InitialisationCase{"GenericKeyWithDhKey", build<securemessage::GenericPublicKey>([](auto& m) {
                             m.set_type(securemessage::GenericPublicKey::DH2048_MODP);
                             m.mutable_dh2048_modp_public_key()->set_y("");
                           }), true}),
    [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace orvel
