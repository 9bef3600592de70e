#include "support/ManualQueue.h"

namespace orvel::test {

int ManualQueue::drain() {
  int count = 0;
  while (!work_.empty()) {
    auto work = std::move(work_.front());
    work_.pop_front();
    work();
    ++count;
  }
  return count;
}

}  // namespace orvel::test
