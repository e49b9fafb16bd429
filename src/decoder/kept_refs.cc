#include "decoder/kept_refs.h"

#include "core/alloc.h"

namespace dupcut {

namespace {

uint64_t base_bytes(uint32_t order) { return uint64_t(8) << (order > refs_group ? order - refs_group : 0); }

// Both parts were asked for at `order`.
void release(kept_refs& r, uint32_t order) {
  free_pages(r.at, uint64_t(4) << order);
  free_pages(r.at_base, base_bytes(order));
  r.at = nullptr;
  r.at_base = nullptr;
  r.order = 0;
}

}  // namespace

bool refs_alloc(kept_refs& r, uint32_t order) {
  if (r.order == order) return true;
  refs_free(r);
  r.at = static_cast<uint32_t*>(alloc_pages(uint64_t(4) << order));
  r.at_base = static_cast<uintptr_t*>(alloc_pages(base_bytes(order)));
  if (!r.at || !r.at_base) {
    release(r, order);
    return false;
  }
  r.order = order;
  return true;
}

void refs_free(kept_refs& r) { release(r, r.order); }

}  // namespace dupcut
