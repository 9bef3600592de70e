// Advertises this receiver through DiscoveryService on the port given as the
// only argument, printing every log line and every sentence the terminal
// would show on standard output, until SIGTERM or
// SIGINT; then stops advertising and exits 0. SIGUSR1 stops and SIGUSR2
// starts advertising. Used by mdns_advertising.test.sh.
#include <asio/signal_set.hpp>
#include <algorithm>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <functional>
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
  discovery.setOnStatus([&](const std::string& sentence) {
    printNewLines();
    std::printf("%s\n", sentence.c_str());
    std::fflush(stdout);
  });
  bool stopping = false, awaitStopReport = false;
  asio::signal_set signals(loop.context(), SIGTERM, SIGINT);
  signals.async_wait([&](const std::error_code&, int) {
    awaitStopReport = discovery.isAdvertising();
    discovery.stopAdvertising();
    stopping = true;
  });
  // SIGUSR1 stops advertising and SIGUSR2 starts it again, as the shell's visibility switch does.
  asio::signal_set toggles(loop.context(), SIGUSR1, SIGUSR2);
  std::function<void(const std::error_code&, int)> onToggle = [&](const std::error_code& error, int signal) {
    if (error) return;
    signal == SIGUSR1 ? discovery.stopAdvertising() : discovery.startAdvertising(port);
    toggles.async_wait(onToggle);
  };
  toggles.async_wait(onToggle);
  loop.async([&] { discovery.startAdvertising(port); });
  loop.runUntil([&] { printNewLines(); return stopping; }, std::chrono::hours(24));
  // Lets the stop report arrive before the service goes.
  const auto stopReports = [&] { return std::ranges::count(log.lines(), "[DiscoveryService] mDNS service stopped"); };
  const auto reportsBefore = stopReports();
  if (awaitStopReport) {
    loop.runUntil([&] { return stopReports() > reportsBefore; }, std::chrono::seconds(2));
  }
  printNewLines();
  return 0;
}
