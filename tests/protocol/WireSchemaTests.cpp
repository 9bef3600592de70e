// The shape of the four schema files, read back through their descriptors.

#include <google/protobuf/descriptor.h>
#include <google/protobuf/descriptor.pb.h>
#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <map>
#include <set>

#include "offline_wire_formats.pb.h"
#include "protocol/MessageTestSupport.h"
#include "securemessage.pb.h"
#include "ukey.pb.h"
#include "wire_format.pb.h"

namespace orvel {
namespace {

using google::protobuf::Descriptor;
using google::protobuf::EnumDescriptor;
using google::protobuf::FieldDescriptor;
using google::protobuf::FileDescriptor;

const FileDescriptor* connectionsFile() { return location::nearby::connections::OfflineFrame::descriptor()->file(); }
const FileDescriptor* ukeyFile() { return securegcm::Ukey2Message::descriptor()->file(); }
const FileDescriptor* secureMessageFile() { return securemessage::SecureMessage::descriptor()->file(); }
const FileDescriptor* sharingFile() { return sharing::nearby::Frame::descriptor()->file(); }

std::vector<const FileDescriptor*> allFiles() {
  return {connectionsFile(), ukeyFile(), secureMessageFile(), sharingFile()};
}

void forEachMessage(const Descriptor& type, const std::function<void(const Descriptor&)>& visit) {
  visit(type);
  for (int i = 0; i < type.nested_type_count(); ++i) forEachMessage(*type.nested_type(i), visit);
}

// Every message of a file in declaration order, nested ones right after their parent.
std::vector<const Descriptor*> messagesOf(const FileDescriptor& file) {
  std::vector<const Descriptor*> result;
  for (int i = 0; i < file.message_type_count(); ++i) {
    forEachMessage(*file.message_type(i), [&](const Descriptor& d) { result.push_back(&d); });
  }
  return result;
}

std::vector<const EnumDescriptor*> enumsOf(const FileDescriptor& file) {
  std::vector<const EnumDescriptor*> result;
  for (int i = 0; i < file.enum_type_count(); ++i) result.push_back(file.enum_type(i));
  for (const Descriptor* message : messagesOf(file)) {
    for (int i = 0; i < message->enum_type_count(); ++i) result.push_back(message->enum_type(i));
  }
  return result;
}

std::string withoutPackage(const std::string& fullName, const FileDescriptor& file) {
  return fullName.substr(file.package().size() + 1);
}

struct FileShape {
  const FileDescriptor* (*file)();
  const char* name;
  const char* package;
  int messages, topLevelMessages, enums, topLevelEnums;
};

void PrintTo(const FileShape& shape, std::ostream* os) { *os << shape.name; }

class WireSchemaFile : public testing::TestWithParam<FileShape> {};

TEST_P(WireSchemaFile, HasItsPackageAndCounts) {
  const auto& shape = GetParam();
  const FileDescriptor& file = *shape.file();
  EXPECT_EQ(file.name(), std::string(shape.name) + ".proto");
  EXPECT_EQ(file.package(), shape.package);
  EXPECT_EQ(file.syntax(), FileDescriptor::SYNTAX_PROTO2);
  EXPECT_EQ(file.dependency_count(), 0) << "no schema refers to another";
  EXPECT_EQ(file.extension_count(), 0);
  EXPECT_EQ(static_cast<int>(messagesOf(file).size()), shape.messages);
  EXPECT_EQ(file.message_type_count(), shape.topLevelMessages);
  EXPECT_EQ(static_cast<int>(enumsOf(file).size()), shape.enums);
  EXPECT_EQ(file.enum_type_count(), shape.topLevelEnums);
  EXPECT_NE(file.options().optimize_for(), google::protobuf::FileOptions::LITE_RUNTIME);
}

INSTANTIATE_TEST_SUITE_P(
    Files, WireSchemaFile,
    testing::Values(FileShape{connectionsFile, "offline_wire_formats", "location.nearby.connections", 26, 26, 11, 0},
                    FileShape{ukeyFile, "ukey", "securegcm", 8, 7, 4, 1},
                    FileShape{secureMessageFile, "securemessage", "securemessage", 8, 8, 3, 2},
                    FileShape{sharingFile, "wire_format", "sharing.nearby", 10, 10, 8, 1}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(WireSchema, FieldRulesHoldEverywhere) {
  std::set<std::string> repeated, required;
  for (const FileDescriptor* file : allFiles()) {
    for (const Descriptor* message : messagesOf(*file)) {
      EXPECT_EQ(message->oneof_decl_count(), 0) << message->full_name();
      EXPECT_EQ(message->extension_range_count(), 0) << message->full_name();
      for (int i = 0; i < message->field_count(); ++i) {
        const FieldDescriptor& field = *message->field(i);
        EXPECT_FALSE(field.has_default_value()) << field.full_name();
        EXPECT_FALSE(field.is_packed()) << field.full_name();
        if (field.is_repeated()) repeated.insert(field.full_name());
        if (field.is_required()) required.insert(field.full_name());
        // a field's type never crosses into another package
        if (field.message_type()) {
          EXPECT_EQ(field.message_type()->file(), file);
        }
        if (field.enum_type()) {
          EXPECT_EQ(field.enum_type()->file(), file);
        }
      }
    }
  }
  EXPECT_EQ(repeated, (std::set<std::string>{"location.nearby.connections.ConnectionRequestFrame.mediums",
                                             "securegcm.Ukey2ClientInit.cipher_commitments",
                                             "sharing.nearby.IntroductionFrame.file_metadata",
                                             "sharing.nearby.IntroductionFrame.text_metadata",
                                             "sharing.nearby.IntroductionFrame.wifi_credentials_metadata"}));
  for (const auto& name : required) EXPECT_EQ(name.rfind("securemessage.", 0), 0u) << name;
  EXPECT_EQ(required.size(), 12u);
}

std::string describeFields(const Descriptor& message) {
  std::string text;
  for (int i = 0; i < message.field_count(); ++i) {
    const FieldDescriptor& field = *message.field(i);
    static const char* labels[] = {"", "optional", "required", "repeated"};
    std::string type = field.type_name();
    if (field.message_type()) type = withoutPackage(field.message_type()->full_name(), *message.file());
    if (field.enum_type()) type = withoutPackage(field.enum_type()->full_name(), *message.file());
    if (!text.empty()) text += ", ";
    text += std::to_string(field.number()) + " " + labels[field.label()] + " " + type + " " + field.name();
  }
  return text;
}

using FieldTable = std::vector<std::pair<std::string, std::string>>;  // message, fields

void expectFields(const FileDescriptor& file, const FieldTable& expected) {
  std::vector<const Descriptor*> messages = messagesOf(file);
  ASSERT_EQ(messages.size(), expected.size());
  for (std::size_t i = 0; i < messages.size(); ++i) {
    EXPECT_EQ(withoutPackage(messages[i]->full_name(), file), expected[i].first) << "declaration order";
    EXPECT_EQ(describeFields(*messages[i]), expected[i].second) << messages[i]->full_name();
  }
}

TEST(WireSchemaFields, Connections) {
  expectFields(*connectionsFile(), {
      {"OfflineFrame", "1 optional OfflineFrame.Version version, 2 optional V1Frame v1"},
      {"V1Frame", "1 optional V1Frame.FrameType type, 2 optional ConnectionRequestFrame connection_request, "
                  "3 optional ConnectionResponseFrame connection_response, 4 optional PayloadTransferFrame "
                  "payload_transfer, 5 optional BandwidthUpgradeNegotiationFrame bandwidth_upgrade_negotiation, "
                  "6 optional KeepAliveFrame keep_alive, 7 optional DisconnectionFrame disconnection, "
                  "8 optional PairedKeyEncryptionFrame paired_key_encryption, 9 optional PairedKeyResultFrame "
                  "paired_key_result"},
      {"ConnectionRequestFrame", "1 optional string endpoint_id, 2 optional string endpoint_name, "
                                 "3 optional bytes handshake_data, 4 optional int32 nonce, 5 repeated int32 mediums, "
                                 "6 optional bytes endpoint_info, 7 optional MediumMetadata medium_metadata, "
                                 "8 optional int32 keep_alive_interval_millis, 9 optional int32 "
                                 "keep_alive_timeout_millis, 10 optional int32 device_type, 11 optional bytes "
                                 "device_info"},
      {"ConnectionResponseFrame", "1 optional int32 status, 2 optional bytes handshake_data, "
                                  "3 optional ConnectionResponseFrame.ResponseStatus response, 4 optional OsInfo "
                                  "os_info, 5 optional int32 multiplex_socket_bitmask, 6 optional int32 "
                                  "nearby_connections_version, 7 optional int32 safe_to_disconnect_version"},
      {"PayloadTransferFrame", "1 optional PayloadTransferFrame.PacketType packet_type, 2 optional PayloadHeader "
                               "payload_header, 3 optional PayloadChunk payload_chunk, 4 optional ControlMessage "
                               "control_message"},
      {"PayloadHeader", "1 optional int64 id, 2 optional PayloadHeader.PayloadType type, 3 optional int64 "
                        "total_size, 4 optional bool is_sensitive, 5 optional string file_name, 6 optional string "
                        "parent_folder, 7 optional int64 last_modified_timestamp_millis"},
      {"PayloadChunk", "1 optional int32 flags, 2 optional int64 offset, 3 optional bytes body, 4 optional int32 index"},
      {"ControlMessage", "1 optional ControlMessage.EventType event, 2 optional int64 offset"},
      {"KeepAliveFrame", "1 optional bool ack"},
      {"DisconnectionFrame", "1 optional bool request_safe_to_disconnect, 2 optional bool ack_safe_to_disconnect"},
      {"PairedKeyEncryptionFrame", "1 optional bytes signed_data"},
      {"PairedKeyResultFrame", "1 optional PairedKeyResultFrame.Status status"},
      {"MediumMetadata", "1 optional bool supports_5_ghz, 2 optional string bssid, 3 optional bytes ip_address, "
                         "4 optional bool supports_6_ghz, 5 optional bool mobile_radio, 6 optional int32 "
                         "ap_frequency, 7 optional bool available_channels_last_verified, 8 optional WifiLanBeacon "
                         "wifi_lan_beacon"},
      {"WifiLanBeacon", "1 optional bytes ip_address, 2 optional int32 port"},
      {"OsInfo", "1 optional OsInfo.OsType type"},
      {"BandwidthUpgradeNegotiationFrame", "1 optional BandwidthUpgradeNegotiationFrame.EventType event_type, "
                                           "2 optional UpgradePathInfo upgrade_path_info, 3 optional "
                                           "ClientIntroduction client_introduction, 4 optional ClientIntroductionAck "
                                           "client_introduction_ack"},
      {"UpgradePathInfo", "1 optional UpgradePathInfo.Medium medium, 2 optional WifiHotspotCredentials "
                          "wifi_hotspot_credentials, 3 optional WifiLanSocket wifi_lan_socket, 4 optional "
                          "BluetoothCredentials bluetooth_credentials, 5 optional WifiAwareCredentials "
                          "wifi_aware_credentials, 6 optional WifiDirectCredentials wifi_direct_credentials, "
                          "7 optional WebRtcCredentials web_rtc_credentials, 8 optional bool "
                          "supports_disabling_encryption, 9 optional bool supports_client_introduction_ack"},
      {"WifiHotspotCredentials", "1 optional string ssid, 2 optional string password, 3 optional int32 port, "
                                 "4 optional string gateway, 5 optional int32 frequency"},
      {"WifiLanSocket", "1 optional bytes ip_address, 2 optional int32 wifi_port"},
      {"BluetoothCredentials", "1 optional string service_name, 2 optional string mac_address"},
      {"WifiAwareCredentials", "1 optional string service_id, 2 optional bytes service_info, 3 optional string password"},
      {"WifiDirectCredentials", "1 optional string ssid, 2 optional string password, 3 optional int32 port, "
                                "4 optional int32 frequency, 5 optional string gateway"},
      {"WebRtcCredentials", "1 optional string peer_id, 2 optional LocationHint location_hint"},
      {"LocationHint", "1 optional string location, 2 optional string format"},
      {"ClientIntroduction", "1 optional string endpoint_id, 2 optional bool supports_disabling_encryption"},
      {"ClientIntroductionAck", ""},
  });
}

TEST(WireSchemaFields, Ukey) {
  expectFields(*ukeyFile(), {
      {"Ukey2Message", "1 optional Ukey2Message.Type message_type, 2 optional bytes message_data"},
      {"Ukey2Alert", "1 optional Ukey2Alert.AlertType type, 2 optional string error_message"},
      {"Ukey2ClientInit", "1 optional int32 version, 2 optional bytes random, 3 repeated "
                          "Ukey2ClientInit.CipherCommitment cipher_commitments, 4 optional string next_protocol"},
      {"Ukey2ClientInit.CipherCommitment", "1 optional Ukey2HandshakeCipher handshake_cipher, 2 optional bytes "
                                           "commitment"},
      {"Ukey2ServerInit", "1 optional int32 version, 2 optional bytes random, 3 optional Ukey2HandshakeCipher "
                          "handshake_cipher, 4 optional bytes public_key"},
      {"Ukey2ClientFinished", "1 optional bytes public_key"},
      {"DeviceToDeviceMessage", "1 optional bytes message, 2 optional int32 sequence_number"},
      {"GcmMetadata", "1 optional GcmMetadata.Type type, 2 optional int32 version"},
  });
}

TEST(WireSchemaFields, SecureMessage) {
  expectFields(*secureMessageFile(), {
      {"SecureMessage", "1 required bytes header_and_body, 2 required bytes signature"},
      {"Header", "1 required SigScheme signature_scheme, 2 optional EncScheme encryption_scheme, 3 optional bytes "
                 "verification_key_id, 4 optional bytes decryption_key_id, 5 optional bytes iv, 6 optional bytes "
                 "public_metadata, 7 optional bytes associated_data_length"},
      {"HeaderAndBody", "1 required Header header, 2 required bytes body"},
      {"HeaderAndBodyInternal", "1 required bytes header, 2 required bytes body"},
      {"EcP256PublicKey", "1 required bytes x, 2 required bytes y"},
      {"SimpleRsaPublicKey", "1 required bytes n, 2 optional int32 e"},
      {"DhPublicKey", "1 required bytes y"},
      {"GenericPublicKey", "1 required GenericPublicKey.Type type, 2 optional EcP256PublicKey ec_p256_public_key, "
                           "3 optional SimpleRsaPublicKey rsa2048_public_key, 4 optional DhPublicKey "
                           "dh2048_modp_public_key"},
  });
}

TEST(WireSchemaFields, Sharing) {
  expectFields(*sharingFile(), {
      {"Frame", "1 optional Frame.Version version, 2 optional V1Frame v1"},
      {"V1Frame", "1 optional V1Frame.FrameType type, 2 optional IntroductionFrame introduction, 3 optional "
                  "ConnectionResponseFrame connection_response, 4 optional PairedKeyEncryptionFrame "
                  "paired_key_encryption, 5 optional PairedKeyResultFrame paired_key_result, 6 optional "
                  "CancelFrame cancel"},
      {"IntroductionFrame", "1 repeated FileMetadata file_metadata, 2 repeated TextMetadata text_metadata, "
                            "3 optional string required_package, 4 repeated WifiCredentialsMetadata "
                            "wifi_credentials_metadata"},
      {"ConnectionResponseFrame", "1 optional ConnectionResponseFrame.Status status"},
      {"PairedKeyEncryptionFrame", "1 optional bytes signed_data, 2 optional bytes secret_id_hash, 3 optional bytes "
                                   "optional_signed_data"},
      {"PairedKeyResultFrame", "1 optional PairedKeyResultFrame.Status status, 2 optional OsType os_type"},
      {"CancelFrame", ""},
      {"FileMetadata", "1 optional string name, 2 optional FileMetadata.Type type, 3 optional int64 payload_id, "
                       "4 optional int64 size, 5 optional string mime_type, 6 optional bytes id, 7 optional string "
                       "parent_folder"},
      {"TextMetadata", "1 optional string text_title, 2 optional TextMetadata.Type type, 3 optional int64 "
                       "payload_id, 4 optional int64 size, 5 optional bytes id"},
      {"WifiCredentialsMetadata", "1 optional string ssid, 2 optional WifiCredentialsMetadata.SecurityType "
                                  "security_type, 3 optional int64 payload_id, 4 optional bytes id"},
  });
}

std::string describeValues(const EnumDescriptor& type) {
  std::string text;
  for (int i = 0; i < type.value_count(); ++i) {
    if (!text.empty()) text += ", ";
    text += type.value(i)->name() + "=" + std::to_string(type.value(i)->number());
  }
  return text;
}

TEST(WireSchemaEnums, ValuesAndNumbersInDeclarationOrder) {
  const std::map<std::string, std::string> expected = {
      {"location.nearby.connections.OfflineFrame.Version", "UNKNOWN_VERSION=0, V1=1"},
      {"location.nearby.connections.V1Frame.FrameType",
       "UNKNOWN_FRAME_TYPE=0, CONNECTION_REQUEST=1, CONNECTION_RESPONSE=2, PAYLOAD_TRANSFER=3, "
       "BANDWIDTH_UPGRADE_NEGOTIATION=4, KEEP_ALIVE=5, DISCONNECTION=6, PAIRED_KEY_ENCRYPTION=7, PAIRED_KEY_RESULT=8"},
      {"location.nearby.connections.ConnectionResponseFrame.ResponseStatus",
       "UNKNOWN_RESPONSE_STATUS=0, ACCEPT=1, REJECT=2"},
      {"location.nearby.connections.PayloadTransferFrame.PacketType",
       "UNKNOWN_PACKET_TYPE=0, DATA=1, CONTROL=2, PAYLOAD_ACK=3"},
      {"location.nearby.connections.PayloadHeader.PayloadType", "UNKNOWN_PAYLOAD_TYPE=0, BYTES=1, FILE=2, STREAM=3"},
      {"location.nearby.connections.PayloadChunk.Flags", "LAST_CHUNK=1"},
      {"location.nearby.connections.ControlMessage.EventType", "UNKNOWN_EVENT_TYPE=0, PAYLOAD_ERROR=1, PAYLOAD_CANCELED=2"},
      {"location.nearby.connections.PairedKeyResultFrame.Status", "UNKNOWN=0, ABLE=1, UNABLE=2"},
      {"location.nearby.connections.OsInfo.OsType",
       "UNKNOWN_OS_TYPE=0, ANDROID=1, CHROME_OS=2, WINDOWS=3, APPLE=4, LINUX=100"},
      {"location.nearby.connections.BandwidthUpgradeNegotiationFrame.EventType",
       "UNKNOWN_EVENT_TYPE=0, UPGRADE_PATH_AVAILABLE=1, LAST_WRITE_TO_PRIOR_CHANNEL=2, SAFE_TO_CLOSE_PRIOR_CHANNEL=3, "
       "CLIENT_INTRODUCTION=4, UPGRADE_FAILURE=5, CLIENT_INTRODUCTION_ACK=6"},
      {"location.nearby.connections.UpgradePathInfo.Medium",
       "UNKNOWN_MEDIUM=0, MDNS=1, BLUETOOTH=2, WIFI_HOTSPOT=3, BLE=4, WIFI_LAN=5, WIFI_AWARE=6, NFC=7, "
       "WIFI_DIRECT=8, WEB_RTC=9, BLE_L2CAP=10"},
      {"securegcm.Ukey2Message.Type", "UNKNOWN_DO_NOT_USE=0, ALERT=1, CLIENT_INIT=2, SERVER_INIT=3, CLIENT_FINISH=4"},
      {"securegcm.Ukey2Alert.AlertType",
       "BAD_MESSAGE=1, BAD_MESSAGE_TYPE=2, INCORRECT_MESSAGE=3, BAD_MESSAGE_DATA=4, BAD_VERSION=100, BAD_RANDOM=101, "
       "BAD_HANDSHAKE_CIPHER=102, BAD_NEXT_PROTOCOL=103, BAD_PUBLIC_KEY=104, INTERNAL_ERROR=200"},
      {"securegcm.GcmMetadata.Type", "DEVICE_TO_DEVICE_MESSAGE=13"},
      {"securegcm.Ukey2HandshakeCipher", "RESERVED=0, P256_SHA512=100, CURVE25519_SHA512=200"},
      {"securemessage.GenericPublicKey.Type", "EC_P256=1, RSA2048=2, DH2048_MODP=3"},
      {"securemessage.SigScheme", "HMAC_SHA256=1, ECDSA_P256_SHA256=2, RSA2048_SHA256=3"},
      {"securemessage.EncScheme", "NONE=1, AES_256_CBC=2"},
      {"sharing.nearby.Frame.Version", "UNKNOWN_VERSION=0, V1=1"},
      {"sharing.nearby.V1Frame.FrameType",
       "UNKNOWN_FRAME_TYPE=0, INTRODUCTION=1, RESPONSE=2, PAIRED_KEY_ENCRYPTION=3, PAIRED_KEY_RESULT=4, "
       "CERTIFICATE_INFO=5, CANCEL=6, PROGRESS_UPDATE=7"},
      {"sharing.nearby.ConnectionResponseFrame.Status",
       "UNKNOWN=0, ACCEPT=1, REJECT=2, NOT_ENOUGH_SPACE=3, UNSUPPORTED_ATTACHMENT_TYPE=4, TIMED_OUT=5"},
      {"sharing.nearby.PairedKeyResultFrame.Status", "UNKNOWN=0, SUCCESS=1, FAIL=2, UNABLE=3"},
      {"sharing.nearby.FileMetadata.Type", "UNKNOWN=0, IMAGE=1, VIDEO=2, APP=3, AUDIO=4"},
      {"sharing.nearby.TextMetadata.Type", "UNKNOWN=0, TEXT=1, URL=2, ADDRESS=3, PHONE_NUMBER=4"},
      {"sharing.nearby.WifiCredentialsMetadata.SecurityType", "UNKNOWN_SECURITY_TYPE=0, OPEN=1, WPA_PSK=2, WEP=3"},
      {"sharing.nearby.OsType", "UNKNOWN_OS_TYPE=0, ANDROID=1, WINDOWS=2, OSX=3, CHROMEOS=4, LINUX=5, IOS=6"},
  };
  std::map<std::string, std::string> actual;
  for (const FileDescriptor* file : allFiles()) {
    for (const EnumDescriptor* type : enumsOf(*file)) actual[type->full_name()] = describeValues(*type);
  }
  EXPECT_EQ(actual, expected);
}

Bytes varint(std::uint64_t value) {
  Bytes bytes;
  for (; value >= 0x80; value >>= 7) bytes.push_back(static_cast<std::uint8_t>(value | 0x80));
  bytes.push_back(static_cast<std::uint8_t>(value));
  return bytes;
}

// Every enum field of every message, fed listed and unlisted numbers: a listed
// number sets the field; any other leaves it absent and goes, key and value,
// to the unknown fields, from which it is written back.
TEST(WireSchemaEnums, EveryEnumFieldIsClosed) {
  int checked = 0;
  for (const FileDescriptor* file : allFiles()) {
    for (const Descriptor* type : messagesOf(*file)) {
      const auto* prototype = google::protobuf::MessageFactory::generated_factory()->GetPrototype(type);
      for (int f = 0; f < type->field_count(); ++f) {
        const FieldDescriptor& field = *type->field(f);
        if (!field.enum_type()) continue;
        const EnumDescriptor& values = *field.enum_type();
        std::set<int> numbers = {-1, INT_MIN, INT_MAX, 0};
        for (int v = 0; v < values.value_count(); ++v) {
          int n = values.value(v)->number();
          numbers.insert({n - 1, n, n + 1});
        }
        // other required fields (Header.signature_scheme) are filled first, so only this field decides
        Bytes filler;
        for (int r = 0; r < type->field_count(); ++r) {
          const FieldDescriptor& other = *type->field(r);
          if (!other.is_required() || &other == &field) continue;
          ASSERT_TRUE(other.enum_type() && other.number() < field.number()) << other.full_name();
          Bytes key = varint(other.number() << 3), first = varint(other.enum_type()->value(0)->number());
          filler.insert(filler.end(), key.begin(), key.end());
          filler.insert(filler.end(), first.begin(), first.end());
        }
        for (int number : numbers) {
          SCOPED_TRACE(field.full_name() + " = " + std::to_string(number));
          Bytes input = filler;
          Bytes key = varint(field.number() << 3);
          input.insert(input.end(), key.begin(), key.end());
          Bytes value = varint(static_cast<std::uint64_t>(static_cast<std::int64_t>(number)));
          input.insert(input.end(), value.begin(), value.end());
          std::unique_ptr<google::protobuf::Message> message(prototype->New());
          const auto* listed = values.FindValueByNumber(number);
          try {
            MessageCodec::parseInto(*message, input);
          } catch (MessageError error) {
            // only an unlisted number in a required enum leaves a message incomplete
            EXPECT_TRUE(!listed && field.is_required() && error == MessageError::missingRequiredFields);
            continue;
          }
          const auto& reflection = *message->GetReflection();
          EXPECT_EQ(reflection.HasField(*message, &field), listed != nullptr);
          EXPECT_EQ(reflection.GetEnum(*message, &field), listed ? listed : values.value(0));
          EXPECT_EQ(test::unknownFieldsHex(*message), listed ? "" : hexString(ByteView(input).subspan(filler.size())));
          EXPECT_EQ(hexString(MessageCodec::serialize(*message)), hexString(input));
          ++checked;
        }
      }
    }
  }
  EXPECT_GT(checked, 150);
}

TEST(WireSchemaEnums, EnumFieldReadsTheLowThirtyTwoBits) {
  // 2^32 + 1 is the number 1 once cut to 32 bits
  auto frame = MessageCodec::parse<location::nearby::connections::OfflineFrame>(test::hexBytes("08 81 80 80 80 10"));
  EXPECT_EQ(frame.version(), location::nearby::connections::OfflineFrame::V1);
  auto chunk = MessageCodec::parse<location::nearby::connections::PayloadChunk>(test::hexBytes("08 ff ff ff ff 1f"));
  EXPECT_EQ(chunk.flags(), -1);
}

}  // namespace
}  // namespace orvel
