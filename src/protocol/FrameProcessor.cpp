#include "protocol/FrameProcessor.h"

#include <algorithm>
#include <limits>
#include <random>
#include <string>

#include "offline_wire_formats.pb.h"
#include "platform/Log.h"
#include "protocol/MessageCodec.h"
#include "protocol/SharingFrameReader.h"
#include "services/ConnectionError.h"
#include "wire_format.pb.h"

namespace orvel {
namespace {

namespace connections = ::location::nearby::connections;
namespace share = ::sharing::nearby;

using std::to_string;

constexpr std::size_t kLoggedFramePrefix = 50;

const char* yesNo(bool value) { return value ? "yes" : "no"; }

// Outgoing payloads use ids from the negative half so they never meet the sender's.
std::int64_t randomNegativePayloadId() {
  thread_local std::random_device device;
  std::uniform_int_distribution<std::uint64_t> distribution(0, std::numeric_limits<std::int64_t>::max());
  return std::numeric_limits<std::int64_t>::min() + static_cast<std::int64_t>(distribution(device));
}

connections::OfflineFrame v1OfflineFrame(connections::V1Frame::FrameType type) {
  connections::OfflineFrame frame;
  frame.set_version(connections::OfflineFrame::V1);
  frame.mutable_v1()->set_type(type);
  return frame;
}

share::Frame v1SharingFrame(share::V1Frame::FrameType type) {
  share::Frame frame;
  frame.set_version(share::Frame::V1);
  frame.mutable_v1()->set_type(type);
  return frame;
}

}  // namespace

void FrameProcessor::processFrame(ByteView frame, const Handler& handler) {
  Log::write("[FrameProcessor] Processing decrypted frame (" + to_string(frame.size()) + " bytes)");
  Log::write("[FrameProcessor] Frame hex prefix: " + hexPrefix(frame, kLoggedFramePrefix));
  auto offline = MessageCodec::parse<connections::OfflineFrame>(frame);
  if (offline.version() != connections::OfflineFrame::V1) {
    Log::write("[FrameProcessor] Invalid OfflineFrame version");
    return;
  }
  const auto& v1 = offline.v1();
  switch (v1.type()) {
    case connections::V1Frame::PAYLOAD_TRANSFER: {
      const auto& transfer = v1.payload_transfer();
      auto payloadType = transfer.has_payload_header() ? MessageCodec::displayName(transfer.payload_header().type())
                                                       : MessageCodec::displayName(connections::PayloadHeader::BYTES);
      Log::write("[FrameProcessor] Received PAYLOAD_TRANSFER - type: " + payloadType +
                 ", hasHeader: " + yesNo(transfer.has_payload_header()) +
                 ", hasChunk: " + yesNo(transfer.has_payload_chunk()) +
                 ", packetType: " + MessageCodec::displayName(transfer.packet_type()));
      processPayloadTransfer(transfer, handler);
      break;
    }
    case connections::V1Frame::KEEP_ALIVE:
      Log::write("[FrameProcessor] Received KEEP_ALIVE");
      handler(FrameEvent{FrameEvent::KeepAlive{}});
      break;
    case connections::V1Frame::DISCONNECTION:
      Log::write("[FrameProcessor] Received DISCONNECTION");
      handler(FrameEvent{FrameEvent::Disconnect{}});
      break;
    case connections::V1Frame::PAIRED_KEY_ENCRYPTION:
      Log::write("[FrameProcessor] Received PAIRED_KEY_ENCRYPTION");
      handler(FrameEvent{FrameEvent::PairedKeyEncryption{}});
      break;
    case connections::V1Frame::PAIRED_KEY_RESULT:
      Log::write("[FrameProcessor] Received PAIRED_KEY_RESULT");
      handler(FrameEvent{FrameEvent::PairedKeyResult{}});
      break;
    default:
      Log::write("[FrameProcessor] Unknown frame type: " + to_string(static_cast<int>(v1.type())));
      break;
  }
}

void FrameProcessor::processPayloadTransfer(const connections::PayloadTransferFrame& transfer, const Handler& handler) {
  const auto& header = transfer.payload_header();
  const std::int64_t payloadId = header.id();

  if (transfer.packet_type() == connections::PayloadTransferFrame::CONTROL || transfer.has_control_message()) {
    Log::write("[FrameProcessor] Received CONTROL message for payload " + to_string(payloadId));
    if (transfer.has_control_message()) {
      Log::write("[FrameProcessor] Control message: " + MessageCodec::typeDisplayName(transfer.control_message()));
    }
    return;
  }
  if (transfer.packet_type() == connections::PayloadTransferFrame::PAYLOAD_ACK) {
    Log::write("[FrameProcessor] Ignoring packet type: " + MessageCodec::displayName(transfer.packet_type()));
    return;
  }
  if (!transfer.has_payload_chunk()) {
    Log::write("[FrameProcessor] PayloadTransfer has header but no chunk - header-only frame for payload " +
               to_string(payloadId));
    if (transfer.has_payload_header()) {
      Log::write("[FrameProcessor] Header info: type=" + MessageCodec::displayName(header.type()) +
                 ", totalSize=" + to_string(header.total_size()) + ", id=" + to_string(header.id()));
    }
    return;
  }

  const auto& chunk = transfer.payload_chunk();
  const std::int32_t flags = chunk.flags();
  const std::int64_t offset = chunk.offset();
  const ByteView body = byteView(chunk.body());
  const bool isLast = (flags & connections::PayloadChunk::LAST_CHUNK) != 0;

  if (transfer.has_payload_header()) {
    switch (header.type()) {
      case connections::PayloadHeader::FILE:
        Log::write("[FrameProcessor] FILE payload: " + header.file_name() + ", size: " + to_string(header.total_size()));
        handler(FrameEvent{FrameEvent::PayloadChunk{payloadId, offset, body, isLast}});
        return;
      case connections::PayloadHeader::BYTES:
        break;
      default:
        Log::write("[FrameProcessor] Unknown payload type: " + MessageCodec::displayName(header.type()));
        return;
    }
  }

  Log::write("[FrameProcessor] BYTES payload chunk: id=" + to_string(payloadId) + ", offset=" + to_string(offset) +
             ", bodySize=" + to_string(body.size()) + ", flags=" + to_string(flags) +
             ", isLast=" + (isLast ? "true" : "false"));
  if (header.total_size() > kMaxBytesPayloadSize) {
    failTransfer(Bound::payloadSize, "[FrameProcessor] BYTES payload " + to_string(payloadId) + " claims " +
                                         to_string(header.total_size()) + " bytes, more than the limit of " +
                                         to_string(kMaxBytesPayloadSize) + "; failing the transfer");
  }
  gatherBytesChunk(payloadId, offset, body);
  if (!isLast) return;

  auto buffer = bytesPayloadBuffers_.find(payloadId);
  if (buffer == bytesPayloadBuffers_.end()) {
    Log::write("[FrameProcessor] End marker received but no buffered data for id=" + to_string(payloadId));
    return;
  }
  Log::write("[FrameProcessor] Bytes payload complete, processing Sharing frame (" + to_string(buffer->second.size()) +
             " bytes)");
  // A frame that does not parse keeps its buffer; the connection fails anyway.
  auto event = readSharingFrame(buffer->second);
  // Its bytes go before its event is handled: what the event needs of them it holds.
  releaseBytesPayload(buffer);
  if (event) handler(*event);
}

// Chunks are joined in arrival order; a chunk at offset 0 (re)starts its
// payload, and one with nothing to join is dropped.
void FrameProcessor::gatherBytesChunk(std::int64_t payloadId, std::int64_t offset, ByteView body) {
  if (body.empty()) return;
  auto buffer = bytesPayloadBuffers_.find(payloadId);
  if (offset == 0) {
    // The old bytes go with their memory: a buffer refilled in place would
    // keep the room of the largest payload ever started under the id.
    if (buffer != bytesPayloadBuffers_.end()) releaseBytesPayload(buffer);
    return startBytesPayload(payloadId, body);
  }
  if (buffer != bytesPayloadBuffers_.end()) appendToBytesPayload(payloadId, buffer->second, body);
}

void FrameProcessor::startBytesPayload(std::int64_t payloadId, ByteView body) {
  const auto size = static_cast<std::int64_t>(body.size());
  if (size > kMaxBytesPayloadSize) {
    failTransfer(Bound::payloadSize, "[FrameProcessor] BYTES payload " + to_string(payloadId) +
                                         " grows past the limit of " + to_string(kMaxBytesPayloadSize) +
                                         " bytes; failing the transfer");
  }
  if (bytesPayloadBuffers_.size() >= kMaxUnfinishedBytesPayloads) {
    failTransfer(Bound::unfinishedPayloads, "[FrameProcessor] More than " + to_string(kMaxUnfinishedBytesPayloads) +
                                                " unfinished BYTES payloads; failing the transfer");
  }
  if (heldBytes_ + kPayloadBookkeeping + size > kMaxBufferedBytes) {
    failTransfer(Bound::unfinishedPayloads, "[FrameProcessor] Unfinished BYTES payloads grow past the limit of " +
                                                to_string(kMaxBufferedBytes) + " bytes; failing the transfer");
  }
  Bytes content(body.begin(), body.end());
  heldBytes_ += kPayloadBookkeeping + static_cast<std::int64_t>(content.capacity());
  bytesPayloadBuffers_.emplace(payloadId, std::move(content));
  Log::write("[FrameProcessor] Started bytes payload buffer for id=" + to_string(payloadId) + " (" +
             to_string(body.size()) + " bytes)");
}

void FrameProcessor::appendToBytesPayload(std::int64_t payloadId, Bytes& buffer, ByteView body) {
  const auto size = buffer.size() + body.size();
  if (size > static_cast<std::size_t>(kMaxBytesPayloadSize)) {
    failTransfer(Bound::payloadSize, "[FrameProcessor] BYTES payload " + to_string(payloadId) +
                                         " grows past the limit of " + to_string(kMaxBytesPayloadSize) +
                                         " bytes; failing the transfer");
  }
  const auto capacity = buffer.capacity();
  if (size > capacity) {
    // Doubling keeps many small appends linear; no payload needs more room than its limit.
    const auto grown = std::min(std::max(size, 2 * capacity), static_cast<std::size_t>(kMaxBytesPayloadSize));
    if (heldBytes_ - static_cast<std::int64_t>(capacity) + static_cast<std::int64_t>(grown) > kMaxBufferedBytes) {
      failTransfer(Bound::unfinishedPayloads, "[FrameProcessor] Unfinished BYTES payloads grow past the limit of " +
                                                  to_string(kMaxBufferedBytes) + " bytes; failing the transfer");
    }
    buffer.reserve(grown);
    heldBytes_ += static_cast<std::int64_t>(buffer.capacity()) - static_cast<std::int64_t>(capacity);
  }
  buffer.insert(buffer.end(), body.begin(), body.end());
  Log::write("[FrameProcessor] Appended to bytes payload buffer for id=" + to_string(payloadId) + " (now " +
             to_string(buffer.size()) + " bytes)");
}

void FrameProcessor::releaseBytesPayload(std::unordered_map<std::int64_t, Bytes>::iterator buffer) {
  heldBytes_ -= kPayloadBookkeeping + static_cast<std::int64_t>(buffer->second.capacity());
  bytesPayloadBuffers_.erase(buffer);
}

void FrameProcessor::dropGathered() {
  std::unordered_map<std::int64_t, Bytes>().swap(bytesPayloadBuffers_);
  heldBytes_ = 0;
}

void FrameProcessor::failTransfer(Bound bound, const std::string& line) {
  boundMet_ = bound;
  bytesPayloadBuffers_.clear();
  heldBytes_ = 0;
  Log::write(line);
  throw ConnectionError::transferFailed;
}

// Read in place: an offer goes straight into its compact list, which costs a
// few times the frame instead of a message of a hundred bytes and more for
// each of its entries.
std::optional<FrameEvent> FrameProcessor::readSharingFrame(ByteView bytes) {
  Log::write("[FrameProcessor] Processing Sharing frame (" + to_string(bytes.size()) + " bytes)");
  Log::write("[FrameProcessor] Sharing hex: " + hexPrefix(bytes, kLoggedFramePrefix));
  const SharingFrameReader frame(bytes);
  if (!frame.isVersion1()) {
    Log::write("[FrameProcessor] Invalid Sharing frame version");
    return std::nullopt;
  }
  switch (frame.frameType()) {
    case share::V1Frame::INTRODUCTION:
      Log::write("[FrameProcessor] Sharing INTRODUCTION");
      return FrameEvent{FrameEvent::Introduction{"Sender", readFiles(frame), frame.fileCount()}};
    case share::V1Frame::RESPONSE:
      Log::write("[FrameProcessor] Sharing RESPONSE");
      return std::nullopt;
    case share::V1Frame::PAIRED_KEY_ENCRYPTION:
      Log::write("[FrameProcessor] Sharing PAIRED_KEY_ENCRYPTION");
      return FrameEvent{FrameEvent::PairedKeyEncryption{}};
    case share::V1Frame::PAIRED_KEY_RESULT:
      Log::write("[FrameProcessor] Sharing PAIRED_KEY_RESULT");
      return FrameEvent{FrameEvent::PairedKeyResult{}};
    case share::V1Frame::CANCEL:
      Log::write("[FrameProcessor] Sharing CANCEL");
      return FrameEvent{FrameEvent::Disconnect{}};
    default:
      Log::write("[FrameProcessor] Unknown Sharing frame type: " + to_string(frame.frameType()));
      return std::nullopt;
  }
}

// The list may cost several times its frame: it is charged before the
// room for each entry is taken, and reading stops at the first entry that
// makes the offer one that cannot be received (a payload id seen before, a
// negative size), which the offer's own check then finds as the last.
FileList FrameProcessor::readFiles(const SharingFrameReader& frame) {
  struct ListCharge {
    std::int64_t& bytes;
    ~ListCharge() { bytes = 0; }  // the list is the event's, or gone
  } charge{listBytes_};
  FileList::Builder builder;
  // Address space only: pages are taken as the entries are written.
  builder.reserve(frame.fileCount(), frame.fileRecordBytes());
  std::size_t read = 0;
  frame.forEachFile([&](std::int64_t payloadId, std::string_view name, std::int64_t size, std::string_view mimeType) {
    const auto needed = static_cast<std::int64_t>(builder.heldBytesWith(payloadId, name, size, mimeType));
    if (needed > listBytes_) {
      listBytes_ = needed + kListChargeStep;
      if (holdCheck_ && !holdCheck_()) throw ConnectionError::transferFailed;
    }
    const bool firstWithId = builder.add(payloadId, name, size, mimeType);
    if (++read <= kLoggedFiles) {
      Log::write("[FrameProcessor] File: " + std::string(name) + ", size: " + to_string(size) +
                 ", payloadId: " + to_string(payloadId));
    }
    return firstWithId && size >= 0;
  });
  FileList files = builder.finish();
  if (files.size() > kLoggedFiles) {
    Log::write("[FrameProcessor] And " + to_string(files.size() - kLoggedFiles) + " more files, " +
               to_string(files.totalSize(kLoggedFiles)) + " bytes in all");
  }
  return files;
}

// --- Outgoing frames ---

std::vector<Bytes> FrameProcessor::buildConnectionResponseFrames(ConnectionResponseStatus status) {
  return payloadFramesOf(buildConnectionResponse(status));
}

std::vector<Bytes> FrameProcessor::buildPairedKeyEncryptionFrames() {
  return payloadFramesOf(buildPairedKeyEncryption());
}

std::vector<Bytes> FrameProcessor::buildPairedKeyResultFrames() {
  return payloadFramesOf(buildPairedKeyResult());
}

std::vector<Bytes> FrameProcessor::payloadFramesOf(const std::optional<Bytes>& sharingFrame) {
  return sharingFrame ? buildBytesPayloadFrames(*sharingFrame) : std::vector<Bytes>{};
}

std::optional<Bytes> FrameProcessor::buildConnectionResponse(ConnectionResponseStatus status) {
  auto frame = v1SharingFrame(share::V1Frame::RESPONSE);
  frame.mutable_v1()->mutable_connection_response()->set_status(
      status == ConnectionResponseStatus::accept ? share::ConnectionResponseFrame::ACCEPT
                                                 : share::ConnectionResponseFrame::REJECT);
  return serializeSharingFrame(frame, "CONNECTION_RESPONSE");
}

// The paired-key material is random filler: no signature is ever made or checked.
std::optional<Bytes> FrameProcessor::buildPairedKeyEncryption() {
  auto secretIdHash = Data::random(6);
  auto signedData = Data::random(72);
  auto frame = v1SharingFrame(share::V1Frame::PAIRED_KEY_ENCRYPTION);
  auto* encryption = frame.mutable_v1()->mutable_paired_key_encryption();
  encryption->set_signed_data(byteString(signedData));
  encryption->set_secret_id_hash(byteString(secretIdHash));
  return serializeSharingFrame(frame, "PAIRED_KEY_ENCRYPTION");
}

std::optional<Bytes> FrameProcessor::buildPairedKeyResult() {
  auto frame = v1SharingFrame(share::V1Frame::PAIRED_KEY_RESULT);
  auto* result = frame.mutable_v1()->mutable_paired_key_result();
  result->set_status(share::PairedKeyResultFrame::UNABLE);
  result->set_os_type(share::OSX);
  return serializeSharingFrame(frame, "PAIRED_KEY_RESULT");
}

std::optional<Bytes> FrameProcessor::serializeSharingFrame(const share::Frame& frame, std::string_view name) {
  try {
    auto bytes = MessageCodec::serialize(frame);
    Log::write("[FrameProcessor] Built Sharing_Nearby " + std::string(name) + " (" + to_string(bytes.size()) +
               " bytes): " + hexString(bytes));
    return bytes;
  } catch (MessageError error) {
    Log::write("[FrameProcessor] Failed to serialize " + std::string(name) + ": " + std::string(toString(error)));
    return std::nullopt;
  }
}

// One payload is always two frames: all of its bytes (none at all for empty
// content), then an empty last chunk.
std::vector<Bytes> FrameProcessor::buildBytesPayloadFrames(const Bytes& content) {
  connections::PayloadHeader header;
  header.set_id(randomNegativePayloadId());
  header.set_type(connections::PayloadHeader::BYTES);
  header.set_total_size(static_cast<std::int64_t>(content.size()));
  header.set_is_sensitive(false);

  auto frameWithChunk = [&header](std::int32_t flags, std::int64_t offset, const Bytes* body) {
    auto frame = v1OfflineFrame(connections::V1Frame::PAYLOAD_TRANSFER);
    auto* transfer = frame.mutable_v1()->mutable_payload_transfer();
    transfer->set_packet_type(connections::PayloadTransferFrame::DATA);
    *transfer->mutable_payload_header() = header;
    auto* chunk = transfer->mutable_payload_chunk();
    chunk->set_flags(flags);
    chunk->set_offset(offset);
    if (body) chunk->set_body(byteString(*body));
    return frame;
  };
  try {
    auto first = MessageCodec::serialize(frameWithChunk(0, 0, &content));
    auto last = MessageCodec::serialize(
        frameWithChunk(connections::PayloadChunk::LAST_CHUNK, static_cast<std::int64_t>(content.size()), nullptr));
    Log::write("[FrameProcessor] Built PAYLOAD_TRANSFER frames: " + to_string(first.size()) + " bytes + " +
               to_string(last.size()) + " bytes");
    return {std::move(first), std::move(last)};
  } catch (MessageError error) {
    Log::write("[FrameProcessor] Failed to serialize PAYLOAD_TRANSFER: " + std::string(toString(error)));
    return {};
  }
}

Bytes FrameProcessor::buildKeepAlive() {
  auto frame = v1OfflineFrame(connections::V1Frame::KEEP_ALIVE);
  frame.mutable_v1()->mutable_keep_alive()->set_ack(false);
  try {
    return MessageCodec::serialize(frame);
  } catch (MessageError error) {
    Log::write("[FrameProcessor] Failed to serialize KEEP_ALIVE: " + std::string(toString(error)));
    return {};
  }
}

}  // namespace orvel
