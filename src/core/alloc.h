// Page-granular, zero-filled, committed memory for the chunk table and the
// decoder window: the only large allocations of a run.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dupcut {

// Returns a zero-filled read-write block of at least `size` bytes, or
// nullptr when the size rounded up to 4096 does not fit 32 bits or the
// system refuses.
void* alloc_pages(uint64_t size);
// Releases a block from alloc_pages; `size` is the size that was asked for.
void free_pages(void* p, uint64_t size);

}  // namespace dupcut
