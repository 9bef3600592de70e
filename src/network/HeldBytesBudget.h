#pragma once

#include <atomic>
#include <cstdint>

namespace orvel {

// The bytes that connections the user has not accepted hold in memory,
// shared by all of them, so that their bounds do not multiply with their
// number. Any thread.
class HeldBytesBudget {
 public:
  explicit HeldBytesBudget(std::int64_t limit) : limit_(limit) {}

  // False, and nothing charged, when the bytes would pass the limit.
  bool tryCharge(std::int64_t bytes);
  void release(std::int64_t bytes) { held_.fetch_sub(bytes); }
  std::int64_t held() const { return held_.load(); }
  std::int64_t limit() const { return limit_; }

 private:
  const std::int64_t limit_;
  std::atomic<std::int64_t> held_{0};
};

}  // namespace orvel
