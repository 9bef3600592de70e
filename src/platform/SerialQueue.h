#pragma once

#include <functional>
#include <string>

namespace orvel {

// Runs submitted work one item at a time, in submission order, never on the
// caller's stack. Every platform callback of a connection arrives on its queue.
class SerialQueue {
 public:
  virtual ~SerialQueue() = default;
  virtual void async(std::function<void()> work) = 0;
  virtual const std::string& label() const = 0;
};

}  // namespace orvel
