#include "platform/Log.h"

#include <gtest/gtest.h>

#include <thread>

namespace orvel {
namespace {

TEST(Log, CaptureSeesLinesOfEveryThreadInOrder) {
  LogCapture capture;
  Log::write("[Test] first");
  std::thread([] { Log::write("[Test] second"); }).join();
  EXPECT_EQ(capture.lines(), (std::vector<std::string>{"[Test] first", "[Test] second"}));
  EXPECT_TRUE(capture.contains("[Test] second"));
  EXPECT_EQ(capture.linesStartingWith("[Test] s").size(), 1u);
  capture.clear();
  EXPECT_TRUE(capture.lines().empty());
}

TEST(Log, NewestCaptureReceivesLinesAndOuterResumes) {
  LogCapture outer;
  {
    LogCapture inner;
    Log::write("inner");
    EXPECT_EQ(inner.lines().size(), 1u);
  }
  Log::write("outer");
  EXPECT_EQ(outer.lines(), std::vector<std::string>{"outer"});
}

// Whatever a peer put into a name stays on its one line, and the capture sees
// the line as the system log does.
TEST(Log, ControlCharactersAreEscaped) {
  const std::pair<std::string, std::string> cases[] = {
      {"[Test] plain ASCII, a backslash \\n kept", "[Test] plain ASCII, a backslash \\n kept"},
      {"r\xC3\xA9sum\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x91\x8D \xC2\xA0",
       "r\xC3\xA9sum\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x91\x8D \xC2\xA0"},
      {"name: Eve\n[TransferCoordinator] User accepted", "name: Eve\\n[TransferCoordinator] User accepted"},
      {"a\rb\tc", "a\\rb\\tc"},
      {std::string("a\0b\x01\x1b[2J\x1f\x7f", 10), "a\\x00b\\x01\\x1b[2J\\x1f\\x7f"},
      // C1 controls (NEL, CSI) and the Unicode line and paragraph separators
      {"\xC2\x80\xC2\x85\xC2\x9B\xC2\x9F", "\\u0080\\u0085\\u009b\\u009f"},
      {"\xE2\x80\xA8\xE2\x80\xA9", "\\u2028\\u2029"},
      // bytes that are no UTF-8: a stray byte, an overlong form, a cut sequence
      {"\xFF\xC0\xAF\xC3", "\\xff\\xc0\\xaf\\xc3"},
  };
  LogCapture capture;
  for (const auto& [text, line] : cases) {
    capture.clear();
    Log::write(text);
    EXPECT_EQ(capture.lines(), std::vector<std::string>{line}) << line;
  }
}

}  // namespace
}  // namespace orvel
