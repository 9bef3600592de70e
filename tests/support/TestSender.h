#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "offline_wire_formats.pb.h"
#include "protocol/ByteHelpers.h"
#include "wire_format.pb.h"

namespace orvel::test {

class Ukey2Initiator;

// One file as a test sender offers it.
struct TestFile {
  std::string name;
  Bytes contents;
  std::int64_t payloadId;
  std::string mimeType = "application/octet-stream";
  std::optional<std::int64_t> announcedSize = {};  // when not the size of `contents`
};

// The sending phone's side of the protocol, without a transport: every
// operation returns the frame bodies to send (without their length prefix),
// and received bodies are opened with open(). Encrypted frames carry the
// sender's own sequence numbers, 1 upwards.
class TestSender {
 public:
  static constexpr std::size_t kChunkSize = 512 * 1024;

  explicit TestSender(std::string endpointName = "Pixel 9", std::string endpointId = "AB12");
  ~TestSender();
  TestSender(TestSender&&) noexcept;
  TestSender& operator=(TestSender&&) noexcept;

  // The plaintext phase, in order.
  Bytes connectionRequest() const;
  Bytes clientInit();
  Bytes clientFinish(ByteView serverInit);
  Bytes connectionResponse() const;
  std::string pin() const;

  // The encrypted phase.
  Bytes encrypt(const location::nearby::connections::OfflineFrame& frame);
  Bytes encryptWithSequenceNumber(const location::nearby::connections::OfflineFrame& frame,
                                  std::int32_t sequenceNumber);
  // Any plaintext, with the next sequence number.
  Bytes encryptBytes(ByteView plaintext);
  // A BYTES payload: its content, then the last-chunk marker.
  std::vector<Bytes> bytesPayload(ByteView content);
  std::vector<Bytes> sharingFrame(const sharing::nearby::Frame& frame);
  std::vector<Bytes> pairedKeyEncryption();
  std::vector<Bytes> pairedKeyResult();
  std::vector<Bytes> introduction(const std::vector<TestFile>& files);
  std::vector<Bytes> cancel();
  // The file's chunks of kChunkSize; the last one carries the last-chunk flag
  // (an empty file is one empty last chunk).
  std::vector<Bytes> fileChunks(const TestFile& file);
  Bytes fileChunk(std::int64_t payloadId, std::int64_t offset, ByteView body, bool isLast);
  std::int32_t nextSequenceNumber() const { return sequenceNumber_ + 1; }
  // Counts encrypted frames from 1 again, as a new connection with the same
  // keys would (the connection's fuzz target reuses one handshake).
  void restartSequenceNumbers() { sequenceNumber_ = 0; }

  // Plaintext Connections frames.
  static Bytes keepAlive();
  static Bytes disconnection();
  static location::nearby::connections::OfflineFrame frameOfType(
      location::nearby::connections::V1Frame::FrameType type);

  // A frame the receiver sent: plaintext (the handshake replies, the
  // completion notice) or encrypted.
  struct Received {
    location::nearby::connections::OfflineFrame frame;
    std::optional<std::int32_t> sequenceNumber;     // encrypted frames only
    std::optional<sharing::nearby::Frame> sharing;  // the Sharing frame a BYTES content chunk carries
  };
  Received openEncrypted(ByteView body);
  static Received openPlaintext(ByteView body);

 private:
  std::string endpointName_;
  std::string endpointId_;
  std::unique_ptr<Ukey2Initiator> initiator_;
  std::int32_t sequenceNumber_ = 0;
  std::int64_t nextBytesPayloadId_ = 1'000'000;
};

}  // namespace orvel::test
