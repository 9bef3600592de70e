#include "support/ReceiverProcess.h"

#include <asio/steady_timer.hpp>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "platform/Allocator.h"
#include "platform/MainLoop.h"
#include "services/ConnectionManager.h"
#include "services/TerminalNotificationHandler.h"
#include "services/TransferCoordinator.h"

namespace orvel::bench {
namespace {

// Accepts every request, or only those of one sender while the shell asks
// about the others on its terminal and nobody answers.
class AutoAccept final : public ConnectionManagerDelegate {
 public:
  AutoAccept(int expected, std::string onlySender, std::shared_ptr<TransferCoordinator> shell)
      : expected_(expected), onlySender_(std::move(onlySender)), shell_(std::move(shell)) {}

  void connectionManagerDidReceiveTransferRequest(ConnectionManager& manager, const TransferRequest& request) override {
    if (shell_) shell_->connectionManagerDidReceiveTransferRequest(manager, request);
    if (isCounted(request.senderName)) manager.acceptTransfer(request);
  }
  void connectionManagerDidCompleteTransfer(ConnectionManager& manager, const TransferSession& session) override {
    if (shell_) shell_->connectionManagerDidCompleteTransfer(manager, session);
    if (!isCounted(session.senderName)) return;
    ++completed_;
    stopWhenFinished();
  }
  void connectionManagerDidFailTransfer(ConnectionManager& manager, const TransferSession& session,
                                        const EngineError& error) override {
    if (shell_) shell_->connectionManagerDidFailTransfer(manager, session, error);
    if (!isCounted(session.senderName)) return;
    std::fprintf(stderr, "receiver: transfer from %s failed: %s\n", session.senderName.c_str(),
                 describe(error).c_str());
    ++failed_;
    stopWhenFinished();
  }
  void connectionManagerDidCancelTransfer(ConnectionManager& manager, const TransferSession& session) override {
    if (shell_) shell_->connectionManagerDidCancelTransfer(manager, session);
  }
  void connectionManagerDidRefuseTransfer(ConnectionManager& manager, const TransferRequest& request,
                                          const std::string& reason) override {
    if (shell_) shell_->connectionManagerDidRefuseTransfer(manager, request, reason);
  }

  int completed() const { return completed_; }
  int failed() const { return failed_; }

 private:
  bool isCounted(const std::string& sender) const { return onlySender_.empty() || sender == onlySender_; }
  void stopWhenFinished() {
    if (completed_ + failed_ >= expected_) MainLoop::shared().stop();
  }

