#include "support/StopListening.h"

#include <chrono>
#include <thread>

#include "platform/Log.h"

namespace orvel::test {

bool stopListeningAndWait(ConnectionManager& manager) {
  using namespace std::chrono_literals;
  const bool listening = manager.listeningPort().has_value();
  LogCapture capture;  // the newest capture: it takes the lines while it lives
  const bool released = manager.stopListening();
  if (!listening) return released;
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!capture.contains("[ConnectionManager] Listener cancelled")) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return released;
}

}  // namespace orvel::test
