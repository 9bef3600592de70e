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

}  // namespace
}  // namespace orvel
