#include "support/TestSender.h"

#include <algorithm>
#include <stdexcept>

#include "protocol/MessageCodec.h"
#include "support/Ukey2Initiator.h"

namespace orvel::test {

namespace connections = location::nearby::connections;

TestSender::TestSender(std::string endpointName, std::string endpointId)
    : endpointName_(std::move(endpointName)),
      endpointId_(std::move(endpointId)),
      initiator_(std::make_unique<Ukey2Initiator>()) {}

TestSender::~TestSender() = default;
TestSender::TestSender(TestSender&&) noexcept = default;
TestSender& TestSender::operator=(TestSender&&) noexcept = default;

connections::OfflineFrame TestSender::frameOfType(connections::V1Frame::FrameType type) {
  connections::OfflineFrame frame;
  frame.set_version(connections::OfflineFrame::V1);
  frame.mutable_v1()->set_type(type);
  return frame;
}

Bytes TestSender::connectionRequest() const {
  auto frame = frameOfType(connections::V1Frame::CONNECTION_REQUEST);
  auto* request = frame.mutable_v1()->mutable_connection_request();
  request->set_endpoint_id(endpointId_);
  request->set_endpoint_name(endpointName_);
  request->set_endpoint_info(std::string("\x06\x00\x01\x02", 4));
  return MessageCodec::serialize(frame);
}

Bytes TestSender::clientInit() { return initiator_->clientInit(); }

Bytes TestSender::clientFinish(ByteView serverInit) { return initiator_->clientFinish(serverInit); }

Bytes TestSender::connectionResponse() const {
  auto frame = frameOfType(connections::V1Frame::CONNECTION_RESPONSE);
  auto* response = frame.mutable_v1()->mutable_connection_response();
  response->set_status(0);
  response->set_response(connections::ConnectionResponseFrame::ACCEPT);
  response->mutable_os_info()->set_type(connections::OsInfo::ANDROID);
  return MessageCodec::serialize(frame);
}

std::string TestSender::pin() const { return initiator_->pin(); }

Bytes TestSender::encrypt(const connections::OfflineFrame& frame) {
  return encryptWithSequenceNumber(frame, ++sequenceNumber_);
}

Bytes TestSender::encryptWithSequenceNumber(const connections::OfflineFrame& frame, std::int32_t sequenceNumber) {
  return initiator_->encrypt(MessageCodec::serialize(frame), sequenceNumber);
}

Bytes TestSender::encryptBytes(ByteView plaintext) { return initiator_->encrypt(plaintext, ++sequenceNumber_); }

std::vector<Bytes> TestSender::sharingFrame(const sharing::nearby::Frame& frame) {
  return bytesPayload(MessageCodec::serialize(frame));
}

std::vector<Bytes> TestSender::bytesPayload(ByteView content) {
  std::int64_t payloadId = nextBytesPayloadId_++;
  auto chunkFrame = [&](bool isLast) {
    auto frame = frameOfType(connections::V1Frame::PAYLOAD_TRANSFER);
    auto* transfer = frame.mutable_v1()->mutable_payload_transfer();
    transfer->set_packet_type(connections::PayloadTransferFrame::DATA);
    auto* header = transfer->mutable_payload_header();
    header->set_id(payloadId);
    header->set_type(connections::PayloadHeader::BYTES);
    header->set_total_size(static_cast<std::int64_t>(content.size()));
    auto* chunk = transfer->mutable_payload_chunk();
    chunk->set_flags(isLast ? 1 : 0);
    chunk->set_offset(isLast ? static_cast<std::int64_t>(content.size()) : 0);
    if (!isLast) chunk->set_body(content.data(), content.size());
    return encrypt(frame);
  };
  std::vector<Bytes> frames;
  frames.push_back(chunkFrame(false));
  frames.push_back(chunkFrame(true));
  return frames;
}

namespace {
sharing::nearby::Frame sharingFrameOfType(sharing::nearby::V1Frame::FrameType type) {
  sharing::nearby::Frame frame;
  frame.set_version(sharing::nearby::Frame::V1);
  frame.mutable_v1()->set_type(type);
  return frame;
}
}  // namespace

std::vector<Bytes> TestSender::pairedKeyEncryption() {
  auto frame = sharingFrameOfType(sharing::nearby::V1Frame::PAIRED_KEY_ENCRYPTION);
  auto* encryption = frame.mutable_v1()->mutable_paired_key_encryption();
  encryption->set_signed_data(std::string(72, '\x5a'));
  encryption->set_secret_id_hash(std::string(6, '\x11'));
  return sharingFrame(frame);
}

std::vector<Bytes> TestSender::pairedKeyResult() {
  auto frame = sharingFrameOfType(sharing::nearby::V1Frame::PAIRED_KEY_RESULT);
  auto* result = frame.mutable_v1()->mutable_paired_key_result();
  result->set_status(sharing::nearby::PairedKeyResultFrame::UNABLE);
  result->set_os_type(sharing::nearby::ANDROID);
  return sharingFrame(frame);
}

std::vector<Bytes> TestSender::introduction(const std::vector<TestFile>& files) {
  auto frame = sharingFrameOfType(sharing::nearby::V1Frame::INTRODUCTION);
  auto* introduction = frame.mutable_v1()->mutable_introduction();
  for (const auto& file : files) {
    auto* metadata = introduction->add_file_metadata();
    metadata->set_name(file.name);
    metadata->set_type(sharing::nearby::FileMetadata::UNKNOWN);
    metadata->set_payload_id(file.payloadId);
    metadata->set_size(file.announcedSize.value_or(static_cast<std::int64_t>(file.contents.size())));
    metadata->set_mime_type(file.mimeType);
  }
  return sharingFrame(frame);
}

std::vector<Bytes> TestSender::cancel() {
  auto frame = sharingFrameOfType(sharing::nearby::V1Frame::CANCEL);
  frame.mutable_v1()->mutable_cancel();
  return sharingFrame(frame);
}

Bytes TestSender::fileChunk(std::int64_t payloadId, std::int64_t offset, ByteView body, bool isLast) {
  auto frame = frameOfType(connections::V1Frame::PAYLOAD_TRANSFER);
  auto* transfer = frame.mutable_v1()->mutable_payload_transfer();
  transfer->set_packet_type(connections::PayloadTransferFrame::DATA);
  auto* header = transfer->mutable_payload_header();
  header->set_id(payloadId);
  header->set_type(connections::PayloadHeader::FILE);
  header->set_file_name("ignored.bin");
  auto* chunk = transfer->mutable_payload_chunk();
  chunk->set_flags(isLast ? 1 : 0);
  chunk->set_offset(offset);
  chunk->set_body(body.data(), body.size());
  return encrypt(frame);
}

std::vector<Bytes> TestSender::fileChunks(const TestFile& file) {
  std::vector<Bytes> frames;
  std::size_t offset = 0;
  do {
    std::size_t length = std::min(kChunkSize, file.contents.size() - offset);
    bool isLast = offset + length == file.contents.size();
    frames.push_back(fileChunk(file.payloadId, static_cast<std::int64_t>(offset),
                               ByteView(file.contents).subspan(offset, length), isLast));
    offset += length;
  } while (offset < file.contents.size());
  return frames;
}

Bytes TestSender::keepAlive() {
  auto frame = frameOfType(connections::V1Frame::KEEP_ALIVE);
  frame.mutable_v1()->mutable_keep_alive()->set_ack(false);
  return MessageCodec::serialize(frame);
}

Bytes TestSender::disconnection() {
  auto frame = frameOfType(connections::V1Frame::DISCONNECTION);
  frame.mutable_v1()->mutable_disconnection()->set_request_safe_to_disconnect(true);
  return MessageCodec::serialize(frame);
}

namespace {
// The Sharing frame inside a BYTES payload chunk, when the chunk holds a whole one.
std::optional<sharing::nearby::Frame> sharingFrameIn(const connections::OfflineFrame& frame) {
  if (frame.v1().type() != connections::V1Frame::PAYLOAD_TRANSFER) return std::nullopt;
  const auto& transfer = frame.v1().payload_transfer();
  if (transfer.payload_header().type() != connections::PayloadHeader::BYTES ||
      transfer.payload_chunk().body().empty()) {
    return std::nullopt;
  }
  return MessageCodec::parse<sharing::nearby::Frame>(byteView(transfer.payload_chunk().body()));
}
}  // namespace

TestSender::Received TestSender::openEncrypted(ByteView body) {
  auto decrypted = initiator_->decrypt(body);
  Received received;
  received.frame = MessageCodec::parse<connections::OfflineFrame>(decrypted.message);
  received.sequenceNumber = decrypted.sequenceNumber;
  received.sharing = sharingFrameIn(received.frame);
  return received;
}

TestSender::Received TestSender::openPlaintext(ByteView body) {
  Received received;
  received.frame = MessageCodec::parse<connections::OfflineFrame>(body);
  received.sharing = sharingFrameIn(received.frame);
  return received;
}

}  // namespace orvel::test
