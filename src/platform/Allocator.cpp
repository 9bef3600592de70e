#include "platform/Allocator.h"

#include <malloc.h>

namespace orvel {

namespace {
constexpr int kLargeBlock = 1 << 20;
// Fixing the threshold also fixes how much free memory the heap keeps before
// trimming: at its default of 128 KiB every freed chunk frame would be given
// back and asked for again.
constexpr int kKeptFreeHeap = 16 << 20;
}  // namespace

void Allocator::returnLargeBlocksToTheSystem() {
  ::mallopt(M_MMAP_THRESHOLD, kLargeBlock);
  ::mallopt(M_TRIM_THRESHOLD, kKeptFreeHeap);
}

}  // namespace orvel