  const int expected_;
  const std::string onlySender_;
  const std::shared_ptr<TransferCoordinator> shell_;
  int completed_ = 0;  // main loop only
  int failed_ = 0;
};

// The shell's coordinator asking on a pseudo-terminal of its own, printing
// into `terminalPath`; none when the shell is not wanted.
std::shared_ptr<TransferCoordinator> makeShell(const ReceiverProcess::Shell& shell) {
  if (shell.onlySender.empty()) return nullptr;
  int terminal = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (terminal < 0 || ::grantpt(terminal) != 0 || ::unlockpt(terminal) != 0) {
    throw std::runtime_error(std::string("pseudo-terminal: ") + std::strerror(errno));
  }
  int input = ::open(::ptsname(terminal), O_RDWR | O_NOCTTY | O_CLOEXEC);
  int output = ::open(shell.terminalPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (input < 0 || output < 0) throw std::runtime_error(std::string("terminal: ") + std::strerror(errno));
  // Both ends stay open for the life of the child: a closed one would end the input.
  return TransferCoordinator::create(TerminalNotificationHandler::create(input, output));
}

bool writeAll(int descriptor, const void* data, std::size_t length) {
  const auto* bytes = static_cast<const char*>(data);
  while (length > 0) {
    ssize_t written = ::write(descriptor, bytes, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes += written;
    length -= static_cast<std::size_t>(written);
  }
  return true;
}

// Reads exactly `length` bytes within `limit`; false on end, error or time-out.
bool readAll(int descriptor, void* data, std::size_t length, std::chrono::milliseconds limit) {
  auto* bytes = static_cast<char*>(data);
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (length > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd watched{descriptor, POLLIN, 0};
    int ready = ::poll(&watched, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    ssize_t got = ::read(descriptor, bytes, length);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    bytes += got;
    length -= static_cast<std::size_t>(got);
  }
  return true;
}

[[noreturn]] void runReceiver(int report, int release, int expectedTransfers, std::chrono::seconds limit,
                              const ReceiverProcess::Shell& shell) {
  ::prctl(PR_SET_NAME, "orvel-receiver");  // its threads carry the name too: easy to find in a profile
  Allocator::returnLargeBlocksToTheSystem();  // as the program does
  // "File saved to:" lines would drown the benchmark's own output.
  if (int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC); null >= 0) ::dup2(null, STDOUT_FILENO);
  int status = 0;
  {
    auto& loop = MainLoop::shared();
    auto manager = ConnectionManager::create(0);
    auto delegate = std::make_shared<AutoAccept>(expectedTransfers, shell.onlySender, makeShell(shell));
    manager->setDelegate(delegate);
    manager->setOnReady([report](std::uint16_t port) { writeAll(report, &port, sizeof port); });
    // The parent closes its end once the senders have read every completion
    // notice, or when it gives up early. A connection sends its notice before
    // it reports the transfer, so the loop is given a moment to count the last
    // reports, unless it stops first on having counted them all.
    asio::steady_timer releaseGrace(loop.context());
    std::thread releaseWatch([release, &releaseGrace] {
      char ignored;
      while (::read(release, &ignored, 1) < 0 && errno == EINTR) {
      }
      MainLoop::shared().async([&releaseGrace] {
        releaseGrace.expires_after(std::chrono::seconds(2));
        releaseGrace.async_wait([](std::error_code error) {
          if (!error) MainLoop::shared().stop();
        });
      });
    });
    asio::steady_timer limitTimer(loop.context(), limit);
    limitTimer.async_wait([](std::error_code error) {
      if (error) return;
      std::fprintf(stderr, "receiver: time limit reached\n");
      MainLoop::shared().stop();
    });
    try {
      manager->startListening();
      loop.run();
    } catch (const std::exception& error) {
      std::fprintf(stderr, "receiver: %s\n", error.what());
      status = 1;
    }
    limitTimer.cancel();
    releaseWatch.join();
    manager->stopListening();
    const std::int32_t counts[2] = {delegate->completed(), delegate->failed()};
    writeAll(report, counts, sizeof counts);
  }
  std::fflush(stderr);
  ::_exit(status);  // the worker threads are still running; nothing is left to tidy
}

}  // namespace

ReceiverProcess::ReceiverProcess(int expectedTransfers, std::chrono::seconds limit, const Shell& shell) {
  int report[2], release[2];
  if (::pipe2(report, O_CLOEXEC) != 0 || ::pipe2(release, O_CLOEXEC) != 0) {
    throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
  }
  std::fflush(nullptr);
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
  if (pid_ == 0) {
    ::close(report[0]);
    ::close(release[1]);
    runReceiver(report[1], release[0], expectedTransfers, limit, shell);
  }
  ::close(report[1]);
  ::close(release[0]);
  reportDescriptor_ = report[0];
  releaseDescriptor_ = release[1];
  if (!readAll(reportDescriptor_, &port_, sizeof port_, std::chrono::seconds(10))) {
    throw std::runtime_error("the receiver did not report its port");
  }
}

ReceiverProcess::~ReceiverProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  if (reportDescriptor_ >= 0) ::close(reportDescriptor_);
  if (releaseDescriptor_ >= 0) ::close(releaseDescriptor_);
}

ReceiverProcess::Result ReceiverProcess::finish(std::chrono::seconds grace) {
  Result result;
  ::close(releaseDescriptor_);
  releaseDescriptor_ = -1;
  std::int32_t counts[2] = {0, 0};
  if (readAll(reportDescriptor_, counts, sizeof counts, grace)) {
    result.completed = counts[0];
    result.failed = counts[1];
  }
  int status = 0;
  rusage usage{};
  const auto deadline = std::chrono::steady_clock::now() + grace;
  pid_t waited = 0;
  while ((waited = ::wait4(pid_, &status, WNOHANG, &usage)) == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  result.exitedCleanly = waited == pid_ && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  if (waited != pid_) {
    ::kill(pid_, SIGKILL);
    ::wait4(pid_, &status, 0, &usage);
  }
  pid_ = -1;
  result.userSeconds = static_cast<double>(usage.ru_utime.tv_sec) + static_cast<double>(usage.ru_utime.tv_usec) / 1e6;
  result.systemSeconds = static_cast<double>(usage.ru_stime.tv_sec) + static_cast<double>(usage.ru_stime.tv_usec) / 1e6;
  result.peakResidentKiB = usage.ru_maxrss;
  return result;
}

}  // namespace orvel::bench
