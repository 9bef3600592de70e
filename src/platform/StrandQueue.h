#pragma once

#include <asio/io_context.hpp>
#include <asio/strand.hpp>
#include <memory>
#include <string>

#include "platform/SerialQueue.h"
#include "platform/WorkerPool.h"

namespace orvel {

// A serial queue on the worker pool: work runs one item at a time, in
// submission order, on whichever pool thread is free.
class StrandQueue final : public SerialQueue {
 public:
  using Executor = asio::strand<asio::io_context::executor_type>;

  static std::shared_ptr<StrandQueue> create(std::string label, WorkerPool& pool = WorkerPool::shared());

  void async(std::function<void()> work) override;
  const std::string& label() const override { return label_; }

  // True while the calling thread runs an item of this queue.
  bool isCurrent() const { return strand_.running_in_this_thread(); }

 private:
  StrandQueue(std::string label, WorkerPool& pool);

  std::string label_;
  Executor strand_;
};

}  // namespace orvel
