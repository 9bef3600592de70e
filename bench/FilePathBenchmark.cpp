// The receiving path of one 512 KiB file chunk: the frame parsed by
// FrameProcessor and its bytes written by FileWriter, beside a plain pwrite of
// the same bytes into the same folder. Prints the ratio of the two at the end.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <string>

#include "network/FileWriter.h"
#include "offline_wire_formats.pb.h"
#include "protocol/FrameProcessor.h"
#include "protocol/MessageCodec.h"
#include "support/RatioReporter.h"
#include "support/TestSupport.h"

// Benchmarks link only the engine; the test helpers come in as source.
#include "../tests/support/TestSupport.cpp"

namespace {

namespace connections = location::nearby::connections;
namespace fs = std::filesystem;

constexpr std::size_t kChunkSize = 512 * 1024;

// A HOME of its own whose settings point the download folder at a fresh folder.
struct Folder {
  Folder() { home.writeDownloadPath(downloads.path()); }
  orvel::test::ScopedHome home;
  orvel::test::TemporaryDirectory downloads;
};

Folder& folder() {
  static Folder instance;
  return instance;
}

std::string chunkBytes() {
  std::string bytes(kChunkSize, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 131 + 7);
  return bytes;
}

orvel::Bytes fileChunkFrame() {
  connections::OfflineFrame frame;
  frame.set_version(connections::OfflineFrame::V1);
  frame.mutable_v1()->set_type(connections::V1Frame::PAYLOAD_TRANSFER);
  auto* transfer = frame.mutable_v1()->mutable_payload_transfer();
  transfer->set_packet_type(connections::PayloadTransferFrame::DATA);
  auto* header = transfer->mutable_payload_header();
  header->set_id(42);
  header->set_type(connections::PayloadHeader::FILE);
  header->set_total_size(1 << 30);
  header->set_file_name("video.mp4");
  auto* chunk = transfer->mutable_payload_chunk();
  chunk->set_flags(0);
  chunk->set_offset(0);
  chunk->set_body(chunkBytes());
  return orvel::MessageCodec::serialize(frame);
}

void FilePath(benchmark::State& state) {
  folder();
  const auto frame = fileChunkFrame();
  orvel::FrameProcessor processor;
  orvel::FileWriter writer("video.mp4", 1 << 30);
  auto handler = [&writer](const orvel::FrameEvent& event) {
    const auto& chunk = std::get<orvel::FrameEvent::PayloadChunk>(event.value);
    writer.write(chunk.data, chunk.offset);
  };
  for (auto _ : state) processor.processFrame(frame, handler);
  writer.cleanup();
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kChunkSize));
}

void PlainPwrite(benchmark::State& state) {
  const auto bytes = chunkBytes();
  const auto path = folder().downloads.path() / "plain.bin";
  int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (descriptor < 0) state.SkipWithError("cannot open");
  for (auto _ : state) {
    if (::pwrite(descriptor, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) {
      state.SkipWithError("short write");
    }
  }
  ::close(descriptor);
  fs::remove(path);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kChunkSize));
}

BENCHMARK(FilePath);
BENCHMARK(PlainPwrite);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  orvel::bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const auto filePath = reporter.time("FilePath"), plainPwrite = reporter.time("PlainPwrite");
  if (filePath && plainPwrite) std::cout << "Ratio FilePath / PlainPwrite (real time): " << *filePath / *plainPwrite << "\n";
  benchmark::Shutdown();
  return 0;
}
