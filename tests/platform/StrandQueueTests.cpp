#include "platform/StrandQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/LoopbackSupport.h"

namespace orvel {
namespace {

TEST(StrandQueueThreaded, RunsItemsOneAtATimeInSubmissionOrder) {
  auto queue = StrandQueue::create("com.orvel.test");
  EXPECT_EQ(queue->label(), "com.orvel.test");
  constexpr int items = 2000;
  std::atomic<int> running = 0;
  std::atomic<bool> overlapped = false;
  std::vector<int> order;  // touched only by the queue's items
  test::Recorder<bool> done;
  for (int index = 0; index < items; ++index) {
    queue->async([&, index] {
      if (running.fetch_add(1) != 0) overlapped = true;
      order.push_back(index);
      if (!queue->isCurrent()) overlapped = true;
      running.fetch_sub(1);
      if (index == items - 1) done.add(true);
    });
  }
  ASSERT_TRUE(done.waitForCount(1));
  EXPECT_FALSE(overlapped);
  for (int index = 0; index < items; ++index) ASSERT_EQ(order[index], index);
  EXPECT_FALSE(queue->isCurrent());
}

TEST(StrandQueueThreaded, QueuesRunInParallelWithEachOther) {
  // Each item waits for the other queue's item: this only finishes when the two run at once.
  auto first = StrandQueue::create("first");
  auto second = StrandQueue::create("second");
  std::atomic<int> arrived = 0;
  test::Recorder<bool> finished;
  auto meet = [&] {
    arrived.fetch_add(1);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (arrived.load() < 2 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    finished.add(arrived.load() == 2);
  };
  first->async(meet);
  second->async(meet);
  ASSERT_TRUE(finished.waitForCount(2, std::chrono::seconds(20)));
  EXPECT_EQ(finished.values(), (std::vector<bool>{true, true}));
}

TEST(StrandQueueThreaded, RunsOnAPoolOfItsOwnThatJoinsOnDestruction) {
  WorkerPool pool(2);
  auto queue = StrandQueue::create("own", pool);
  test::Recorder<std::thread::id> ranOn;
  queue->async([&] { ranOn.add(std::this_thread::get_id()); });
  ASSERT_TRUE(ranOn.waitForCount(1));
  EXPECT_NE(ranOn.values().front(), std::this_thread::get_id());
}

}  // namespace
}  // namespace orvel
