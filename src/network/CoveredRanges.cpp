#include "network/CoveredRanges.h"

#include <algorithm>
#include <iterator>

namespace orvel {

bool CoveredRanges::add(std::int64_t begin, std::int64_t end) {
  if (begin >= end) return true;
  // The ranges that overlap or touch [begin, end] are those before the first
  // one starting past `end`, back to the first ending before `begin`.
  auto after = ranges_.upper_bound(end);
  bool joinsOne = after != ranges_.begin() && std::prev(after)->second >= begin;
  if (!joinsOne && ranges_.size() >= mostRanges_) return false;
  while (after != ranges_.begin()) {
    auto joined = std::prev(after);
    if (joined->second < begin) break;
    begin = std::min(begin, joined->first);
    end = std::max(end, joined->second);
    covered_ -= joined->second - joined->first;
    after = ranges_.erase(joined);
  }
  ranges_.emplace(begin, end);
  covered_ += end - begin;
  return true;
}

}  // namespace orvel
