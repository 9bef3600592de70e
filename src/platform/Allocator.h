#pragma once

namespace orvel {

namespace Allocator {
// Large blocks (a sender's frames and messages of a megabyte and more) are
// given back to the system when freed. Left to itself the allocator raises its
// threshold after the first such block and then keeps them cached in every
// thread's arena, so that what a hostile sender made it allocate once stays
// resident. A file chunk's frame stays below the threshold.
void returnLargeBlocksToTheSystem();
}  // namespace Allocator

}  // namespace orvel
