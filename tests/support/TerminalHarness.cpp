#include "support/TerminalHarness.h"

#include <fcntl.h>
#include <poll.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <thread>

namespace orvel::test {

TerminalHarness::TerminalHarness() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY);
  EXPECT_GE(master_, 0);
  EXPECT_EQ(grantpt(master_), 0);
  EXPECT_EQ(unlockpt(master_), 0);
  terminal_ = open(ptsname(master_), O_RDWR | O_NOCTTY);
  EXPECT_GE(terminal_, 0);
  termios settings{};
  tcgetattr(terminal_, &settings);
  settings.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  tcsetattr(terminal_, TCSANOW, &settings);
  int output[2];
  EXPECT_EQ(pipe(output), 0);
  outputRead_ = output[0];
  outputWrite_ = output[1];
  fcntl(outputRead_, F_SETFL, O_NONBLOCK);
}

TerminalHarness::~TerminalHarness() {
  for (int fd : {master_, terminal_, outputRead_, outputWrite_}) {
    if (fd >= 0) close(fd);
  }
}

void TerminalHarness::type(const std::string& text) const {
  ASSERT_EQ(write(master_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
}

void TerminalHarness::answer(const std::string& text) const {
  std::this_thread::sleep_for(timeToRead);
  type(text);
}

void TerminalHarness::hangUp() {
  close(master_);
  master_ = -1;
}

std::string TerminalHarness::shown() const {
  std::string text;
  char buffer[512];
  pollfd ready{master_, POLLIN, 0};
  while (poll(&ready, 1, 0) == 1 && (ready.revents & POLLIN) != 0) {
    auto length = read(master_, buffer, sizeof buffer);
    if (length <= 0) break;
    text.append(buffer, static_cast<std::size_t>(length));
  }
  return text;
}

std::string TerminalHarness::printed() {
  std::string text;
  char buffer[512];
  ssize_t length;
  while ((length = read(outputRead_, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(length));
  return text;
}

}  // namespace orvel::test
