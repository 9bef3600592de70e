#include <asio/post.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "app/AppDelegate.h"
#include "app/StandardOutputLines.h"
#include "network/FileWriter.h"
#include "platform/Allocator.h"
#include "platform/AvahiServiceRegistration.h"
#include "platform/Log.h"
#include "platform/MainLoop.h"
#include "platform/ProcessExit.h"
#include "platform/WorkerPool.h"
#include "services/TerminalNotificationHandler.h"

namespace {

// With stopListening's own 2 s, a stop ends within about 3 s.
constexpr auto workerWaitLimit = std::chrono::seconds(1);
// A start-up sweep still running after this is said on the terminal.
constexpr auto slowFolderNotice = std::chrono::seconds(1);

// Each sender costs a socket and each file being received a descriptor: the
// usual soft limit of 1,024 is far below what the hard limit allows.
void raiseOpenFileLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised{limit.rlim_max, limit.rlim_max};
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) {
      limit = raised;
    } else {
      orvel::Log::write(std::string("[Orvel] Cannot raise the open file limit: ") + std::strerror(errno));
    }
  }
  orvel::Log::write("[Orvel] Open file limit: " + std::to_string(limit.rlim_cur));
}

// The start-up sweep reads the download folder, whose drive may not answer:
// it runs on a worker, so that a stop still ends the process as it would with
// a transfer stuck there, and the receiver starts once it is done, so that the
// sweep never meets a file of this run. A sweep that takes long is said once.
void launchAfterSweep(std::shared_ptr<orvel::AppDelegate> appDelegate,
                      const std::shared_ptr<orvel::TerminalNotificationHandler>& notifications) {
  using namespace orvel;
  auto notice = std::make_shared<asio::steady_timer>(MainLoop::shared().context(), slowFolderNotice);
  notice->async_wait([weakNotifications = std::weak_ptr(notifications)](std::error_code error) {
    auto terminal = weakNotifications.lock();
    if (error || !terminal) return;
    Log::write("[Orvel] Waiting for the download folder");
    terminal->showStatus("Waiting for the download folder to answer; receiving once it does.");
  });
  asio::post(WorkerPool::shared().context(), [appDelegate = std::move(appDelegate), notice] {
    FileWriter::deleteAbandonedTemporaryFiles();
    MainLoop::shared().async([appDelegate, notice] {
      notice->cancel();
      appDelegate->applicationDidFinishLaunching();
    });
  });
}

}  // namespace

int main() {
  using namespace orvel;
  // A peer or a reader that went away must not end the process.
  std::signal(SIGPIPE, SIG_IGN);
  // Names are shown in the terminal's character set, which the locale names.
  std::setlocale(LC_CTYPE, "");
  Allocator::returnLargeBlocksToTheSystem();
  Log::write("[Orvel] Application starting");
  raiseOpenFileLimit();

  auto& mainLoop = MainLoop::shared();
  WorkerPool::shared();  // created after the main loop, so stopped before it at exit
  auto notifications = TerminalNotificationHandler::create(STDIN_FILENO, STDOUT_FILENO);
  auto appDelegate = std::make_shared<AppDelegate>(notifications);
  // A line the engine prints goes where the question on screen is shown
  // again after it; it is said on the main loop, like every other line.
  StandardOutputLines engineLines([weakNotifications = std::weak_ptr(notifications)](std::string line) {
    MainLoop::shared().async([weakNotifications, line = std::move(line)] {
      if (auto terminal = weakNotifications.lock()) terminal->showStatus(line);
    });
  });
  auto* standardOutput = std::cout.rdbuf(&engineLines);

  // SIGHUP comes when the terminal window is closed: unfinished files are
  // deleted then as on any other stop, not left until the next start.
  asio::signal_set terminationSignals(mainLoop.context(), SIGINT, SIGTERM, SIGHUP);
  terminationSignals.async_wait([&](std::error_code error, int) {
    if (error) return;
    appDelegate->applicationWillTerminate();
    mainLoop.stop();
  });
  launchAfterSweep(appDelegate, notifications);
  mainLoop.run();
  engineLines.writeDirectly();
  // Reports still queued hold the services, whose queues run on the worker
  // pool: they are dropped now, while the pool and the services still exist.
  mainLoop.close();
  // No connection work runs once main returns and the statics go: what a
  // stop that timed out left behind never runs again, and an unfinished file
  // it kept waits for the next start's sweep. A worker stuck in a call to a
  // drive that stopped answering would hold the process for as long as the
  // drive does: past the limit the process ends without it, skipping the
  // destructors that would join it or free what it uses, as after a kill.
  // So would an mDNS client stuck in a call to a daemon that does not answer;
  // it was let go when advertising stopped, and waited for in the same time.
  const auto waitEnds = std::chrono::steady_clock::now() + workerWaitLimit;
  const auto busy = WorkerPool::shared().stop(workerWaitLimit);
  if (busy) {
    Log::write("[Orvel] " + std::to_string(busy) + (busy == 1 ? " worker" : " workers") + " still busy after " +
               std::to_string(workerWaitLimit.count()) + " s; exiting without " + (busy == 1 ? "it" : "them"));
  }
  const auto timeLeft = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::max(waitEnds - std::chrono::steady_clock::now(), std::chrono::steady_clock::duration::zero()));
  const bool advertisingEnded = AvahiServiceRegistration::waitForEndedClients(timeLeft);
  if (!advertisingEnded) Log::write("[Orvel] The mDNS daemon does not answer; exiting without waiting for it");
  if (busy || !advertisingEnded) {
    std::fflush(nullptr);
    ProcessExit::leavingDriveFilesOpen(0);
  }
  std::cout.rdbuf(standardOutput);
  return 0;
}
