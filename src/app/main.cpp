#include <asio/signal_set.hpp>
#include <csignal>
#include <unistd.h>

#include "app/AppDelegate.h"
#include "platform/Log.h"
#include "platform/MainLoop.h"
#include "platform/WorkerPool.h"
#include "services/TerminalNotificationHandler.h"

int main() {
  using namespace orvel;
  // A peer or a reader that went away must not end the process.
  std::signal(SIGPIPE, SIG_IGN);
  Log::write("[Orvel] Application starting");

  auto& mainLoop = MainLoop::shared();
  WorkerPool::shared();  // created after the main loop, so stopped before it at exit
  auto notifications = TerminalNotificationHandler::create(STDIN_FILENO, STDOUT_FILENO);
  auto appDelegate = std::make_shared<AppDelegate>(notifications);

  asio::signal_set terminationSignals(mainLoop.context(), SIGINT, SIGTERM);
  terminationSignals.async_wait([&](std::error_code error, int) {
    if (error) return;
    appDelegate->applicationWillTerminate();
    mainLoop.stop();
  });
  appDelegate->applicationDidFinishLaunching();
  mainLoop.run();
  // Reports still queued hold the services, whose queues run on the worker
  // pool: they are dropped now, while the pool and the services still exist.
  mainLoop.close();
  return 0;
}
