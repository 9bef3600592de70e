#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "protocol/ByteHelpers.h"
#include "protocol/ConnectionResponseStatus.h"
#include "protocol/FrameEvent.h"

namespace location::nearby::connections {
class PayloadTransferFrame;
}
namespace sharing::nearby {
class Frame;
}

namespace orvel {

class SharingFrameReader;

// Turns the frames of one connection's encrypted phase into events, gathering
// BYTES payloads (the Sharing frames) until complete; and builds the frames the
// receiver sends in that phase. Used on its connection's queue only.
class FrameProcessor {
 public:
  using Handler = std::function<void(const FrameEvent&)>;

  // A sender may not make one connection hold more than this in unfinished
  // BYTES payloads, counted by the memory they take (each buffer's room and
  // kPayloadBookkeeping for its entry), nor announce or send a single BYTES
  // payload larger than kMaxBytesPayloadSize. Real Sharing frames stay far
  // below both.
  static constexpr std::int64_t kMaxBufferedBytes = 4 * 1024 * 1024;
  static constexpr std::int64_t kMaxBytesPayloadSize = 2 * 1024 * 1024;
  // What an unfinished payload costs beside its bytes: the map's node and its
  // share of the buckets, and the allocation's header and rounding (a one-byte
  // payload takes about 92 bytes in all, a little more while the map grows).
  static constexpr std::int64_t kPayloadBookkeeping = 128;
  // An honest phone finishes each Sharing frame before it sends the next, so
  // it has one unfinished at a time; this leaves room for a sender that
  // interleaves a few, while their bookkeeping stays within a few KiB.
  static constexpr std::size_t kMaxUnfinishedBytesPayloads = 64;

  // Throws MessageError when the frame, or a BYTES payload it completes, does
  // not parse; ConnectionError::transferFailed past the BYTES bounds.
  void processFrame(ByteView frame, const Handler& handler);

  // The memory the unfinished BYTES payloads take now, their bookkeeping included.
  std::int64_t heldBytes() const { return heldBytes_; }

  // Two frames (content, then the empty last chunk), or none when serialising failed.
  std::vector<Bytes> buildConnectionResponseFrames(ConnectionResponseStatus status);
  std::vector<Bytes> buildPairedKeyEncryptionFrames();
  std::vector<Bytes> buildPairedKeyResultFrames();
  // Empty when serialising failed.
  Bytes buildKeepAlive();

  // The serialised Sharing frames alone, before wrapping; none when serialising failed.
  std::optional<Bytes> buildConnectionResponse(ConnectionResponseStatus status);
  std::optional<Bytes> buildPairedKeyEncryption();
  std::optional<Bytes> buildPairedKeyResult();

 private:
  void processPayloadTransfer(const location::nearby::connections::PayloadTransferFrame& transfer,
                              const Handler& handler);
  void gatherBytesChunk(std::int64_t payloadId, std::int64_t offset, ByteView body);
  void startBytesPayload(std::int64_t payloadId, ByteView body);
  void appendToBytesPayload(std::int64_t payloadId, Bytes& buffer, ByteView body);
  void releaseBytesPayload(std::unordered_map<std::int64_t, Bytes>::iterator buffer);
  // The event a completed Sharing frame yields, if any.
  static std::optional<FrameEvent> readSharingFrame(ByteView bytes);
  static FileList readFiles(const SharingFrameReader& frame);
  void failTransfer(const std::string& line);

  static std::optional<Bytes> serializeSharingFrame(const sharing::nearby::Frame& frame, std::string_view name);
  // No frames when the Sharing frame failed to serialise.
  static std::vector<Bytes> payloadFramesOf(const std::optional<Bytes>& sharingFrame);
  static std::vector<Bytes> buildBytesPayloadFrames(const Bytes& content);

  friend struct FrameProcessorTesting;

  std::unordered_map<std::int64_t, Bytes> bytesPayloadBuffers_;
  std::int64_t heldBytes_ = 0;  // the buffers' capacities and kPayloadBookkeeping for each
};

}  // namespace orvel
