#include "platform/MainLoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace orvel {
namespace {

TEST(MainLoop, RunsPostedWorkInOrderOnTheCallingThread) {
  std::vector<int> order;
  std::thread::id ranOn;
  std::atomic<bool> posted = false;
  std::thread other([&] {
    MainLoop::shared().async([&] { order.push_back(1); ranOn = std::this_thread::get_id(); });
    MainLoop::shared().async([&] { order.push_back(2); });
    posted = true;
  });
  EXPECT_TRUE(MainLoop::shared().runUntil([&] { return order.size() == 2; }, std::chrono::seconds(5)));
  other.join();
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
  EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST(MainLoop, RunUntilGivesUpAfterTimeout) {
  EXPECT_FALSE(MainLoop::shared().runUntil([] { return false; }, std::chrono::milliseconds(30)));
}

}  // namespace
}  // namespace orvel
