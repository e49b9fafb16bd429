// The chunk log: where the decoder's recent chunks start (span route only).
// A chunk's end depends on its own bytes alone, so a copy from a logged
// chunk start that is still in the ring takes that chunk's length from the
// log without scanning it.
//
//   chunk_log_reset(g, order, window);      // once per stream
//   chunk_log_add(g, total) at every chunk's start (its first position);
//   i = chunk_log_find(g, pos, total);      // a copy's source, or chunk_none
//   chunk_log_free(g);
#pragma once

#include <cstdint>

namespace dupcut {

// log2 of the log's entries unless a caller asks for more: 2 Mi starts in
// 8 MiB.
constexpr uint32_t chunk_log_order = 21;
constexpr uint64_t chunk_none = ~uint64_t(0);

struct chunk_log {
  uint32_t* start;  // start[i & mask]: low 32 bits of chunk i's first position
  uint32_t order;   // log2 of the entries; 0 before the first reset
  uint32_t mask;
  uint64_t n;       // chunks logged so far
  uint64_t oldest;  // first position of the oldest chunk still logged
  // The oldest chunk less than 4 GiB before the data's end, as last seen,
  // and its first position: starts from there on are told apart by their
  // low 32 bits.
  uint64_t near;
  uint64_t near_pos;
  uint64_t last;      // the last find's answer, chunk_none when not known,
  uint64_t last_pos;  // and the position asked for
  // A hint for the search: dir[(p >> dir_shift) & dir mask] holds the low
  // 32 bits of the index of the first chunk that starts in the 2 KiB block
  // of positions p, when one does; stale entries are told by their start.
  uint32_t* dir;
  uint32_t dir_order;  // log2 of dir's entries; 0: none
};

// log2 of the bytes of position a dir entry covers.
constexpr uint32_t chunk_dir_shift = 11;

// An empty log of 2^order entries or more (chunk_log_order at least) whose
// hint covers `window` bytes of positions; memory is kept from an earlier
// stream when it is big enough. False when the entries cannot be had (the
// log is then off: start is null); a hint that cannot be had leaves none.
bool chunk_log_reset(chunk_log& g, uint32_t order, uint32_t window);
void chunk_log_free(chunk_log& g);

inline uint32_t& chunk_dir_at(const chunk_log& g, uint64_t pos) {
  return g.dir[(pos >> chunk_dir_shift) & ((uint64_t(1) << g.dir_order) - 1)];
}

// The next chunk starts at data position pos. Entries keep the low 32 bits
// of a position; the full one follows from the oldest entry's, kept exactly
// as entries fall out (every chunk but the last is below 64 KiB, so
// differences of neighbours are exact).
inline void chunk_log_add(chunk_log& g, uint64_t pos) {
  const uint64_t size = uint64_t(g.mask) + 1;
  if (g.dir_order &&
      (g.n == 0 || (uint32_t(pos) >> chunk_dir_shift) != (g.start[(g.n - 1) & g.mask] >> chunk_dir_shift)))
    chunk_dir_at(g, pos) = uint32_t(g.n);
  if (g.n == 0)
    g.oldest = pos;
  else if (g.n >= size)
    g.oldest += uint32_t(g.start[(g.n + 1) & g.mask] - g.start[g.n & g.mask]);
  g.start[g.n & g.mask] = uint32_t(pos);
  g.n++;
}

// chunk_log_find without the look at the chunk after the last answer.
uint64_t chunk_log_search(chunk_log& g, uint64_t pos, uint64_t total);

// The index of the chunk that starts at pos among those still logged and
// less than 4 GiB before total (the data's end), or chunk_none; pos <=
// total. Remembers the answer: a run of continue codes asks for the chunk
// after it next, which is looked at first (inline: most copies of a
// stream with many are such runs).
inline uint64_t chunk_log_find(chunk_log& g, uint64_t pos, uint64_t total) {
  const uint64_t next = g.last + 1;
  if (g.last == chunk_none || next >= g.n || g.n - g.last > uint64_t(g.mask) + 1 ||
      g.last_pos + uint32_t(g.start[next & g.mask] - g.start[g.last & g.mask]) != pos)
    return chunk_log_search(g, pos, total);
  g.last = next;
  g.last_pos = pos;
  return next;
}

// The oldest chunk still logged.
inline uint64_t chunk_log_first(const chunk_log& g) { return g.n > uint64_t(g.mask) + 1 ? g.n - g.mask - 1 : 0; }

// Chunk i's first position, from the first position `next` of a later
// chunk (or the data's end) less than 4 GiB after it.
inline uint64_t chunk_log_start(const chunk_log& g, uint64_t i, uint64_t next) {
  return next - uint32_t(uint32_t(next) - g.start[i & g.mask]);
}

// The length of logged chunk i; total is the data's end, where the last
// logged chunk ends.
inline uint32_t chunk_log_len(const chunk_log& g, uint64_t i, uint64_t total) {
  return (i + 1 < g.n ? g.start[(i + 1) & g.mask] : uint32_t(total)) - g.start[i & g.mask];
}

}  // namespace dupcut
