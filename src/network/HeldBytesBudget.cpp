#include "network/HeldBytesBudget.h"

namespace orvel {

bool HeldBytesBudget::tryCharge(std::int64_t bytes) {
  auto held = held_.load();
  do {
    if (bytes > limit_ - held) return false;
  } while (!held_.compare_exchange_weak(held, held + bytes));
  return true;
}

}  // namespace orvel
