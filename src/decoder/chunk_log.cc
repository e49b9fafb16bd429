#include "decoder/chunk_log.h"

#include "core/alloc.h"

namespace dupcut {

namespace {

// Starts rise with the index, nearly in proportion: the search begins where
// the log's mean chunk length puts pos and widens its steps until pos is
// bracketed. It looks only at chunks less than 4 GiB back, whose low 32
// bits tell them apart; no copy reaches further.
uint64_t search(chunk_log& g, uint64_t pos, uint64_t total) {
  const uint32_t* const st = g.start;
  const uint64_t m = g.mask;
  if (g.n == 0) return chunk_none;
  const uint64_t hi = g.n;
  if (const uint64_t first = chunk_log_first(g); g.near < first) {
    g.near = first;
    g.near_pos = g.oldest;
  }
  while (total - g.near_pos >= (uint64_t(1) << 32)) {
    // Neighbours' starts differ by less than 64 KiB; the last chunk ends
    // at total.
    g.near_pos += g.near + 1 < hi ? uint32_t(st[(g.near + 1) & m] - st[g.near & m]) : total - g.near_pos;
    g.near++;
  }
  if (g.near == hi) return chunk_none;
  auto at = [&](uint64_t i) { return chunk_log_start(g, i, total); };
  const uint64_t lo = g.near;
  if (pos < g.near_pos || pos > at(hi - 1)) return chunk_none;
  if (g.dir_order) {
    // A chunk start is at most 32 entries past the first one of its block
    // (chunks have 64 bytes or more); the search below is for when the
    // hint is stale or pos starts no chunk.
    const uint32_t back = uint32_t(uint32_t(hi) - chunk_dir_at(g, pos));
    if (back <= hi - lo) {
      for (uint64_t j = hi - back, e = j + 33; j < hi && j < e; j++) {
        const uint64_t p = at(j);
        if (p == pos) return j;
        if (p > pos) break;
      }
    }
  }
  const uint64_t span = total - g.near_pos;
  uint64_t i = lo + (pos - g.near_pos) * (hi - lo) / (span ? span : 1);
  if (i >= hi) i = hi - 1;
  uint64_t a, b;  // at(a) <= pos < at(b), b == hi standing for beyond the end
  if (at(i) <= pos) {
    a = i;
    uint64_t step = 1;
    while (a + step < hi && at(a + step) <= pos) a += step, step *= 2;
    b = a + step < hi ? a + step : hi;
  } else {
    b = i;
    uint64_t step = 1;
    while (b - lo > step && at(b - step) > pos) b -= step, step *= 2;
    a = b - lo > step ? b - step : lo;
  }
  while (b - a > 1) {
    const uint64_t c = a + (b - a) / 2;
    (at(c) <= pos ? a : b) = c;
  }
  return at(a) == pos ? a : chunk_none;
}

}  // namespace

uint64_t chunk_log_search(chunk_log& g, uint64_t pos, uint64_t total) {
  const uint64_t i = search(g, pos, total);
  g.last = i;
  g.last_pos = pos;
  return i;
}

bool chunk_log_reset(chunk_log& g, uint32_t order, uint32_t window) {
  if (g.start && order > g.order) chunk_log_free(g);
  if (!g.start) {
    g.start = static_cast<uint32_t*>(alloc_pages(uint64_t(4) << order));
    g.order = order;
    g.mask = (uint32_t(1) << order) - 1;
  }
  // The hint covers the window's positions.
  uint32_t dir_order = 1;
  while ((uint64_t(1) << (dir_order + chunk_dir_shift)) < window) dir_order++;
  if (g.start && g.dir_order != dir_order) {
    free_pages(g.dir, uint64_t(4) << g.dir_order);
    g.dir = static_cast<uint32_t*>(alloc_pages(uint64_t(4) << dir_order));
    g.dir_order = g.dir ? dir_order : 0;
  }
  g.n = 0;
  g.oldest = 0;
  g.near = g.near_pos = 0;
  g.last = chunk_none;
  return g.start != nullptr;
}

void chunk_log_free(chunk_log& g) {
  free_pages(g.start, uint64_t(4) << g.order);
  g.start = nullptr;
  free_pages(g.dir, uint64_t(4) << g.dir_order);
  g.dir = nullptr;
  g.dir_order = 0;
}

}  // namespace dupcut
