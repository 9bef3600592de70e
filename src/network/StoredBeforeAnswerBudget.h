#pragma once

#include <cstddef>
#include <cstdint>

#include "network/HeldBytesBudget.h"

namespace orvel {

// What the files of offers not yet answered store in the download folder,
// in bytes and in files begun (each an open file), shared by all
// connections, so that the number of waiting questions multiplies neither
// disk use nor descriptors. Any thread.
class StoredBeforeAnswerBudget {
 public:
  StoredBeforeAnswerBudget(std::int64_t mostBytes, std::size_t mostFiles)
      : bytes_(mostBytes), files_(static_cast<std::int64_t>(mostFiles)) {}

  // False, and nothing charged, when the charge would pass the bound.
  bool tryChargeBytes(std::int64_t bytes) { return bytes_.tryCharge(bytes); }
  bool tryChargeFile() { return files_.tryCharge(1); }
  void release(std::int64_t bytes, std::size_t files) {
    bytes_.release(bytes);
    files_.release(static_cast<std::int64_t>(files));
  }

  std::int64_t mostBytes() const { return bytes_.limit(); }
  std::size_t mostFiles() const { return static_cast<std::size_t>(files_.limit()); }

 private:
  HeldBytesBudget bytes_;
  HeldBytesBudget files_;  // one unit a file
};

}  // namespace orvel
