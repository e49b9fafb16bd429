#include "core/alloc.h"

#include <sys/mman.h>

namespace dupcut {

namespace {

constexpr uint64_t page = 4096;

#ifdef DUPCUT_GUARD_PAGES
// Sanitizers do not watch mmap memory: an inaccessible page on each side
// makes any access just outside the block fault at once.
constexpr uint64_t guard = page;
#else
constexpr uint64_t guard = 0;
#endif

uint64_t rounded(uint64_t size) { return (size + page - 1) & ~(page - 1); }

}  // namespace

void* alloc_pages(uint64_t size) {
  uint64_t r = rounded(size);
  if (r == 0 || (r >> 32)) return nullptr;
  void* p = mmap(nullptr, r + 2 * guard, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  auto* base = static_cast<unsigned char*>(p);
  // Fewer page faults and TLB misses over a table or window touched all
  // over; a hint only, so its result does not matter.
  if (r >= (uint64_t(8) << 20)) madvise(base + guard, r, MADV_HUGEPAGE);
  if (guard) {
    mprotect(base, guard, PROT_NONE);
    mprotect(base + guard + r, guard, PROT_NONE);
    // End the block at the trailing guard so an overrun by one byte faults.
    return base + guard + (r - size);
  }
  return base;
}

void free_pages(void* p, uint64_t size) {
  if (!p) return;
  uint64_t r = rounded(size);
  auto* block = static_cast<unsigned char*>(p) - (guard ? guard + (r - size) : 0);
  munmap(block, r + 2 * guard);
}

}  // namespace dupcut
