#include "support/SenderSession.h"

#include <stdexcept>

namespace orvel::bench {
namespace {

namespace connections = location::nearby::connections;

// Far more than the receiver sends at any one step.
constexpr int kFramesPerStepLimit = 64;

bool isAnswer(const test::TestSender::Received& received) {
  return received.sharing && received.sharing->v1().type() == sharing::nearby::V1Frame::RESPONSE;
}

bool isAccept(const test::TestSender::Received& received) {
  return isAnswer(received) &&
         received.sharing->v1().connection_response().status() == sharing::nearby::ConnectionResponseFrame::ACCEPT;
}

bool isCompletionNotice(const test::TestSender::Received& received) {
  return !received.sequenceNumber && received.frame.v1().type() == connections::V1Frame::DISCONNECTION &&
         received.frame.v1().disconnection().ack_safe_to_disconnect();
}

}  // namespace

// Built here rather than by TestSender, which would want the contents in memory to give the size.
std::vector<Bytes> SenderSession::introduction(const BenchFile& file) {
  sharing::nearby::Frame frame;
  frame.set_version(sharing::nearby::Frame::V1);
  frame.mutable_v1()->set_type(sharing::nearby::V1Frame::INTRODUCTION);
  auto* metadata = frame.mutable_v1()->mutable_introduction()->add_file_metadata();
  metadata->set_name(file.name);
  metadata->set_type(sharing::nearby::FileMetadata::UNKNOWN);
  metadata->set_payload_id(file.payloadId);
  metadata->set_size(file.size);
  metadata->set_mime_type("application/octet-stream");
  return sender_.sharingFrame(frame);
}

SenderSession::SenderSession(std::uint16_t port, std::chrono::seconds timeout, std::string senderName,
                             std::uint32_t sourceAddress, Narrowing narrowing)
    : sender_(std::move(senderName)), socket_(port, timeout, sourceAddress, narrowing) {}

template <class Predicate>
test::TestSender::Received SenderSession::receiveUntil(Predicate isWanted, const char* what) {
  for (int count = 0; count < kFramesPerStepLimit; ++count) {
    const Bytes body = socket_.receive();
    test::TestSender::Received received;
    try {
      received = sender_.openEncrypted(body);
    } catch (...) {  // the handshake answers and the completion notice travel in plaintext
      received = test::TestSender::openPlaintext(body);
    }
    if (isWanted(received)) return received;
  }
  throw std::runtime_error(std::string("no ") + what + " from the receiver");
}

void SenderSession::openChannel() {
  socket_.send(sender_.connectionRequest());
  socket_.send(sender_.clientInit());
  const Bytes serverInit = socket_.receive();
  socket_.send(sender_.clientFinish(serverInit));
  socket_.send(sender_.connectionResponse());
  for (const auto& frames : {sender_.pairedKeyEncryption(), sender_.pairedKeyResult()}) {
    for (const auto& frame : frames) socket_.send(frame);
  }
}

void SenderSession::openUntilAccepted(const BenchFile& file) {
  openChannel();
  offerUntilAccepted(file);
}

void SenderSession::offerUntilAccepted(const BenchFile& file) {
  for (const auto& frame : introduction(file)) socket_.send(frame);
  firstChunkSequenceNumber_ = sender_.nextSequenceNumber();
  receiveUntil(isAccept, "ACCEPT");
}

bool SenderSession::awaitAnswer() { return isAccept(receiveUntil(isAnswer, "answer")); }

Bytes SenderSession::chunkFrame(const BenchFile& file, std::int64_t index) {
  auto frame = test::TestSender::frameOfType(connections::V1Frame::PAYLOAD_TRANSFER);
  auto* transfer = frame.mutable_v1()->mutable_payload_transfer();
  transfer->set_packet_type(connections::PayloadTransferFrame::DATA);
  auto* header = transfer->mutable_payload_header();
  header->set_id(file.payloadId);
  header->set_type(connections::PayloadHeader::FILE);
  header->set_total_size(file.size);
  auto* chunk = transfer->mutable_payload_chunk();
  chunk->set_flags(index + 1 == file.chunkCount() ? connections::PayloadChunk::LAST_CHUNK : 0);
  chunk->set_offset(index * static_cast<std::int64_t>(BenchFile::kChunkSize));
  std::string* body = chunk->mutable_body();
  body->resize(file.chunkLength(index));
  file.fillChunk(index, reinterpret_cast<std::uint8_t*>(body->data()));
  return sender_.encryptWithSequenceNumber(frame, firstChunkSequenceNumber_ + static_cast<std::int32_t>(index));
}

void SenderSession::awaitCompletion() { receiveUntil(isCompletionNotice, "completion notice"); }

}  // namespace orvel::bench
