// What the codec's checks cost on the hottest frame, a 512 KiB file chunk,
// against the runtime's bare parse of the same bytes; and what an offer of
// about 700,000 entries in a frame of nearly 5 MB costs to read, in time and
// in memory held at once (times the frame), read in place into its list or
// parsed into messages first.

#include <benchmark/benchmark.h>
#include <malloc.h>

#include "offline_wire_formats.pb.h"
#include "protocol/MessageCodec.h"
#include "protocol/SharingFrameReader.h"
#include "wire_format.pb.h"

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

orvel::Bytes largeOffer() {
  sharing::nearby::Frame frame;
  frame.set_version(sharing::nearby::Frame::V1);
  frame.mutable_v1()->set_type(sharing::nearby::V1Frame::INTRODUCTION);
  auto* introduction = frame.mutable_v1()->mutable_introduction();
  for (std::int64_t id = 1; id <= 714'000; ++id) introduction->add_file_metadata()->set_payload_id((1 << 21) + id);
  return orvel::MessageCodec::serialize(frame);
}

std::int64_t heapInUse() {
  const auto info = mallinfo2();
  return static_cast<std::int64_t>(info.uordblks + info.hblkhd);
}

// `read` returns the list; the heap is measured while both it and whatever the
// reading still holds are alive, just before they go.
template <class Read>
void readOffer(benchmark::State& state, Read read) {
  static const orvel::Bytes bytes = largeOffer();
  std::int64_t held = 0;
  for (auto _ : state) {
    const auto before = heapInUse();
    read(bytes, [&] { held = std::max(held, heapInUse() - before); });
  }
  state.counters["held/frame"] = static_cast<double>(held) / static_cast<double>(bytes.size());
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes.size()));
}

void offerReadInPlace(benchmark::State& state) {
  readOffer(state, [](const orvel::Bytes& bytes, auto measure) {
    const orvel::SharingFrameReader frame(bytes);
    const auto files = frame.files();
    measure();
    benchmark::DoNotOptimize(files.size());
  });
}
BENCHMARK(offerReadInPlace)->Unit(benchmark::kMillisecond);

void offerParsedIntoMessages(benchmark::State& state) {
  readOffer(state, [](const orvel::Bytes& bytes, auto measure) {
    const auto frame = orvel::MessageCodec::parse<sharing::nearby::Frame>(bytes);
    orvel::FileList::Builder files;
    const auto& entries = frame.v1().introduction().file_metadata();
    files.reserve(static_cast<std::size_t>(entries.size()), 0);
    for (const auto& entry : entries) files.add(entry.payload_id(), entry.name(), entry.size(), entry.mime_type());
    const auto list = files.finish();
    measure();
    benchmark::DoNotOptimize(list.size());
  });
}
BENCHMARK(offerParsedIntoMessages)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
