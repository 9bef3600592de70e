#include "platform/WorkerPool.h"

#include <algorithm>

namespace orvel {

WorkerPool::WorkerPool(unsigned threadCount) : workGuard_(asio::make_work_guard(context_)) {
  threads_.reserve(threadCount);
  for (unsigned i = 0; i < threadCount; ++i) {
    threads_.emplace_back([this] { context_.run(); });
  }
}

WorkerPool::~WorkerPool() {
  workGuard_.reset();
  context_.stop();
  for (auto& thread : threads_) thread.join();
}

WorkerPool& WorkerPool::shared() {
  static WorkerPool pool(std::max(2u, std::thread::hardware_concurrency()));
  return pool;
}

}  // namespace orvel
