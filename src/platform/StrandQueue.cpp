#include "platform/StrandQueue.h"

#include <asio/post.hpp>

namespace orvel {

std::shared_ptr<StrandQueue> StrandQueue::create(std::string label, WorkerPool& pool) {
  return std::shared_ptr<StrandQueue>(new StrandQueue(std::move(label), pool));
}

StrandQueue::StrandQueue(std::string label, WorkerPool& pool)
    : label_(std::move(label)), strand_(asio::make_strand(pool.context())) {}

void StrandQueue::async(std::function<void()> work) { asio::post(strand_, std::move(work)); }

}  // namespace orvel
