#include "platform/ProcessExit.h"

#include <dirent.h>
#include <poll.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace orvel {
namespace {

// Read from the descriptor's link, which names the file without asking its drive.
bool isFileOnADrive(int descriptor) {
  const auto link = "/proc/self/fd/" + std::to_string(descriptor);
  char target[16];
  const auto length = ::readlink(link.c_str(), target, sizeof target);
  if (length <= 0) return false;
  const std::string_view path(target, static_cast<std::size_t>(length));
  return path.starts_with('/') && !path.starts_with("/dev/");
}

void closeAllButFilesOnDrives() {
  DIR* listing = ::opendir("/proc/self/fd");
  if (!listing) return;
  const int own = ::dirfd(listing);
  std::vector<int> others;
  while (const dirent* entry = ::readdir(listing)) {
    if (entry->d_name[0] == '.') continue;
    const int descriptor = std::atoi(entry->d_name);
    if (descriptor != own && !isFileOnADrive(descriptor)) others.push_back(descriptor);
  }
  ::closedir(listing);
  for (int descriptor : others) ::close(descriptor);
}

}  // namespace

void ProcessExit::leavingDriveFilesOpen(int status) {
  closeAllButFilesOnDrives();
  const auto process = static_cast<int>(::syscall(SYS_pidfd_open, ::getpid(), 0));
  // As fork, but sharing the descriptor table: the last of the process's
  // threads to end then closes nothing, and the child, which ends once they
  // all have, closes the files. Only calls that are safe in the child of a
  // threaded process follow.
  if (process >= 0 && ::syscall(SYS_clone, CLONE_FILES | SIGCHLD, nullptr, nullptr, nullptr, nullptr) == 0) {
    sigset_t all;
    ::sigfillset(&all);
    ::sigprocmask(SIG_SETMASK, &all, nullptr);
    pollfd ended{process, POLLIN, 0};
    while (::poll(&ended, 1, -1) < 0 && errno == EINTR) continue;
    ::_exit(0);
  }
  ::_exit(status);
}

}  // namespace orvel
