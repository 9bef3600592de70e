#pragma once

#include <chrono>
#include <string>

namespace orvel::test {

// A pseudo-terminal for the answers (the handler under test reads its far
// end) and a pipe that collects everything the handler prints.
class TerminalHarness {
 public:
  // The shortened reading time to create the handlers under test with.
  static constexpr std::chrono::milliseconds timeToRead{50};

  TerminalHarness();
  ~TerminalHarness();
  TerminalHarness(const TerminalHarness&) = delete;
  TerminalHarness& operator=(const TerminalHarness&) = delete;

  int terminal() const { return terminal_; }
  int output() const { return outputWrite_; }
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
};

}  // namespace orvel::test
