// One 512 KiB file chunk through an accepted connection (read of prefix and
// body from an in-memory connection, decryption, the sequence check, frame
// dispatch, log lines, write into the file) beside the floor: a read into a
// fresh buffer, decrypt, parse and pwrite of the same chunk with nothing else. The last line gives connection/floor
// from this same run. Then the user CPU per file of transfers of 1,000, 5,000
// and 20,000 empty files, their frames made beforehand and the log lines
// counted instead of sent, and the ratio of 20,000 to 5,000.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <sys/resource.h>
#include <syslog.h>

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

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

// A connection whose sender has come through the key exchange.
struct OpenChannel {
  OpenChannel() {
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
  }
  // The outstanding read holds the connection until it is closed.
  ~OpenChannel() {
    inbound->close();
    queue->drain();
  }
  void push(ByteView body) {
    connection->push(test::framed(body));
    queue->drain();
  }
  void offerAndAccept(const std::vector<test::TestFile>& files) {
    for (const auto& body : sender.introduction(files)) push(body);
    inbound->acceptTransfer(delegate->offer);
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

// A connection that has accepted one announced file.
struct AcceptedConnection : OpenChannel {
  AcceptedConnection() {
    offerAndAccept({test::TestFile{"bench.bin", {}, payloadId, "application/octet-stream",
                                   chunksInFile * static_cast<std::int64_t>(chunkSize)}});
  }
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

// Log lines are counted, not sent, while this is set: the system log's cost
// is not the receiver's.
bool countLogLinesOnly = false;
std::uint64_t logLines = 0;

double userSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec) + static_cast<double>(usage.ru_utime.tv_usec) / 1e6;
}

struct FilesTransfer {
  double userSecondsPerFile = 0;
  std::uint64_t logLinesPerFile = 0;
  bool completed = false;
};

// An accepted offer of `count` empty files, each then sent as its one last chunk.
FilesTransfer transferEmptyFiles(std::int64_t count) {
  OpenChannel channel;
  std::vector<test::TestFile> files;
  for (std::int64_t id = 1; id <= count; ++id) {
    files.push_back({"IMG_20260101_" + std::to_string(100000 + id) + ".jpg", {}, id, "image/jpeg"});
  }
  channel.offerAndAccept(files);
  std::vector<Bytes> chunks;
  for (const auto& file : files) {
    chunks.push_back(test::framed(channel.sender.fileChunk(file.payloadId, 0, {}, true)));
  }

  // Frame by frame, as a socket delivers them: the in-memory connection's
  // buffer moves what follows each read.
  countLogLinesOnly = true;
  const auto linesBefore = logLines;
  const double before = userSeconds();
  for (const auto& chunk : chunks) {
    channel.connection->push(chunk);
    channel.queue->drain();
  }
  const double spent = userSeconds() - before;
  FilesTransfer result;
  result.logLinesPerFile = (logLines - linesBefore) / static_cast<std::uint64_t>(count);
  countLogLinesOnly = false;
  result.userSecondsPerFile = spent / static_cast<double>(count);
  result.completed =
      channel.delegate->failures == 0 && channel.inbound->state() == InboundConnection::State::completed;
  return result;
}

void reportFilesTransfers() {
  std::vector<std::pair<std::int64_t, FilesTransfer>> runs;
  for (std::int64_t count : {1'000, 5'000, 20'000}) {
    runs.emplace_back(count, transferEmptyFiles(count));
    const auto& run = runs.back().second;
    std::printf("Transfer of %6lld empty files: %.1f us user CPU per file, %llu log lines per file%s\n",
                static_cast<long long>(count), run.userSecondsPerFile * 1e6,
                static_cast<unsigned long long>(run.logLinesPerFile), run.completed ? "" : " (NOT COMPLETED)");
  }
  std::printf("User CPU per file, 20,000 / 5,000 files: %.2f (target <= 2)\n",
              runs[2].second.userSecondsPerFile / runs[1].second.userSecondsPerFile);
}

BENCHMARK(ChunkFloor)->Unit(benchmark::kMicrosecond);
BENCHMARK(ChunkThroughConnection)->Unit(benchmark::kMicrosecond);

}  // namespace

// In place of the C library's: the engine's log lines end here.
extern "C" void syslog(int priority, const char* format, ...) {
  ++logLines;
  if (countLogLinesOnly) return;
  va_list arguments;
  va_start(arguments, format);
  vsyslog(priority, format, arguments);
  va_end(arguments);
}

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
  reportFilesTransfers();
  benchmark::Shutdown();
  return 0;
}
