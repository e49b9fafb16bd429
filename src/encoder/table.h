// The encoder's chunk table: open addressing over cfg_tblsize slots with a
// 32-slot probe window from each key's home slot, move-to-front insertion
// and tombstones for entries that fell out of the decoder's reach.
//
// Positions passed in are true positions: data bytes before the chunk, in
// 64 bits. Tags keep them modulo 0xFFFF0000 as the stream does, and 2 bits
// a slot keep the wrap count, so that every distance the table decides on
// is the true one. Below 0xFFFF0000 bytes of data that changes nothing.
#pragma once

#include <cstdint>

#include "chunking/chunker.h"
#include "core/prefault.h"

namespace dupcut {

constexpr uint32_t probe_window = 32;
// Slots per byte of the map of written slots (5 KiB of table a byte).
constexpr uint32_t dirty_slots = 256;

struct table_slot {
  uint32_t tag;  // 0 empty, 1 tombstone, else position + 2
  chunk_key key;
};
static_assert(sizeof(table_slot) == 20);

// Scratch record of one insertion; its size is part of console line 1.
struct hinf {
  chunk_key key;
  uint32_t tag;
  uint32_t home;
  uint32_t slot;
};
static_assert(sizeof(hinf) == 28);

// A long chunk's sweep, deferred: visits [first, end) of the cursor, made
// when the data had reached true position `at`.
struct sweep_rec {
  uint64_t first;
  uint64_t end;
  uint64_t at;
};

struct chunk_table {
  uint32_t cfg_tblsize;     // slots
  uint32_t encmem;          // bytes asked for the table
  uint32_t cfg_decwinsize;  // bytes
  uint32_t found_pos;       // the most recent hit's position
  uint32_t sweep_cur;       // the slot the sweep visits next
  hinf rec[probe_window];   // scratch of the latest insertion
  table_slot* htbl;         // cfg_tblsize slots

  // Tags hold positions modulo 0xFFFF0000; distances are decided on true
  // positions (data bytes before the chunk, 64-bit), so that an entry older
  // than the position space never reads as a near one.
  uint64_t found_dist;  // true distance of the most recent hit
  uint8_t* wrap;        // 2 bits a slot: (true position / 0xFFFF0000) mod 4
  uint32_t wrapped;     // set once positions pass 0xFFFF0000; wrap is all 0 before
  uint64_t rec_at[probe_window];  // true positions of an insertion's records
  uint64_t reached;               // true position of the latest call

  // The sweep's visits are counted; a chunk's sweep of lazy_min slots or
  // more is kept as a record and applied to a slot when a call reads it.
  uint64_t visits;   // slots visited so far
  sweep_rec* hist;   // ring of deferred sweeps, oldest at hist_head
  uint32_t hist_cap;   // records the ring holds
  uint32_t hist_head;  // index of the oldest record
  uint32_t hist_n;     // records in the ring
  uint32_t lazy_min;   // slots, the shortest sweep that is deferred

  prefault* fill;  // the helper faulting the slots in, or null
  uint8_t* dirty;  // a byte per dirty_slots slots: 1 once one is written
};

// Allocates the slots and the sweep's bookkeeping for `slots` slots and a
// window of decwinsize bytes, all empty; false when memory is refused.
bool tbl_open(chunk_table& t, uint32_t slots, uint32_t decwinsize);
// Starts a thread that faults the slots in while the encoder starts, on an
// open table that has none and is big enough to need one: every slot is
// touched within the first megabytes of input, so otherwise the kernel
// zeroes the whole table on the encoder's time.
void tbl_prefault(chunk_table& t);
// Stops the helper and releases the memory.
void tbl_close(chunk_table& t);
// Empties an open table for a new stream, keeping its memory. Only slots
// written by tbl_find_or_add since the last reset are cleared, so a short
// stream's reset is short and pages never written stay untouched.
void tbl_reset(chunk_table& t);

// Hit: sets found_pos to the stored position and found_dist to the true
// distance from `at`, changes no entry, returns true. Miss: records key at
// `at` and returns false.
bool tbl_find_or_add(chunk_table& t, const chunk_key& key, uint64_t at);

// After a chunk of len bytes, with `end` the true position after it: visits
// a share of the slots proportional to len (plus one) and tombstones
// entries whose true distance from `end` is cfg_decwinsize or more. A long
// share is deferred and applied slot by slot when a call reads the slot;
// the outcome of every call is the same as with every visit made at once.
void tbl_sweep(chunk_table& t, uint32_t len, uint64_t end);

// Applies every deferred visit, so that the slots read as if each sweep
// had visited them at once.
void tbl_settle(chunk_table& t);

inline uint32_t tbl_home(const chunk_table& t, const chunk_key& key) {
  uint32_t w = key.b[0] | (uint32_t(key.b[1]) << 8) | (uint32_t(key.b[2]) << 16) | (uint32_t(key.b[3]) << 24);
  return w % t.cfg_tblsize;
}

// Starts loading the first slots a call for key will read (and, on a miss,
// write), so that calls for a batch of keys overlap their cache misses.
// Forced inline: GCC 12 takes an out-of-line function that only prefetches
// for one without effects and drops every call to it.
[[gnu::always_inline]] inline void tbl_prefetch(const chunk_table& t, const chunk_key& key) {
  const uint32_t h = tbl_home(t, key);
  const char* p = reinterpret_cast<const char*>(t.htbl + h);
  __builtin_prefetch(p, 1);
  __builtin_prefetch(p + 2 * sizeof(table_slot), 1);
  if (t.wrapped) __builtin_prefetch(t.wrap + h / 4, 1);
}

}  // namespace dupcut
