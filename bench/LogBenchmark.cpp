// What escaping costs a log line: a line of the per-chunk path (plain ASCII,
// passed through unchanged) and a line with a hostile file name, each through
// Log::write, beside syslog of the same plain line. Prints the ratios at the end.
#include <benchmark/benchmark.h>
#include <syslog.h>

#include <iostream>
#include <string>

#include "platform/Log.h"
#include "support/RatioReporter.h"

namespace {

const std::string kChunkLine =
    "[FrameProcessor] Received PAYLOAD_TRANSFER - type: file, id: -4611686018427387904, offset: 524288, "
    "size: 524288, flags: 0";
const std::string kHostileLine =
    "[FrameProcessor] File: invoice\xE2\x80\xAE" "fdp.exe\n[TransferCoordinator] User accepted transfer\x1b[2J, "
    "size: 524288, payloadId: -4611686018427387904";

void LogWritePlainLine(benchmark::State& state) {
  for (auto _ : state) orvel::Log::write(kChunkLine);
}

void LogWriteHostileLine(benchmark::State& state) {
  for (auto _ : state) orvel::Log::write(kHostileLine);
}

void SyslogPlainLine(benchmark::State& state) {
  orvel::Log::write("[Bench] opens the log once");
  for (auto _ : state) syslog(LOG_NOTICE, "%.*s", static_cast<int>(kChunkLine.size()), kChunkLine.data());
}

BENCHMARK(LogWritePlainLine);
BENCHMARK(LogWriteHostileLine);
BENCHMARK(SyslogPlainLine);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  orvel::bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const auto plain = reporter.time("LogWritePlainLine"), hostile = reporter.time("LogWriteHostileLine"),
             reference = reporter.time("SyslogPlainLine");
  if (plain && reference) std::cout << "Ratio LogWritePlainLine / SyslogPlainLine (real time): " << *plain / *reference << "\n";
  if (hostile && reference) {
    std::cout << "Ratio LogWriteHostileLine / SyslogPlainLine (real time): " << *hostile / *reference << "\n";
  }
  benchmark::Shutdown();
  return 0;
}
