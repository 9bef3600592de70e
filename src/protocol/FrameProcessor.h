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

// Turns the frames of one connection's encrypted phase into events, gathering
// BYTES payloads (the Sharing frames) until complete; and builds the frames the
// receiver sends in that phase. Used on its connection's queue only.
class FrameProcessor {
 public:
  using Handler = std::function<void(const FrameEvent&)>;

  // A sender may not make one connection hold more than this in unfinished
  // BYTES payloads, nor announce a single BYTES payload larger than
  // kMaxBytesPayloadSize. Real Sharing frames stay far below both.
  static constexpr std::int64_t kMaxBufferedBytes = 4 * 1024 * 1024;
  static constexpr std::int64_t kMaxBytesPayloadSize = 2 * 1024 * 1024;

  // Throws MessageError when the frame, or a BYTES payload it completes, does
  // not parse; ConnectionError::transferFailed past the BYTES bounds.
  void processFrame(ByteView frame, const Handler& handler);
  // What unfinished BYTES payloads hold now.
  std::int64_t bufferedBytes() const { return bufferedBytes_; }

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
  void processSharingFrame(ByteView bytes, const Handler& handler);
  void failTransfer(const std::string& line);

  static std::optional<Bytes> serializeSharingFrame(const sharing::nearby::Frame& frame, std::string_view name);
  // No frames when the Sharing frame failed to serialise.
  static std::vector<Bytes> payloadFramesOf(const std::optional<Bytes>& sharingFrame);
  static std::vector<Bytes> buildBytesPayloadFrames(const Bytes& content);

  friend struct FrameProcessorTesting;

  std::unordered_map<std::int64_t, Bytes> bytesPayloadBuffers_;
  std::int64_t bufferedBytes_ = 0;  // the sum of the buffers' lengths
};

}  // namespace orvel
