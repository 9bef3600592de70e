// One 512 KiB file chunk through an accepted connection (read of prefix and
// body from an in-memory connection, decryption, the sequence check, frame
// dispatch, log lines, write into the file) beside the floor: a read into a
// fresh buffer, decrypt, parse and pwrite of the same chunk with nothing else. The last line gives connection/floor
// from this same run.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "../tests/support/CryptoHandlerTesting.h"
#include "network/CryptoHandler.h"
#include "network/InboundConnection.h"
#include "offline_wire_formats.pb.h"
#include "platform/Log.h"
#include "protocol/MessageCodec.h"
#include "support/RatioReporter.h"

// Benchmarks link only the engine; the test doubles come in as source.
#include "../tests/support/ManualQueue.cpp"
#include "../tests/support/MemoryConnection.cpp"
#include "../tests/support/TestSender.cpp"
#include "../tests/support/TestSupport.cpp"
#include "../tests/support/Ukey2Initiator.cpp"

namespace {

using namespace orvel;

constexpr std::size_t chunkSize = 512 * 1024;
constexpr std::int64_t chunksInFile = 64;  // offsets wrap, so the file stays at 32 MiB
constexpr std::int64_t payloadId = 5;

const Bytes& chunk() {
  static const Bytes bytes = Data::random(chunkSize);
  return bytes;
}

class CountingDelegate final : public InboundConnectionDelegate {
 public:
  void connectionDidReceiveTransferRequest(InboundConnection&, const TransferRequest& request) override {
    offer = request.offerNumber;
  }
  void connectionDidCompleteTransfer(InboundConnection&, const TransferSession&) override {}
  void connectionDidFail(InboundConnection&, const EngineError&) override { ++failures; }
  void connectionDidClose(InboundConnection&) override {}
  std::uint64_t offer = 0;
  int failures = 0;
};

// A connection that has accepted one announced file.
struct AcceptedConnection {
  AcceptedConnection() {
    home.writeDownloadPath(downloads.path());
    inbound->setDelegate(delegate);
    inbound->start();
    connection->becomeReady();
    queue->drain();
    push(sender.connectionRequest());
    push(sender.clientInit());
    push(sender.clientFinish(connection->takeSentFrames().at(0)));
    push(sender.connectionResponse());
    for (const auto& body : sender.pairedKeyEncryption()) push(body);
    for (const auto& body : sender.pairedKeyResult()) push(body);
    test::TestFile file{"bench.bin", {}, payloadId, "application/octet-stream",
                        chunksInFile * static_cast<std::int64_t>(chunkSize)};
    for (const auto& body : sender.introduction({file})) push(body);
    inbound->acceptTransfer(delegate->offer);
    queue->drain();
  }
  // The outstanding read holds the connection until it is closed.
  ~AcceptedConnection() {
    inbound->close();
    queue->drain();
  }
  void push(ByteView body) {
    connection->push(test::framed(body));
    queue->drain();
  }

  test::ScopedHome home;
  test::TemporaryDirectory downloads;
  std::shared_ptr<test::ManualQueue> queue = std::make_shared<test::ManualQueue>();
  std::shared_ptr<test::MemoryConnection> connection = std::make_shared<test::MemoryConnection>();
  std::shared_ptr<CountingDelegate> delegate = std::make_shared<CountingDelegate>();
  std::shared_ptr<InboundConnection> inbound = InboundConnection::create(connection, Uuid::random(), queue);
  test::TestSender sender;
};

void ChunkThroughConnection(benchmark::State& state) {
  LogCapture quiet;
  AcceptedConnection accepted;
  std::int64_t index = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::int64_t offset = (index++ % chunksInFile) * static_cast<std::int64_t>(chunkSize);
    accepted.connection->push(test::framed(accepted.sender.fileChunk(payloadId, offset, chunk(), false)));
    quiet.clear();
    state.ResumeTiming();
    accepted.queue->drain();
  }
  if (accepted.delegate->failures != 0 || accepted.inbound->state() != InboundConnection::State::transferring) {
    state.SkipWithError("the connection failed");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * chunkSize));
}

void ChunkFloor(benchmark::State& state) {
  const Bytes key(32, 0x11), hmacKey(32, 0x22);
  CryptoHandler handler;
  CryptoHandlerTesting::installKeys(handler, key, hmacKey, key, hmacKey);
  location::nearby::connections::OfflineFrame frame;
  frame.set_version(location::nearby::connections::OfflineFrame::V1);
  frame.mutable_v1()->set_type(location::nearby::connections::V1Frame::PAYLOAD_TRANSFER);
  auto* transfer = frame.mutable_v1()->mutable_payload_transfer();
  transfer->mutable_payload_header()->set_id(payloadId);
  transfer->mutable_payload_chunk()->set_body(chunk().data(), chunk().size());
  const Bytes sealed = handler.encrypt(MessageCodec::serialize(frame), 1);

  test::TemporaryDirectory folder;
  int file = open((folder.path() / "floor.bin").c_str(), O_CREAT | O_WRONLY, 0600);
  std::int64_t index = 0;
  for (auto _ : state) {
    Bytes received(sealed.begin(), sealed.end());  // any read fills a fresh buffer
    auto opened = handler.decrypt(received);
    auto parsed = MessageCodec::parse<location::nearby::connections::OfflineFrame>(opened.message);
    const std::string& body = parsed.v1().payload_transfer().payload_chunk().body();
    off_t offset = static_cast<off_t>((index++ % chunksInFile) * static_cast<std::int64_t>(chunkSize));
    if (pwrite(file, body.data(), body.size(), offset) != static_cast<ssize_t>(body.size())) {
      state.SkipWithError("pwrite failed");
      break;
    }
  }
  close(file);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * chunkSize));
}

BENCHMARK(ChunkFloor)->Unit(benchmark::kMicrosecond);
BENCHMARK(ChunkThroughConnection)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  // Half-megabyte buffers come from the heap and stay there: the comparison is
  // of the work on the bytes, not of the kernel's page faults.
  mallopt(M_MMAP_THRESHOLD, 64 << 20);
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
  benchmark::Initialize(&argc, argv);
  orvel::bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const auto connection = reporter.time("ChunkThroughConnection"), floor = reporter.time("ChunkFloor");
  if (connection && floor) {
    std::printf("Connection / floor: %.3f (%.1f us vs %.1f us per 512 KiB chunk)\n", *connection / *floor, *connection,
                *floor);
  }
  benchmark::Shutdown();
  return 0;
}
