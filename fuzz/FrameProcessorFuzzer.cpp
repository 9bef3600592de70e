// Feeds one FrameProcessor a sequence of frames cut from the input. Each frame
// is a 2-byte big-endian length and that many bytes. When the length's top bit
// is set the bytes become the body of a BYTES chunk (id, flags and offset from
// the first three bytes), so that reassembly and Sharing frame parsing are
// reached as easily as the outer frame parsing.
#include <cstddef>
#include <cstdint>
#include <string>

#include "offline_wire_formats.pb.h"
#include "protocol/FrameProcessor.h"
#include "protocol/MessageCodec.h"
#include "protocol/MessageError.h"
#include "services/ConnectionError.h"

namespace {

namespace connections = location::nearby::connections;

orvel::Bytes bytesChunkFrame(const std::uint8_t* data, std::size_t size) {
  connections::OfflineFrame frame;
  frame.set_version(connections::OfflineFrame::V1);
  frame.mutable_v1()->set_type(connections::V1Frame::PAYLOAD_TRANSFER);
  auto* transfer = frame.mutable_v1()->mutable_payload_transfer();
  transfer->set_packet_type(connections::PayloadTransferFrame::DATA);
  transfer->mutable_payload_header()->set_id(size > 0 ? data[0] % 4 : 0);
  transfer->mutable_payload_header()->set_type(connections::PayloadHeader::BYTES);
  auto* chunk = transfer->mutable_payload_chunk();
  chunk->set_flags(size > 1 ? data[1] % 2 : 1);
  chunk->set_offset(size > 2 ? data[2] % 3 : 0);
  if (size > 3) chunk->set_body(std::string(reinterpret_cast<const char*>(data + 3), size - 3));
  return orvel::MessageCodec::serialize(frame);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  orvel::FrameProcessor processor;
  std::size_t touched = 0;
  auto handler = [&touched](const orvel::FrameEvent& event) {
    if (auto* chunk = std::get_if<orvel::FrameEvent::PayloadChunk>(&event.value)) {
      for (auto byte : chunk->data) touched += byte;  // the view must be readable during the call
    }
  };
  std::size_t position = 0;
  while (position + 2 <= size) {
    std::size_t length = static_cast<std::size_t>(((data[position] & 0x7F) << 8) | data[position + 1]);
    bool wrap = (data[position] & 0x80) != 0;
    position += 2;
    if (length > size - position) length = size - position;
    orvel::Bytes frame = wrap ? bytesChunkFrame(data + position, length)
                              : orvel::Bytes(data + position, data + position + length);
    position += length;
    try {
      processor.processFrame(frame, handler);
    } catch (orvel::MessageError) {
    } catch (orvel::ConnectionError) {
    }
  }
  return touched == SIZE_MAX ? 1 : 0;
}
