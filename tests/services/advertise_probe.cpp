// Advertises this receiver through DiscoveryService on the port given as the
// only argument, printing every log line on standard output, until SIGTERM or
// SIGINT; then stops advertising and exits 0. Used by mdns_advertising.test.sh.
#include <asio/signal_set.hpp>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <string>

#include "platform/Log.h"
#include "platform/MainLoop.h"
#include "services/DiscoveryService.h"

int main(int argc, char** argv) {
  std::uint16_t port = 0;
  const std::string_view text = argc == 2 ? argv[1] : "";
  if (std::from_chars(text.data(), text.data() + text.size(), port).ec != std::errc() || port == 0) {
    std::fprintf(stderr, "usage: advertise_probe PORT\n");
    return 2;
  }
  orvel::LogCapture log;
  std::size_t printed = 0;
  auto printNewLines = [&] {
    auto lines = log.lines();
    for (; printed < lines.size(); ++printed) std::printf("%s\n", lines[printed].c_str());
    std::fflush(stdout);
  };

  auto& loop = orvel::MainLoop::shared();
  orvel::DiscoveryService discovery;
  bool stopping = false;
  asio::signal_set signals(loop.context(), SIGTERM, SIGINT);
  signals.async_wait([&](const std::error_code&, int) {
    discovery.stopAdvertising();
    stopping = true;
  });
  loop.async([&] { discovery.startAdvertising(port); });
  loop.runUntil([&] { printNewLines(); return stopping; }, std::chrono::hours(24));
  // Lets the stop report arrive before the service goes.
  loop.runUntil([&] { printNewLines(); return log.contains("[DiscoveryService] mDNS service stopped"); },
                std::chrono::seconds(2));
  printNewLines();
  return 0;
}
