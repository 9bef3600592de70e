#include "protocol/FrameProcessor.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "offline_wire_formats.pb.h"
#include "platform/Log.h"
#include "protocol/MessageCodec.h"
#include "protocol/MessageError.h"
#include "protocol/SharingFrameReader.h"
#include "services/ConnectionError.h"
#include "support/TestSupport.h"
#include "wire_format.pb.h"

namespace orvel {

struct FrameProcessorTesting {
  static std::vector<Bytes> bytesPayloadFrames(const Bytes& content) {
    return FrameProcessor::buildBytesPayloadFrames(content);
  }
};

namespace {

namespace connections = location::nearby::connections;
namespace share = sharing::nearby;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

Bytes bytes(const std::string& s) { return {s.begin(), s.end()}; }

std::string describe(const FrameEvent& event) {
  return std::visit(
      Overloaded{
          [](const FrameEvent::Introduction& introduction) {
            std::string out = "introduction from " + introduction.senderName;
            for (const auto& file : introduction.files) {
              out += " [" + file.name + " " + std::to_string(file.size) + " " + std::to_string(file.payloadId) + " " +
                     file.mimeType + "]";
            }
            return out;
          },
          [](const FrameEvent::PayloadChunk& chunk) {
            return "chunk " + std::to_string(chunk.payloadId) + "@" + std::to_string(chunk.offset) + " '" +
                   byteString(chunk.data) + "'" + (chunk.isLast ? " last" : "");
          },
          [](const FrameEvent::PairedKeyEncryption&) { return std::string("pairedKeyEncryption"); },
          [](const FrameEvent::PairedKeyResult&) { return std::string("pairedKeyResult"); },
          [](const FrameEvent::KeepAlive&) { return std::string("keepAlive"); },
          [](const FrameEvent::Disconnect&) { return std::string("disconnect"); },
      },
      event.value);
}

connections::OfflineFrame offlineFrame(connections::V1Frame::FrameType type) {
  connections::OfflineFrame frame;
  frame.set_version(connections::OfflineFrame::V1);
  frame.mutable_v1()->set_type(type);
  return frame;
}

Bytes transferFrame(const connections::PayloadTransferFrame& transfer) {
  auto frame = offlineFrame(connections::V1Frame::PAYLOAD_TRANSFER);
  *frame.mutable_v1()->mutable_payload_transfer() = transfer;
  return MessageCodec::serialize(frame);
}

// A DATA frame with a header of `type` under `id`, and a chunk unless `body` is nullopt and flags/offset are too.
Bytes chunkFrame(connections::PayloadHeader::PayloadType type, std::int64_t id, std::int64_t offset,
                 std::optional<std::string> body, std::int32_t flags, std::int64_t totalSize = 0) {
  connections::PayloadTransferFrame transfer;
  transfer.set_packet_type(connections::PayloadTransferFrame::DATA);
  auto* header = transfer.mutable_payload_header();
  header->set_id(id);
  header->set_type(type);
  header->set_total_size(totalSize);
  auto* chunk = transfer.mutable_payload_chunk();
  chunk->set_flags(flags);
  chunk->set_offset(offset);
  if (body) chunk->set_body(*body);
  return transferFrame(transfer);
}

Bytes bytesChunk(std::int64_t id, std::int64_t offset, std::optional<std::string> body, std::int32_t flags) {
  return chunkFrame(connections::PayloadHeader::BYTES, id, offset, std::move(body), flags);
}

std::string sharingFrame(share::V1Frame::FrameType type) {
  share::Frame frame;
  frame.set_version(share::Frame::V1);
  frame.mutable_v1()->set_type(type);
  auto serialized = MessageCodec::serialize(frame);
  return {serialized.begin(), serialized.end()};
}

std::string introduction() {
  share::Frame frame;
  frame.set_version(share::Frame::V1);
  frame.mutable_v1()->set_type(share::V1Frame::INTRODUCTION);
  auto* file = frame.mutable_v1()->mutable_introduction()->add_file_metadata();
  file->set_name("a.jpg");
  file->set_size(10);
  file->set_payload_id(5);
  file->set_mime_type("image/jpeg");
  frame.mutable_v1()->mutable_introduction()->add_file_metadata();  // every field absent
  auto serialized = MessageCodec::serialize(frame);
  return {serialized.begin(), serialized.end()};
}

const std::string kIntroductionEvent = "introduction from Sender [a.jpg 10 5 image/jpeg] [ 0 0 ]";

// Feeds frames to one processor and records events and the log lines after
// each frame's two leading lines.
class Receiver {
 public:
  void feed(const Bytes& frame) {
    processor.processFrame(frame, [this](const FrameEvent& event) { events.push_back(describe(event)); });
  }
  std::vector<std::string> lines() const {
    std::vector<std::string> result;
    for (auto& line : capture.lines()) {
      if (!line.starts_with("[FrameProcessor] Processing decrypted frame") &&
          !line.starts_with("[FrameProcessor] Frame hex prefix")) {
        result.push_back(line);
      }
    }
    return result;
  }

  LogCapture capture;
  FrameProcessor processor;
  std::vector<std::string> events;
};

TEST(FrameProcessor, LeadingLinesShowLengthAndFirstFiftyBytes) {
  Receiver receiver;
  auto frame = bytesChunk(1, 100, std::string(80, 'x'), 0);
  receiver.feed(frame);
  auto lines = receiver.capture.lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], "[FrameProcessor] Processing decrypted frame (" + std::to_string(frame.size()) + " bytes)");
  EXPECT_EQ(lines[1], "[FrameProcessor] Frame hex prefix: 080112" + hexString(ByteView(frame).subspan(3, 47)));
  EXPECT_EQ(lines[1].size(), std::string("[FrameProcessor] Frame hex prefix: ").size() + 100);
}

