// One 1 MiB exact-length read over loopback: through TcpConnection (socket
// strand, then the owner's queue) beside a plain blocking read of the same
// bytes on a plain socket. Prints the ratio of the two at the end.
#include <asio/read.hpp>
#include <asio/write.hpp>
#include <benchmark/benchmark.h>

#include <atomic>
#include <future>
#include <iostream>
#include <thread>

#include "platform/StrandQueue.h"
#include "platform/TcpConnection.h"
#include "platform/TcpListener.h"
#include "support/RatioReporter.h"

namespace {

constexpr std::size_t kReadSize = 1024 * 1024;

// A peer that writes into its socket until the benchmark ends.
class EndlessWriter {
 public:
  explicit EndlessWriter(std::uint16_t port) : socket_(context_) {
    socket_.connect({asio::ip::address_v4::loopback(), port});
    thread_ = std::thread([this] {
      std::vector<std::uint8_t> bytes(kReadSize, 0x5a);
      std::error_code error;
      while (!error) asio::write(socket_, asio::buffer(bytes), error);
    });
  }
  ~EndlessWriter() {
    std::error_code ignored;
    socket_.shutdown(asio::socket_base::shutdown_both, ignored);
    thread_.join();
  }

 private:
  asio::io_context context_;
  asio::ip::tcp::socket socket_;
  std::thread thread_;
};

void TcpConnectionRead(benchmark::State& state) {
  auto listener = orvel::TcpListener::create(0);
  auto queue = orvel::StrandQueue::create("bench.connection");
  std::promise<std::shared_ptr<orvel::Connection>> accepted;
  listener->setNewConnectionHandler([&](std::shared_ptr<orvel::Connection> connection) {
    accepted.set_value(std::move(connection));
  });
  listener->start(queue);
  {
    EndlessWriter writer(listener->port());
    auto connection = accepted.get_future().get();
    listener->cancel();
    connection->start(queue);
    for (auto _ : state) {
      std::promise<std::size_t> done;
      connection->receive(kReadSize, kReadSize, [&](std::optional<orvel::Bytes> content, bool, std::error_code) {
        done.set_value(content ? content->size() : 0);
      });
      if (done.get_future().get() != kReadSize) state.SkipWithError("short read");
    }
    connection->cancel();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kReadSize));
}

void PlainRead(benchmark::State& state) {
  asio::io_context context;
  asio::ip::tcp::acceptor acceptor(context, {asio::ip::tcp::v4(), 0});
  {
    EndlessWriter writer(acceptor.local_endpoint().port());
    auto socket = acceptor.accept();
    std::vector<std::uint8_t> buffer;
    for (auto _ : state) {
      buffer.assign(kReadSize, 0);  // a fresh buffer per read, as the connection makes
      if (asio::read(socket, asio::buffer(buffer)) != kReadSize) state.SkipWithError("short read");
    }
    std::error_code ignored;
    socket.close(ignored);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kReadSize));
}

BENCHMARK(TcpConnectionRead)->UseRealTime();
BENCHMARK(PlainRead)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  orvel::bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const auto tcpConnectionRead = reporter.time("TcpConnectionRead"), plainRead = reporter.time("PlainRead");
  if (tcpConnectionRead && plainRead) std::cout << "Ratio TcpConnectionRead / PlainRead (real time): " << *tcpConnectionRead / *plainRead << "\n";
  benchmark::Shutdown();
  return 0;
}
