#pragma once

#include <deque>
#include <functional>
#include <string>

#include "platform/SerialQueue.h"

namespace orvel::test {

// A serial queue that runs nothing until the test drains it, so every step of
// a connection happens at a point the test chooses. Single-threaded.
class ManualQueue final : public SerialQueue {
 public:
  void async(std::function<void()> work) override { work_.push_back(std::move(work)); }
  const std::string& label() const override { return label_; }

  // Runs queued work, including work queued meanwhile, until none is left.
  // Returns how many items ran.
  int drain();
  bool isEmpty() const { return work_.empty(); }

 private:
  std::deque<std::function<void()>> work_;
  std::string label_ = "test.manual";
};

}  // namespace orvel::test