TEST(FrameProcessor, ConnectionsFrameTypes) {
  struct Case {
    std::string name;
    Bytes frame;
    std::vector<std::string> events;
    std::vector<std::string> lines;
  };
  auto typed = [](connections::V1Frame::FrameType type) { return MessageCodec::serialize(offlineFrame(type)); };
  auto withVersion = [](std::optional<connections::OfflineFrame::Version> version) {
    auto frame = offlineFrame(connections::V1Frame::KEEP_ALIVE);
    if (version) {
      frame.set_version(*version);
    } else {
      frame.clear_version();
    }
    return MessageCodec::serialize(frame);
  };
  const Case cases[] = {
      {"keep-alive without body", typed(connections::V1Frame::KEEP_ALIVE), {"keepAlive"},
       {"[FrameProcessor] Received KEEP_ALIVE"}},
      {"disconnection", typed(connections::V1Frame::DISCONNECTION), {"disconnect"},
       {"[FrameProcessor] Received DISCONNECTION"}},
      {"paired-key encryption", typed(connections::V1Frame::PAIRED_KEY_ENCRYPTION), {"pairedKeyEncryption"},
       {"[FrameProcessor] Received PAIRED_KEY_ENCRYPTION"}},
      {"paired-key result", typed(connections::V1Frame::PAIRED_KEY_RESULT), {"pairedKeyResult"},
       {"[FrameProcessor] Received PAIRED_KEY_RESULT"}},
      {"connection request", typed(connections::V1Frame::CONNECTION_REQUEST), {},
       {"[FrameProcessor] Unknown frame type: 1"}},
      {"connection response", typed(connections::V1Frame::CONNECTION_RESPONSE), {},
       {"[FrameProcessor] Unknown frame type: 2"}},
      {"bandwidth upgrade", typed(connections::V1Frame::BANDWIDTH_UPGRADE_NEGOTIATION), {},
       {"[FrameProcessor] Unknown frame type: 4"}},
      {"unknown frame type", typed(connections::V1Frame::UNKNOWN_FRAME_TYPE), {},
       {"[FrameProcessor] Unknown frame type: 0"}},
      {"type out of range", Data::fromHex("080112020809"), {}, {"[FrameProcessor] Unknown frame type: 0"}},
      {"no v1", Data::fromHex("0801"), {}, {"[FrameProcessor] Unknown frame type: 0"}},
      {"version absent", withVersion(std::nullopt), {}, {"[FrameProcessor] Invalid OfflineFrame version"}},
      {"version unknown", withVersion(connections::OfflineFrame::UNKNOWN_VERSION), {},
       {"[FrameProcessor] Invalid OfflineFrame version"}},
      {"version out of range", Data::fromHex("0802"), {}, {"[FrameProcessor] Invalid OfflineFrame version"}},
      {"empty frame", {}, {}, {"[FrameProcessor] Invalid OfflineFrame version"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Receiver receiver;
    receiver.feed(c.frame);
    EXPECT_THAT(receiver.events, ElementsAreArray(c.events));
    EXPECT_THAT(receiver.lines(), ElementsAreArray(c.lines));
  }
}

TEST(FrameProcessor, MalformedFrameThrowsTheParserError) {
  for (const auto& hex : {"ff", "0801120a", "08011206080332028801"}) {
    SCOPED_TRACE(hex);
    Receiver receiver;
    EXPECT_THROW(receiver.feed(Data::fromHex(hex)), MessageError);
    EXPECT_THAT(receiver.events, IsEmpty());
  }
}

TEST(FrameProcessor, PayloadTransferPacketsThatYieldNothing) {
  struct Case {
    std::string name;
    connections::PayloadTransferFrame transfer;
    std::vector<std::string> lines;
  };
  std::vector<Case> cases;
  {
    connections::PayloadTransferFrame t;
    t.set_packet_type(connections::PayloadTransferFrame::CONTROL);
    t.mutable_payload_header()->set_id(7);
    cases.push_back({"control without message", t,
                     {"[FrameProcessor] Received PAYLOAD_TRANSFER - type: unknownPayloadType, hasHeader: yes, "
                      "hasChunk: no, packetType: control",
                      "[FrameProcessor] Received CONTROL message for payload 7"}});
  }
  {
    connections::PayloadTransferFrame t;
    t.set_packet_type(connections::PayloadTransferFrame::DATA);
    t.mutable_payload_header()->set_id(7);
    t.mutable_payload_header()->set_type(connections::PayloadHeader::BYTES);
    t.mutable_payload_chunk()->set_body(sharingFrame(share::V1Frame::CANCEL));
    t.mutable_payload_chunk()->set_flags(1);
    t.mutable_control_message()->set_event(connections::ControlMessage::PAYLOAD_CANCELED);
    cases.push_back({"data with a control message", t,
                     {"[FrameProcessor] Received PAYLOAD_TRANSFER - type: bytes, hasHeader: yes, hasChunk: yes, "
                      "packetType: data",
                      "[FrameProcessor] Received CONTROL message for payload 7",
                      "[FrameProcessor] Control message: Orvel.Location_Nearby_Connections_ControlMessage"}});
  }
  {
    connections::PayloadTransferFrame t;
    t.set_packet_type(connections::PayloadTransferFrame::PAYLOAD_ACK);
    t.mutable_payload_chunk()->set_body(sharingFrame(share::V1Frame::CANCEL));
    t.mutable_payload_chunk()->set_flags(1);
    cases.push_back({"acknowledgement", t,
                     {"[FrameProcessor] Received PAYLOAD_TRANSFER - type: bytes, hasHeader: no, hasChunk: yes, "
                      "packetType: payloadAck",
                      "[FrameProcessor] Ignoring packet type: payloadAck"}});
  }
  {
    connections::PayloadTransferFrame t;
    t.set_packet_type(connections::PayloadTransferFrame::DATA);
    t.mutable_payload_header()->set_id(-3);
    t.mutable_payload_header()->set_type(connections::PayloadHeader::FILE);
    t.mutable_payload_header()->set_total_size(100);
    cases.push_back({"header only", t,
                     {"[FrameProcessor] Received PAYLOAD_TRANSFER - type: file, hasHeader: yes, hasChunk: no, "
                      "packetType: data",
                      "[FrameProcessor] PayloadTransfer has header but no chunk - header-only frame for payload -3",
                      "[FrameProcessor] Header info: type=file, totalSize=100, id=-3"}});
  }
  cases.push_back({"empty transfer", {},
                   {"[FrameProcessor] Received PAYLOAD_TRANSFER - type: bytes, hasHeader: no, hasChunk: no, "
                    "packetType: unknownPacketType",
                    "[FrameProcessor] PayloadTransfer has header but no chunk - header-only frame for payload 0"}});
  for (auto type : {connections::PayloadHeader::STREAM, connections::PayloadHeader::UNKNOWN_PAYLOAD_TYPE}) {
    connections::PayloadTransferFrame t;
    t.mutable_payload_header()->set_id(1);
    t.mutable_payload_header()->set_type(type);
    t.mutable_payload_chunk()->set_body("x");
    t.mutable_payload_chunk()->set_flags(1);
    auto name = MessageCodec::displayName(type);
    cases.push_back({"payload type " + name, t,
                     {"[FrameProcessor] Received PAYLOAD_TRANSFER - type: " + name +
                          ", hasHeader: yes, hasChunk: yes, packetType: unknownPacketType",
                      "[FrameProcessor] Unknown payload type: " + name}});
  }
  {
    connections::PayloadTransferFrame t;
    t.mutable_payload_header()->set_id(1);  // present, type absent
    t.mutable_payload_chunk()->set_body("x");
    cases.push_back({"payload type absent", t,
                     {"[FrameProcessor] Received PAYLOAD_TRANSFER - type: unknownPayloadType, hasHeader: yes, "
                      "hasChunk: yes, packetType: unknownPacketType",
                      "[FrameProcessor] Unknown payload type: unknownPayloadType"}});
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Receiver receiver;
    receiver.feed(transferFrame(c.transfer));
    EXPECT_THAT(receiver.events, IsEmpty());
    EXPECT_THAT(receiver.lines(), ElementsAreArray(c.lines));
  }
}

TEST(FrameProcessor, FileChunksArePassedOnAsTheyCome) {
  Receiver receiver;
  receiver.feed(chunkFrame(connections::PayloadHeader::FILE, 9, 10, "world", 0, 15));
  receiver.feed(chunkFrame(connections::PayloadHeader::FILE, 9, 0, "hello", 0, 15));
  receiver.feed(chunkFrame(connections::PayloadHeader::FILE, 9, 15, std::nullopt, 1, 15));
  receiver.feed(chunkFrame(connections::PayloadHeader::FILE, 8, 0, "", 3, 0));
  receiver.feed(chunkFrame(connections::PayloadHeader::FILE, 7, 0, "z", 2, 1));
  EXPECT_THAT(receiver.events, ElementsAre("chunk 9@10 'world'", "chunk 9@0 'hello'", "chunk 9@15 '' last",
                                           "chunk 8@0 '' last", "chunk 7@0 'z'"));
  EXPECT_EQ(receiver.capture.linesStartingWith("[FrameProcessor] FILE payload: ").size(), 5u);
  EXPECT_TRUE(receiver.capture.contains("[FrameProcessor] FILE payload: , size: 15"));
}

TEST(FrameProcessor, FileChunkNamesItsFileInTheLog) {
  connections::PayloadTransferFrame t;
  t.mutable_payload_header()->set_id(4);
  t.mutable_payload_header()->set_type(connections::PayloadHeader::FILE);
  t.mutable_payload_header()->set_file_name("IMG_1.jpg");
  t.mutable_payload_header()->set_total_size(2048);
  t.mutable_payload_chunk();  // present but empty: offset 0, no body, not last
  Receiver receiver;
  receiver.feed(transferFrame(t));
  EXPECT_THAT(receiver.events, ElementsAre("chunk 4@0 ''"));
  EXPECT_THAT(receiver.lines(),
              ElementsAre("[FrameProcessor] Received PAYLOAD_TRANSFER - type: file, hasHeader: yes, hasChunk: yes, "
                          "packetType: unknownPacketType",
                          "[FrameProcessor] FILE payload: IMG_1.jpg, size: 2048"));
}

TEST(FrameProcessor, BytesPayloadInOneChunk) {
  auto content = introduction();
  Receiver receiver;
  receiver.feed(bytesChunk(12, 0, content, 1));
  EXPECT_THAT(receiver.events, ElementsAre(kIntroductionEvent));
  const auto size = std::to_string(content.size());
  EXPECT_THAT(receiver.lines(),
              ElementsAre("[FrameProcessor] Received PAYLOAD_TRANSFER - type: bytes, hasHeader: yes, hasChunk: yes, "
                          "packetType: data",
                          "[FrameProcessor] BYTES payload chunk: id=12, offset=0, bodySize=" + size +
                              ", flags=1, isLast=true",
                          "[FrameProcessor] Started bytes payload buffer for id=12 (" + size + " bytes)",
                          "[FrameProcessor] Bytes payload complete, processing Sharing frame (" + size + " bytes)",
                          "[FrameProcessor] Processing Sharing frame (" + size + " bytes)",
                          "[FrameProcessor] Sharing hex: " + hexString(byteView(content)),
                          "[FrameProcessor] Sharing INTRODUCTION",
                          "[FrameProcessor] File: a.jpg, size: 10, payloadId: 5",
                          "[FrameProcessor] File: , size: 0, payloadId: 0"));
  // Completed payloads leave nothing behind: a new end marker finds no buffer.
  receiver.feed(bytesChunk(12, 0, std::nullopt, 1));
  EXPECT_TRUE(receiver.capture.contains("[FrameProcessor] End marker received but no buffered data for id=12"));
  EXPECT_EQ(receiver.events.size(), 1u);
}

TEST(FrameProcessor, BytesPayloadInSeveralChunks) {
  auto content = introduction();
  Receiver receiver;
  receiver.feed(bytesChunk(-5, 0, content.substr(0, 4), 0));
  receiver.feed(bytesChunk(-5, 4, content.substr(4, 6), 0));
  EXPECT_THAT(receiver.events, IsEmpty());
  receiver.feed(bytesChunk(-5, 10, content.substr(10), 0));
  EXPECT_THAT(receiver.events, IsEmpty());
  receiver.feed(bytesChunk(-5, static_cast<std::int64_t>(content.size()), std::nullopt, 1));
  EXPECT_THAT(receiver.events, ElementsAre(kIntroductionEvent));
  EXPECT_THAT(receiver.capture.linesStartingWith("[FrameProcessor] Appended"),
              ElementsAre("[FrameProcessor] Appended to bytes payload buffer for id=-5 (now 10 bytes)",
                          "[FrameProcessor] Appended to bytes payload buffer for id=-5 (now " +
                              std::to_string(content.size()) + " bytes)"));
}

TEST(FrameProcessor, BytesPayloadGatheringRules) {
  auto cancel = sharingFrame(share::V1Frame::CANCEL);
  auto result = sharingFrame(share::V1Frame::PAIRED_KEY_RESULT);
  struct Case {
    std::string name;
    std::vector<Bytes> frames;
    std::vector<std::string> events;
  };
  auto headerless = [](std::int64_t offset, std::optional<std::string> body, std::int32_t flags) {
    connections::PayloadTransferFrame t;
    auto* chunk = t.mutable_payload_chunk();
    chunk->set_offset(offset);
    if (body) chunk->set_body(*body);
    chunk->set_flags(flags);
    return transferFrame(t);
  };
  const Case cases[] = {
      {"interleaved ids",
       {bytesChunk(1, 0, cancel.substr(0, 3), 0), bytesChunk(2, 0, result.substr(0, 5), 0),
        bytesChunk(1, 3, cancel.substr(3), 0), bytesChunk(2, 5, result.substr(5), 1), bytesChunk(1, 0, "", 1)},
       {"pairedKeyResult", "disconnect"}},
      {"second start discards the first",
       {bytesChunk(1, 0, "garbage that would not parse", 0), bytesChunk(1, 0, cancel, 1)},
       {"disconnect"}},
      {"offsets are not compared, arrival order counts",
       {bytesChunk(1, 0, cancel.substr(0, 2), 0), bytesChunk(1, 999, cancel.substr(2), 1)},
       {"disconnect"}},
      {"a chunk with nothing to join is dropped",
       {bytesChunk(1, 100, cancel, 0), bytesChunk(1, 100, "", 1)},
       {}},
      {"headerless chunks gather under id 0",
       {headerless(0, cancel.substr(0, 3), 0), bytesChunk(0, 3, cancel.substr(3), 0), headerless(9, std::nullopt, 3)},
       {"disconnect"}},
      {"an empty start chunk starts nothing", {bytesChunk(1, 0, "", 0), bytesChunk(1, 1, cancel, 1)}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Receiver receiver;
    for (const auto& frame : c.frames) receiver.feed(frame);
    EXPECT_THAT(receiver.events, ElementsAreArray(c.events));
  }
}

TEST(FrameProcessor, StrayChunksAndEndMarkers) {
  Receiver receiver;
  receiver.feed(bytesChunk(3, 100, "late", 0));
  EXPECT_THAT(receiver.capture.linesStartingWith("[FrameProcessor] Started"), IsEmpty());
  EXPECT_THAT(receiver.capture.linesStartingWith("[FrameProcessor] Appended"), IsEmpty());
  receiver.capture.clear();
  receiver.feed(bytesChunk(3, 104, "", 1));
  EXPECT_THAT(receiver.lines(),
              ElementsAre("[FrameProcessor] Received PAYLOAD_TRANSFER - type: bytes, hasHeader: yes, hasChunk: yes, "
                          "packetType: data",
                          "[FrameProcessor] BYTES payload chunk: id=3, offset=104, bodySize=0, flags=1, isLast=true",
                          "[FrameProcessor] End marker received but no buffered data for id=3"));
  EXPECT_THAT(receiver.events, IsEmpty());
}

TEST(FrameProcessor, CompletedPayloadThatDoesNotParseThrowsAndKeepsItsBuffer) {
  Receiver receiver;
  EXPECT_THROW(receiver.feed(bytesChunk(6, 0, "\xff\xff", 1)), MessageError);
  EXPECT_THAT(receiver.events, IsEmpty());
  receiver.capture.clear();
  receiver.feed(bytesChunk(6, 2, "x", 0));
  EXPECT_TRUE(receiver.capture.contains("[FrameProcessor] Appended to bytes payload buffer for id=6 (now 3 bytes)"));
}

TEST(FrameProcessor, SharingFrameTypes) {
  struct Case {
    std::string name;
    std::string content;
    std::vector<std::string> events;
    std::string line;
  };
  share::Frame unversioned;
  unversioned.mutable_v1()->set_type(share::V1Frame::CANCEL);
  auto unversionedBytes = MessageCodec::serialize(unversioned);
  share::Frame emptyIntroduction;
  emptyIntroduction.set_version(share::Frame::V1);
  emptyIntroduction.mutable_v1()->set_type(share::V1Frame::INTRODUCTION);
  auto emptyIntroductionBytes = MessageCodec::serialize(emptyIntroduction);
  const Case cases[] = {
      {"introduction", introduction(), {kIntroductionEvent}, "[FrameProcessor] Sharing INTRODUCTION"},
      {"introduction without entries", {emptyIntroductionBytes.begin(), emptyIntroductionBytes.end()},
       {"introduction from Sender"}, "[FrameProcessor] Sharing INTRODUCTION"},
      {"response", sharingFrame(share::V1Frame::RESPONSE), {}, "[FrameProcessor] Sharing RESPONSE"},
      {"paired-key encryption", sharingFrame(share::V1Frame::PAIRED_KEY_ENCRYPTION), {"pairedKeyEncryption"},
       "[FrameProcessor] Sharing PAIRED_KEY_ENCRYPTION"},
      {"paired-key result", sharingFrame(share::V1Frame::PAIRED_KEY_RESULT), {"pairedKeyResult"},
       "[FrameProcessor] Sharing PAIRED_KEY_RESULT"},
      {"cancel", sharingFrame(share::V1Frame::CANCEL), {"disconnect"}, "[FrameProcessor] Sharing CANCEL"},
      {"certificate info", sharingFrame(share::V1Frame::CERTIFICATE_INFO), {},
       "[FrameProcessor] Unknown Sharing frame type: 5"},
      {"progress update", sharingFrame(share::V1Frame::PROGRESS_UPDATE), {},
       "[FrameProcessor] Unknown Sharing frame type: 7"},
      {"unknown type", sharingFrame(share::V1Frame::UNKNOWN_FRAME_TYPE), {},
       "[FrameProcessor] Unknown Sharing frame type: 0"},
      {"no v1", "\x08\x01", {}, "[FrameProcessor] Unknown Sharing frame type: 0"},
      {"version absent", {unversionedBytes.begin(), unversionedBytes.end()}, {},
       "[FrameProcessor] Invalid Sharing frame version"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Receiver receiver;
    receiver.feed(bytesChunk(1, 0, c.content, 1));
    EXPECT_THAT(receiver.events, ElementsAreArray(c.events));
    EXPECT_TRUE(receiver.capture.contains(c.line));
  }
}

TEST(FrameProcessor, BytesBounds) {
  constexpr auto kPayload = FrameProcessor::kMaxBytesPayloadSize;
  constexpr auto kEntry = FrameProcessor::kPayloadBookkeeping;
  const std::string third(kPayload / 2, 'x');
  std::vector<Bytes> manySmall;
  for (std::size_t id = 1; id <= FrameProcessor::kMaxUnfinishedBytesPayloads + 1; ++id) {
    manySmall.push_back(bytesChunk(static_cast<std::int64_t>(id), 0, "x", 0));
  }
  struct Case {
    std::string name;
    std::vector<Bytes> frames;  // the last one fails
    std::string line;
    FrameProcessor::Bound bound;  // a phone meets only the size of one payload
  };
  const Case cases[] = {
      {"a claim past the payload limit",
       {chunkFrame(connections::PayloadHeader::BYTES, 1, 0, "x", 0, kPayload + 1)},
       "[FrameProcessor] BYTES payload 1 claims " + std::to_string(kPayload + 1) + " bytes, more than the limit of " +
           std::to_string(kPayload) + "; failing the transfer",
       FrameProcessor::Bound::payloadSize},
      {"one payload growing past its limit",
       {bytesChunk(1, 0, third, 0), bytesChunk(1, 1, third, 0), bytesChunk(1, 2, "x", 0)},
       "[FrameProcessor] BYTES payload 1 grows past the limit of " + std::to_string(kPayload) +
           " bytes; failing the transfer",
       FrameProcessor::Bound::payloadSize},
      // The second payload leaves room for the two entries' bookkeeping.
      {"unfinished payloads together past the connection's limit",
       {bytesChunk(1, 0, third, 0), bytesChunk(1, 1, third, 0), bytesChunk(2, 0, third.substr(2 * kEntry), 0),
        bytesChunk(2, 1, third, 0), bytesChunk(3, 0, "x", 0)},
       "[FrameProcessor] Unfinished BYTES payloads grow past the limit of " +
           std::to_string(FrameProcessor::kMaxBufferedBytes) + " bytes; failing the transfer",
       FrameProcessor::Bound::unfinishedPayloads},
      {"appends counted by the room they take, not by their bytes",
       {bytesChunk(1, 0, third, 0), bytesChunk(1, 1, "x", 0), bytesChunk(2, 0, third.substr(kEntry), 0),
        bytesChunk(2, 1, "x", 0), bytesChunk(3, 0, "x", 0)},
       "[FrameProcessor] Unfinished BYTES payloads grow past the limit of " +
           std::to_string(FrameProcessor::kMaxBufferedBytes) + " bytes; failing the transfer",
       FrameProcessor::Bound::unfinishedPayloads},
      {"more unfinished payloads than a connection may have, however small", manySmall,
       "[FrameProcessor] More than " + std::to_string(FrameProcessor::kMaxUnfinishedBytesPayloads) +
           " unfinished BYTES payloads; failing the transfer",
       FrameProcessor::Bound::unfinishedPayloads},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Receiver receiver;
    for (std::size_t i = 0; i + 1 < c.frames.size(); ++i) receiver.feed(c.frames[i]);
    receiver.capture.clear();
    try {
      receiver.feed(c.frames.back());
      ADD_FAILURE() << "not refused";
    } catch (ConnectionError error) {
      EXPECT_EQ(error, ConnectionError::transferFailed);
    }
    EXPECT_THAT(receiver.capture.linesStartingWith("[FrameProcessor] BYTES payload chunk"), testing::SizeIs(1));
    EXPECT_TRUE(receiver.capture.contains(c.line));
    EXPECT_EQ(receiver.processor.boundMet(), c.bound);
    // The buffers are let go: a later chunk has nothing to join.
    receiver.capture.clear();
    receiver.feed(bytesChunk(1, 5, "y", 1));
    EXPECT_TRUE(receiver.capture.contains("[FrameProcessor] End marker received but no buffered data for id=1"));
  }
}

TEST(FrameProcessor, BoundsLeaveRoomUpToTheLimitsAndCountFinishedPayloadsOut) {
  constexpr auto kPayload = FrameProcessor::kMaxBytesPayloadSize;
  constexpr auto kEntry = FrameProcessor::kPayloadBookkeeping;
  const std::string half(kPayload / 2, 'x');
  auto cancel = sharingFrame(share::V1Frame::CANCEL);
  Receiver receiver;
  receiver.feed(chunkFrame(connections::PayloadHeader::BYTES, 1, 0, half, 0, kPayload));
  receiver.feed(bytesChunk(1, 1, half, 0));
  receiver.feed(bytesChunk(2, 0, half.substr(2 * kEntry), 0));
  // One at its limit, the other short of the two entries' bookkeeping: together at the connection's.
  receiver.feed(bytesChunk(2, 1, half, 0));
  EXPECT_EQ(receiver.processor.heldBytes(), FrameProcessor::kMaxBufferedBytes);
  // Restarting a payload replaces its bytes in the count; finishing one frees them.
  receiver.feed(bytesChunk(2, 0, cancel, 1));
  for (int i = 0; i < 2; ++i) receiver.feed(bytesChunk(3 + i, 0, half.substr(2 * kEntry), 0));
  EXPECT_THAT(receiver.events, ElementsAre("disconnect"));
}

// An offer costs a few log lines whatever its size; its list is charged
// while it is read, before it takes the room, and is read no further than
// its first entry that cannot be received.
TEST(FrameProcessor, AnOfferIsChargedAsItIsReadLoggedInAFewLinesAndReadUpToItsFirstFlaw) {
  constexpr int kEntries = 20'000;
  auto offer = [](auto idOf, auto sizeOf) {
    share::Frame frame;
    frame.set_version(share::Frame::V1);
    frame.mutable_v1()->set_type(share::V1Frame::INTRODUCTION);
    for (int i = 0; i < kEntries; ++i) {
      auto* file = frame.mutable_v1()->mutable_introduction()->add_file_metadata();
      file->set_payload_id(idOf(i));
      file->set_size(sizeOf(i));
    }
    return MessageCodec::serialize(frame);
  };
  struct Case {
    std::string name;
    Bytes frame;
    std::size_t read;
  };
  const auto one = [](int) { return 1; };
  for (const auto& item : std::vector<Case>{
           {"distinct ids", offer([](int i) { return i + 1; }, one), kEntries},
           {"every id the same", offer([](int) { return 0; }, one), 2},
           {"a negative size third", offer([](int i) { return i + 1; }, [](int i) { return i == 2 ? -1 : 1; }), 3},
       }) {
    SCOPED_TRACE(item.name);
    LogCapture capture;
    FrameProcessor processor;
    std::int64_t mostHeld = 0;
    processor.setHoldCheck([&] {
      mostHeld = std::max(mostHeld, processor.heldBytes());
      return true;
    });
    std::optional<FrameEvent::Introduction> offered;
    processor.processFrame(bytesChunk(1, 0, byteString(item.frame), 1), [&](const FrameEvent& event) {
      offered = std::get<FrameEvent::Introduction>(event.value);
    });
    ASSERT_TRUE(offered);
    EXPECT_EQ(offered->files.size(), item.read);
    EXPECT_EQ(offered->announcedFiles, static_cast<std::size_t>(kEntries));
    EXPECT_GE(mostHeld, static_cast<std::int64_t>(offered->files.heldBytes()));
    EXPECT_EQ(processor.heldBytes(), 0);
    EXPECT_EQ(capture.linesStartingWith("[FrameProcessor] File: ").size(),
              std::min(item.read, FrameProcessor::kLoggedFiles));
    if (item.read > FrameProcessor::kLoggedFiles) {
      const auto rest = std::to_string(item.read - FrameProcessor::kLoggedFiles);
      EXPECT_TRUE(capture.contains("[FrameProcessor] And " + rest + " more files, " + rest + " bytes in all"));
    }
    EXPECT_TRUE(capture.contains("[FrameProcessor] Sharing hex: " + hexPrefix(item.frame, 50)));
  }

  // Refused before the room is taken: no event, and the transfer fails.
  FrameProcessor processor;
  int checks = 0;
  processor.setHoldCheck([&] { return ++checks < 3; });
  std::vector<std::string> events;
  EXPECT_THROW(processor.processFrame(bytesChunk(1, 0, byteString(offer([](int i) { return i + 1; }, one)), 1),
                                      [&](const FrameEvent& event) { events.push_back(describe(event)); }),
               ConnectionError);
  EXPECT_EQ(checks, 3);
  EXPECT_THAT(events, IsEmpty());
}

// A payload started again at offset 0 gives back the memory of its old
// bytes, however many ids a sender starts that way.
TEST(FrameProcessor, APayloadRestartedAtOffsetZeroGivesItsMemoryBack) {
  const std::string large(FrameProcessor::kMaxBytesPayloadSize - 100'000, 'x');
  constexpr int ids = 20;
  Receiver receiver;
  const auto before = static_cast<std::int64_t>(test::heapInUse());
  for (int id = 1; id <= ids; ++id) {
    receiver.feed(bytesChunk(id, 0, large, 0));
    receiver.feed(bytesChunk(id, 0, "y", 0));
  }
  EXPECT_LT(static_cast<std::int64_t>(test::heapInUse()) - before, 1 << 20);
  constexpr auto kEntry = FrameProcessor::kPayloadBookkeeping;
  EXPECT_EQ(receiver.processor.heldBytes(), ids * (1 + kEntry));
  receiver.feed(bytesChunk(ids, 1, "z", 0));  // doubled
  EXPECT_EQ(receiver.processor.heldBytes(), ids * (1 + kEntry) + 1);
}

// --- The Sharing frame read in place ---

// Wire form by hand, for what a serialiser would never write.
Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
Bytes varint(std::uint64_t value) {
  Bytes out;
  for (; value >= 0x80; value >>= 7) out.push_back(static_cast<std::uint8_t>(value | 0x80));
  out.push_back(static_cast<std::uint8_t>(value));
  return out;
}
Bytes number(int field, std::uint64_t value) { return varint(static_cast<std::uint64_t>(field) << 3) + varint(value); }
Bytes delimited(int field, const Bytes& content) {
  return varint(static_cast<std::uint64_t>(field) << 3 | 2) + varint(content.size()) + content;
}
Bytes text(int field, const std::string& value) { return delimited(field, bytes(value)); }
// A frame of version 1 around one V1Frame.
Bytes v1Frame(const Bytes& v1) { return number(1, 1) + delimited(2, v1); }
Bytes introducing(const Bytes& entries) { return v1Frame(number(1, 1) + delimited(2, entries)); }
Bytes entry(const Bytes& fields) { return delimited(1, fields); }

std::string readsOf(bool isV1, int type, const FileList& files) {
  std::string out = std::string(isV1 ? "v1" : "not v1") + " type " + std::to_string(type);
  for (const auto& file : files) {
    out += " [" + file.name + " " + std::to_string(file.size) + " " + std::to_string(file.payloadId) + " " +
           file.mimeType + "]";
  }
  return out;
}

std::string readInPlace(ByteView frame) {
  try {
    const SharingFrameReader reader(frame);
    return readsOf(reader.isVersion1(), reader.frameType(), reader.files());
  } catch (MessageError error) {
    return std::string(toString(error));
  }
}

std::string readByCodec(ByteView frame) {
  try {
    const auto parsed = MessageCodec::parse<share::Frame>(frame);
    FileList::Builder files;
    for (const auto& file : parsed.v1().introduction().file_metadata()) {
      files.add(file.payload_id(), file.name(), file.size(), file.mime_type());
    }
    return readsOf(parsed.version() == share::Frame::V1, parsed.v1().type(), files.finish());
  } catch (MessageError error) {
    return std::string(toString(error));
  }
}

// The reader takes and refuses what the parser does, and reads the same offer.
TEST(SharingFrameReader, ReadsAsTheParserDoes) {
  const Bytes a = text(1, "a") + number(3, 5) + number(4, 10) + text(5, "m");
  const Bytes keyBeyond32Bits{0x8a, 0x80, 0x80, 0x80, 0x10, 0x01, 0x61};  // modulo 2^32: a name
  const Bytes elevenByteVarint{0x18, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01};
  auto groups = [](int depth) {
    Bytes nested;
    for (int i = 0; i < depth; ++i) nested.push_back(0x53);  // field 10, start group
    for (int i = 0; i < depth; ++i) nested.push_back(0x54);
    return nested;
  };
  const struct {
    const char* name;
    Bytes frame;
    std::string reads;
  } cases[] = {
      {"fields in any order",
       number(2, 0) + delimited(2, delimited(2, entry(number(4, 10) + text(1, "a"))) + number(1, 1)) + number(1, 1),
       "v1 type 1 [a 10 0 ]"},
      {"unknown fields at every level",
       number(15, 7) + v1Frame(Bytes{0x4d, 1, 2, 3, 4} + number(1, 1) +
                               delimited(2, text(9, "zz") + entry(a + text(9, "zz") +
                                                                  Bytes{0x51, 1, 2, 3, 4, 5, 6, 7, 8} + groups(2)))),
       "v1 type 1 [a 10 5 m]"},
      {"the last occurrence counts, repeated messages add up",
       v1Frame(number(1, 1) + delimited(2, entry(text(1, "x") + text(1, "a") + number(3, 1)))) +
           delimited(2, delimited(2, entry(number(3, 2)))),
       "v1 type 1 [a 0 1 ] [ 0 2 ]"},
      {"an enum number that names no value is passed over",
       number(1, 2) + delimited(2, number(1, 6) + number(1, 9) + number(1, ~std::uint64_t{0})) + number(1, 1) +
           number(1, 2),
       "v1 type 6"},
      {"an enum is the low 32 bits", v1Frame(number(1, (std::uint64_t{1} << 32) + 1)), "v1 type 1"},
      {"a field of another wire type is unknown", introducing(entry(number(1, 5) + delimited(3, {7}) + number(4, 3))),
       "v1 type 1 [ 3 0 ]"},
      {"negative numbers in ten bytes", introducing(entry(number(3, ~std::uint64_t{0}) + number(4, ~std::uint64_t{4}))),
       "v1 type 1 [ -5 -1 ]"},
      {"an introduction under another type is read alike", v1Frame(number(1, 6) + delimited(2, entry(a))),
       "v1 type 6 [a 10 5 m]"},
      {"a key beyond 32 bits", introducing(entry(keyBeyond32Bits)), "malformed"},
      {"an eleven-byte varint", introducing(entry(elevenByteVarint)), "malformed"},
      {"an entry longer than its introduction",
       v1Frame(number(1, 1) + delimited(2, Bytes{0x0a, 0x05, 0x0a, 0x01, 0x61}) + number(3, 1)), "malformed"},
      {"cut short", [&] { auto f = introducing(entry(a)); f.pop_back(); return f; }(), "malformed"},
      {"another sub-frame malformed", v1Frame(number(1, 6) + delimited(6, {0x0a, 0x05})), "malformed"},
      {"groups in an entry up to the nesting limit", introducing(entry(groups(96))), "v1 type 1 [ 0 0 ]"},
      {"groups in an entry past the nesting limit", introducing(entry(groups(97))), "malformed"},
      {"a name that is not UTF-8", introducing(entry(text(1, "\xff"))), "invalidUtf8"},
      {"a parent folder that is not UTF-8", introducing(entry(text(7, "\xc3"))), "invalidUtf8"},
      {"text of the other lists that is not UTF-8",
       introducing(delimited(2, text(1, "\xff")) + delimited(4, text(1, "ok")) + text(3, "ok")), "invalidUtf8"},
      {"a required package that is not UTF-8", introducing(text(3, "\xff")), "invalidUtf8"},
      {"bytes need not be UTF-8", introducing(entry(text(6, "\xff"))) + v1Frame(delimited(4, text(1, "\xff"))),
       "v1 type 1 [ 0 0 ]"},
      {"a malformed field after invalid text", introducing(entry(text(1, "\xff")) + Bytes{0x0f}), "malformed"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(readInPlace(c.frame), c.reads) << c.name;
    EXPECT_EQ(readByCodec(c.frame), c.reads) << c.name;
  }
}

// --- Outgoing frames ---

struct PayloadFrames {
  connections::OfflineFrame first, last;
};

PayloadFrames parseTwo(const std::vector<Bytes>& frames) {
  EXPECT_EQ(frames.size(), 2u);
  if (frames.size() != 2) return {};
  return {MessageCodec::parse<connections::OfflineFrame>(frames[0]),
          MessageCodec::parse<connections::OfflineFrame>(frames[1])};
}

// The content's two frames carry the same header and one negative id; the
// last has the content's length as offset and no body at all.
void expectPayloadFrames(const std::vector<Bytes>& frames, const Bytes& content) {
  auto [first, last] = parseTwo(frames);
  for (const auto* frame : {&first, &last}) {
    EXPECT_EQ(frame->version(), connections::OfflineFrame::V1);
    EXPECT_EQ(frame->v1().type(), connections::V1Frame::PAYLOAD_TRANSFER);
    const auto& transfer = frame->v1().payload_transfer();
    EXPECT_EQ(transfer.packet_type(), connections::PayloadTransferFrame::DATA);
    EXPECT_FALSE(transfer.has_control_message());
    const auto& header = transfer.payload_header();
    EXPECT_LT(header.id(), 0);
    EXPECT_EQ(header.type(), connections::PayloadHeader::BYTES);
    EXPECT_EQ(header.total_size(), static_cast<std::int64_t>(content.size()));
    EXPECT_TRUE(header.has_is_sensitive());
    EXPECT_FALSE(header.is_sensitive());
    EXPECT_FALSE(header.has_file_name() || header.has_parent_folder() || header.has_last_modified_timestamp_millis());
    EXPECT_TRUE(transfer.payload_chunk().has_flags() && transfer.payload_chunk().has_offset());
    EXPECT_FALSE(transfer.payload_chunk().has_index());
  }
  EXPECT_EQ(first.v1().payload_transfer().payload_header().SerializeAsString(),
            last.v1().payload_transfer().payload_header().SerializeAsString());
  const auto& body = first.v1().payload_transfer().payload_chunk();
  EXPECT_EQ(body.flags(), 0);
  EXPECT_EQ(body.offset(), 0);
  EXPECT_TRUE(body.has_body());
  EXPECT_EQ(body.body(), std::string(content.begin(), content.end()));
  const auto& end = last.v1().payload_transfer().payload_chunk();
  EXPECT_EQ(end.flags(), 1);
  EXPECT_EQ(end.offset(), static_cast<std::int64_t>(content.size()));
  EXPECT_FALSE(end.has_body());
}

TEST(FrameBuilders, KeepAliveIsTenExactBytes) {
  FrameProcessor processor;
  LogCapture capture;
  EXPECT_EQ(hexString(processor.buildKeepAlive()), "08011206080532020800");
  EXPECT_THAT(capture.lines(), IsEmpty());
}

TEST(FrameBuilders, SharingFramesSerialiseExactly) {
  FrameProcessor processor;
  EXPECT_EQ(hexString(*processor.buildConnectionResponse(ConnectionResponseStatus::accept)), "0801120608021a020801");
  EXPECT_EQ(hexString(*processor.buildConnectionResponse(ConnectionResponseStatus::reject)), "0801120608021a020802");
  EXPECT_EQ(hexString(*processor.buildPairedKeyResult()), "0801120808042a0408031003");

  auto encryption = *processor.buildPairedKeyEncryption();
  ASSERT_EQ(encryption.size(), 90u);
  EXPECT_EQ(hexString(ByteView(encryption).first(10)), "08011256080322520a48");
  EXPECT_EQ(hexString(ByteView(encryption).subspan(82, 2)), "1206");
  EXPECT_NE(processor.buildPairedKeyEncryption(), encryption);  // drawn afresh
}

TEST(FrameBuilders, AcceptingResponseIsFortySevenAndThirtyFiveBytes) {
  FrameProcessor processor;
  LogCapture capture;
  auto frames = processor.buildConnectionResponseFrames(ConnectionResponseStatus::accept);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].size(), 47u);
  EXPECT_EQ(frames[1].size(), 35u);
  expectPayloadFrames(frames, Data::fromHex("0801120608021a020801"));
  EXPECT_THAT(capture.lines(),
              ElementsAre("[FrameProcessor] Built Sharing_Nearby CONNECTION_RESPONSE (10 bytes): 0801120608021a020801",
                          "[FrameProcessor] Built PAYLOAD_TRANSFER frames: 47 bytes + 35 bytes"));
}

TEST(FrameBuilders, EveryTwoFrameBuilder) {
  FrameProcessor processor;
  {
    LogCapture capture;
    auto frames = processor.buildConnectionResponseFrames(ConnectionResponseStatus::reject);
    expectPayloadFrames(frames, Data::fromHex("0801120608021a020802"));
  }
  {
    LogCapture capture;
    auto frames = processor.buildPairedKeyResultFrames();
    expectPayloadFrames(frames, Data::fromHex("0801120808042a0408031003"));
    EXPECT_THAT(capture.lines(),
                ElementsAre("[FrameProcessor] Built Sharing_Nearby PAIRED_KEY_RESULT (12 bytes): 0801120808042a0408031003",
                            "[FrameProcessor] Built PAYLOAD_TRANSFER frames: 49 bytes + 35 bytes"));
  }
  {
    LogCapture capture;
    auto frames = processor.buildPairedKeyEncryptionFrames();
    auto content = parseTwo(frames).first.v1().payload_transfer().payload_chunk().body();
    ASSERT_EQ(content.size(), 90u);
    expectPayloadFrames(frames, bytes(content));
    EXPECT_THAT(capture.lines(),
                ElementsAre("[FrameProcessor] Built Sharing_Nearby PAIRED_KEY_ENCRYPTION (90 bytes): " +
                                hexString(byteView(content)),
                            "[FrameProcessor] Built PAYLOAD_TRANSFER frames: 127 bytes + 35 bytes"));
  }
}

TEST(FrameBuilders, EmptyContentStillGivesTwoFrames) {
  LogCapture capture;
  expectPayloadFrames(FrameProcessorTesting::bytesPayloadFrames({}), {});
  EXPECT_THAT(capture.lines(), ElementsAre("[FrameProcessor] Built PAYLOAD_TRANSFER frames: 37 bytes + 35 bytes"));
}

TEST(FrameBuilders, EachPayloadDrawsItsOwnId) {
  FrameProcessor processor;
  auto id = [&] {
    return parseTwo(processor.buildPairedKeyResultFrames()).first.v1().payload_transfer().payload_header().id();
  };
  EXPECT_NE(id(), id());
}

TEST(FrameBuilders, BuiltFramesReadBackAsTheirEvents) {
  FrameProcessor sender;
  Receiver receiver;
  for (const auto& frame : sender.buildPairedKeyEncryptionFrames()) receiver.feed(frame);
  for (const auto& frame : sender.buildPairedKeyResultFrames()) receiver.feed(frame);
  for (const auto& frame : sender.buildConnectionResponseFrames(ConnectionResponseStatus::accept)) receiver.feed(frame);
  receiver.feed(sender.buildKeepAlive());
  EXPECT_THAT(receiver.events, ElementsAre("pairedKeyEncryption", "pairedKeyResult", "keepAlive"));
  EXPECT_TRUE(receiver.capture.contains("[FrameProcessor] Sharing RESPONSE"));
}

}  // namespace
}  // namespace orvel
