#pragma once

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace orvel {

// The threads that run every serial queue and every socket of the process:
// one per hardware thread, at least two. Stopped and joined on destruction.
class WorkerPool {
 public:
  explicit WorkerPool(unsigned threadCount);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  static WorkerPool& shared();

  asio::io_context& context() { return context_; }

  // Stops the threads once the items they run return, and joins them: work
  // still queued never runs, and is destroyed with the pool. At exit, before
  // the statics that work may use are destroyed.
  void stop();
  // The same, waiting at most `limit` for the items still running. Returns
  // how many threads are still in one then (0: all joined); those are left
  // as they are, and only ending the process without destroying the pool
  // gets past them.
  unsigned stop(std::chrono::milliseconds limit);

 private:
  asio::io_context context_;
  asio::executor_work_guard<asio::io_context::executor_type> workGuard_;
  std::mutex finishing_;
  std::condition_variable finished_;
  unsigned running_ = 0;  // threads not yet out of the context, guarded by finishing_
  std::vector<std::thread> threads_;
};

}  // namespace orvel
