#include "network/StoredBeforeAnswerBudget.h"

namespace orvel {

bool StoredBeforeAnswerBudget::tryChargeBytes(std::int64_t bytes) {
  auto stored = bytes_.load();
  do {
    if (bytes > mostBytes_ - stored) return false;
  } while (!bytes_.compare_exchange_weak(stored, stored + bytes));
  return true;
}

bool StoredBeforeAnswerBudget::tryChargeFile() {
  auto stored = files_.load();
  do {
    if (stored >= mostFiles_) return false;
  } while (!files_.compare_exchange_weak(stored, stored + 1));
  return true;
}

void StoredBeforeAnswerBudget::release(std::int64_t bytes, std::size_t files) {
  bytes_.fetch_sub(bytes);
  files_.fetch_sub(files);
}

}  // namespace orvel
