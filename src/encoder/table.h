// The encoder's chunk table: open addressing over cfg_tblsize slots with a
// 32-slot probe window from each key's home slot, move-to-front insertion
// and tombstones for entries that fell out of the decoder's reach.
#pragma once

#include <cstdint>

#include "driver/codec_state.h"

namespace dupcut {

// Hit: sets found_pos to the stored position, changes nothing, returns
// true. Miss: records key at pos and returns false.
bool tbl_find_or_add(chunk_table& t, const chunk_key& key, uint32_t pos);

// After a chunk of len bytes, with pos the position after it: visits a
// share of the slots proportional to len (plus one) and tombstones entries
// at distance cfg_decwinsize or more.
void tbl_sweep(chunk_table& t, uint32_t len, uint32_t pos);

inline uint32_t tbl_home(const chunk_table& t, const chunk_key& key) {
  uint32_t w = key.b[0] | (uint32_t(key.b[1]) << 8) | (uint32_t(key.b[2]) << 16) | (uint32_t(key.b[3]) << 24);
  return w % t.cfg_tblsize;
}

// Starts loading the first slots a call for key will read (and, on a miss,
// write), so that calls for a batch of keys overlap their cache misses.
inline void tbl_prefetch(const chunk_table& t, const chunk_key& key) {
  const char* p = reinterpret_cast<const char*>(t.htbl + tbl_home(t, key));
  __builtin_prefetch(p, 1);
  __builtin_prefetch(p + 2 * sizeof(table_slot), 1);
}

}  // namespace dupcut
