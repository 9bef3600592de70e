#include "platform/WorkerPool.h"

#include <gtest/gtest.h>

#include <asio/post.hpp>
#include <future>

namespace orvel {
namespace {

TEST(WorkerPoolThreaded, ABoundedStopLeavesAStuckItemAndJoinsOnceItReturns) {
  WorkerPool pool(2);
  std::promise<void> started;
  std::promise<void> release;
  auto startedItem = started.get_future();
  asio::post(pool.context(), [&started, released = release.get_future()] {
    started.set_value();
    released.wait();
  });
  startedItem.wait();
  EXPECT_EQ(pool.stop(std::chrono::milliseconds(10)), 1u);
  release.set_value();
  EXPECT_EQ(pool.stop(std::chrono::seconds(60)), 0u);
}

}  // namespace
}  // namespace orvel
