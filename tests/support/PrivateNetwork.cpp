#include "support/PrivateNetwork.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <system_error>

namespace orvel::test {
namespace {

[[noreturn]] void raise(const char* what) { throw std::system_error(errno, std::system_category(), what); }

void setLoopbackUp(bool up) {
  const int control = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (control < 0) raise("socket");
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  bool done = ::ioctl(control, SIOCGIFFLAGS, &request) == 0;
  request.ifr_flags = static_cast<short>(up ? request.ifr_flags | IFF_UP : request.ifr_flags & ~IFF_UP);
  done = done && ::ioctl(control, SIOCSIFFLAGS, &request) == 0;
  const int error = errno;
  ::close(control);
  if (!done) {
    errno = error;
    raise(up ? "bring up lo" : "take down lo");
  }
}

}  // namespace

// The namespace is the thread's, not the process's: the other threads, and
// sockets made before, stay where they are.
PrivateNetwork::PrivateNetwork() {
  original_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  if (original_ < 0) raise("open the network namespace");
  if (::unshare(CLONE_NEWNET) != 0) {
    const int error = errno;
    ::close(original_);
    errno = error;
    raise("unshare");
  }
  try {
    setLoopbackUp(true);
  } catch (...) {
    ::setns(original_, CLONE_NEWNET);
    ::close(original_);
    throw;
  }
}

void PrivateNetwork::takeLoopbackDown() { setLoopbackUp(false); }

PrivateNetwork::~PrivateNetwork() {
  // Staying would leave every later test of this thread in a namespace without the machine's interfaces.
  if (::setns(original_, CLONE_NEWNET) != 0) std::terminate();
  ::close(original_);
}

}  // namespace orvel::test
