// Fresh pages faulted in by a helper thread, so that the kernel zeroes them
// while the codec works instead of when the codec first writes them. Only a
// hint: a page reads as zero whether or not the helper got to it first, and
// no result depends on it.
#pragma once

#include <cstdint>

namespace dupcut {

struct prefault;

// Starts a thread that faults in the first `goal` bytes of the block of
// `size` bytes at p and then waits for the goal to move; null when no
// thread can be had. Once the block is in, the thread only waits.
prefault* prefault_start(void* p, uint64_t size, uint64_t goal);

// Moves the goal to `goal` bytes from the block's start; never back.
void prefault_to(prefault* f, uint64_t goal);

// The caller is about to fault in everything before `from` itself: the
// thread goes on from there rather than fault the same pages at the same
// time (each would zero its own huge page, and one would be thrown away).
void prefault_skip_to(prefault* f, uint64_t from);

// Stops the thread, waits for it (at most one step of faulting) and frees
// it; f is null after. Must come before the block is unmapped.
void prefault_stop(prefault*& f);

}  // namespace dupcut
