#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "services/TerminalNotificationHandler.h"

namespace orvel::test {

// A pseudo-terminal for the answers (the handler under test reads its far
// end) and a pipe that collects everything the handler prints.
class TerminalHarness {
 public:
  // The shortened reading time to create the handlers under test with.
  static constexpr std::chrono::milliseconds timeToRead{50};

  TerminalHarness();
  // Closes the descriptors only once every handler made here is gone: a
  // handler that outlived them would write into whatever reused their
  // numbers, such as the next test's terminal. One still alive fails the test.
  ~TerminalHarness();
  TerminalHarness(const TerminalHarness&) = delete;
  TerminalHarness& operator=(const TerminalHarness&) = delete;

  // The handler's side of the terminal, for settings and jobs of its own.
  int terminal() const { return terminal_; }
  // The handler under test, answered on this terminal and printing here.
  std::shared_ptr<TerminalNotificationHandler> ask(std::chrono::milliseconds readingTime = timeToRead);
  // One that reads its answers from `input` instead.
  std::shared_ptr<TerminalNotificationHandler> askReadingFrom(int input);

  void type(const std::string& text) const;
  // Types once the question on screen may be answered.
  void answer(const std::string& text) const;
  void hangUp();
  // Everything printed since the last call.
  std::string printed();
  // Everything written to the terminal itself since the last call.
  std::string shown() const;

 private:
  int master_ = -1;
  int terminal_ = -1;
  int outputRead_ = -1;
  int outputWrite_ = -1;
  std::vector<std::weak_ptr<TerminalNotificationHandler>> handlers_;
};

}  // namespace orvel::test
