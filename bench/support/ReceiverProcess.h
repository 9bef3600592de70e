#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace orvel::bench {

// The real receiver in a child process of its own, so that its CPU time and
// peak memory are measured exactly: a ConnectionManager listening on a port
// the system chooses, and a delegate that accepts every transfer on the main
// loop. The child counts completed and failed transfers until it has
// `expectedTransfers` of them (or `limit` passes), then waits for finish().
class ReceiverProcess {
 public:
  struct Result {
    int completed = 0;
    int failed = 0;
    double userSeconds = 0;
    double systemSeconds = 0;
    long peakResidentKiB = 0;
    bool exitedCleanly = false;
  };

  // With `onlySender` set, the child runs the shell's coordinator and terminal
  // as well, on a pseudo-terminal nobody types into and printing into the
  // file `terminalPath`; it accepts only that sender's requests and counts
  // only its transfers, leaving every other question unanswered.
  struct Shell {
    std::string onlySender;
    std::string terminalPath;
  };

  // Call before this process starts any thread: it forks.
  ReceiverProcess(int expectedTransfers, std::chrono::seconds limit, const Shell& shell = {});
  ~ReceiverProcess();  // a child still running is killed
  ReceiverProcess(const ReceiverProcess&) = delete;
  ReceiverProcess& operator=(const ReceiverProcess&) = delete;

  std::uint16_t port() const { return port_; }
  pid_t pid() const { return pid_; }
  // Lets the child stop and waits for it, killing it after `grace`.
  Result finish(std::chrono::seconds grace);

 private:
  pid_t pid_ = -1;
  int reportDescriptor_ = -1;   // the child's port, then its counts
  int releaseDescriptor_ = -1;  // closed to let the child stop
  std::uint16_t port_ = 0;
};

}  // namespace orvel::bench
