#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace orvel {

// What the files of offers not yet answered store in the download folder,
// in bytes and in files begun (each an open file), shared by all
// connections, so that the number of waiting questions multiplies neither
// disk use nor descriptors. Any thread.
class StoredBeforeAnswerBudget {
 public:
  StoredBeforeAnswerBudget(std::int64_t mostBytes, std::size_t mostFiles)
      : mostBytes_(mostBytes), mostFiles_(mostFiles) {}

  // False, and nothing charged, when the charge would pass the bound.
  bool tryChargeBytes(std::int64_t bytes);
  bool tryChargeFile();
  void release(std::int64_t bytes, std::size_t files);

  std::int64_t mostBytes() const { return mostBytes_; }
  std::size_t mostFiles() const { return mostFiles_; }

 private:
  const std::int64_t mostBytes_;
  const std::size_t mostFiles_;
  std::atomic<std::int64_t> bytes_{0};
  std::atomic<std::size_t> files_{0};
};

}  // namespace orvel
