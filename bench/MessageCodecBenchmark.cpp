// What the codec's checks cost on the hottest frame, a 512 KiB file chunk,
// against the runtime's bare parse of the same bytes.

#include <benchmark/benchmark.h>

#include "offline_wire_formats.pb.h"
#include "protocol/MessageCodec.h"

namespace {

namespace lnc = location::nearby::connections;

orvel::Bytes chunkFrame() {
  lnc::OfflineFrame frame;
  frame.set_version(lnc::OfflineFrame::V1);
  auto* v1 = frame.mutable_v1();
  v1->set_type(lnc::V1Frame::PAYLOAD_TRANSFER);
  auto* transfer = v1->mutable_payload_transfer();
  transfer->set_packet_type(lnc::PayloadTransferFrame::DATA);
  transfer->mutable_payload_header()->set_id(-42);
  transfer->mutable_payload_header()->set_type(lnc::PayloadHeader::FILE);
  transfer->mutable_payload_header()->set_total_size(10 << 20);
  transfer->mutable_payload_header()->set_file_name("holiday photo.jpg");
  transfer->mutable_payload_chunk()->set_offset(1 << 20);
  transfer->mutable_payload_chunk()->set_body(std::string(512 * 1024, '\xa5'));
  return orvel::MessageCodec::serialize(frame);
}

void bareRuntimeParse(benchmark::State& state) {
  orvel::Bytes bytes = chunkFrame();
  for (auto _ : state) {
    lnc::OfflineFrame frame;
    benchmark::DoNotOptimize(frame.ParseFromArray(bytes.data(), static_cast<int>(bytes.size())));
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes.size()));
}
BENCHMARK(bareRuntimeParse);

void codecParse(benchmark::State& state) {
  orvel::Bytes bytes = chunkFrame();
  for (auto _ : state) {
    benchmark::DoNotOptimize(orvel::MessageCodec::parse<lnc::OfflineFrame>(bytes));
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes.size()));
}
BENCHMARK(codecParse);

}  // namespace

BENCHMARK_MAIN();
