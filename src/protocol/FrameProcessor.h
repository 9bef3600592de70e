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

  // An offer's file list is charged while it is read, ahead of what it
  // takes, in steps of this much.
  static constexpr std::int64_t kListChargeStep = 64 * 1024;
  // Of an offer, the log names this many files, then sums up the rest.
  static constexpr std::size_t kLoggedFiles = 30;

  // Asked each time the list of an offer being read needs more than was
  // charged for it, with heldBytes() already counting the new amount; false
  // refuses the offer (the check says why) before the room is taken.
  using HoldCheck = std::function<bool()>;
  void setHoldCheck(HoldCheck check) { holdCheck_ = std::move(check); }

  // Throws MessageError when the frame, or a BYTES payload it completes, does
  // not parse; ConnectionError::transferFailed past the BYTES bounds, or when
  // the hold check refuses an offer.
  void processFrame(ByteView frame, const Handler& handler);

  // The BYTES bound that ended the transfer, once one did: a phone meets the
  // size of one payload, with an offer past it; the others only a hostile sender.
  enum class Bound { payloadSize, unfinishedPayloads };
  std::optional<Bound> boundMet() const { return boundMet_; }

  // The memory the unfinished BYTES payloads take now, their bookkeeping
  // included, and the list of an offer being read.
  std::int64_t heldBytes() const { return heldBytes_ + listBytes_; }

  // Lets go of the unfinished BYTES payloads and their room; also from within a handler.
  void dropGathered();

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
  std::optional<FrameEvent> readSharingFrame(ByteView bytes);
  FileList readFiles(const SharingFrameReader& frame);
  void failTransfer(Bound bound, const std::string& line);

  static std::optional<Bytes> serializeSharingFrame(const sharing::nearby::Frame& frame, std::string_view name);
  // No frames when the Sharing frame failed to serialise.
  static std::vector<Bytes> payloadFramesOf(const std::optional<Bytes>& sharingFrame);
  static std::vector<Bytes> buildBytesPayloadFrames(const Bytes& content);

  friend struct FrameProcessorTesting;

  std::unordered_map<std::int64_t, Bytes> bytesPayloadBuffers_;
  std::int64_t heldBytes_ = 0;  // the buffers' capacities and kPayloadBookkeeping for each
  std::int64_t listBytes_ = 0;  // charged for the list of the offer being read
  HoldCheck holdCheck_;
  std::optional<Bound> boundMet_;
};

}  // namespace orvel
