#pragma once

#include <cstddef>
#include <cstdint>
#include <map>

namespace orvel {

// The parts of a file written so far, as merged byte ranges: how many bytes
// they cover, whatever order or overlap the writes came in. Their number is
// capped, as each costs memory and a sender chooses how many it makes.
class CoveredRanges {
 public:
  explicit CoveredRanges(std::size_t mostRanges) : mostRanges_(mostRanges) {}

  // Adds [begin, end). False, with nothing added, when that would leave more
  // than the cap of separate ranges.
  bool add(std::int64_t begin, std::int64_t end);
  // The bytes covered, each counted once.
  std::int64_t covered() const { return covered_; }
  // The highest end added, 0 before any.
  std::int64_t end() const { return ranges_.empty() ? 0 : ranges_.rbegin()->second; }

 private:
  std::size_t mostRanges_;
  std::map<std::int64_t, std::int64_t> ranges_;  // begin -> end; neither overlapping nor touching
  std::int64_t covered_ = 0;
};

}  // namespace orvel
