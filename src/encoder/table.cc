#include "encoder/table.h"

#include <cstring>

#include "stream/stream.h"

namespace dupcut {

namespace {

// Cheap fields first: length, byte 13, then the other 13 digest bytes.
inline bool key_equal(const chunk_key& a, const chunk_key& b) {
  return a.b[14] == b.b[14] && a.b[15] == b.b[15] && a.b[13] == b.b[13] && std::memcmp(a.b, b.b, 13) == 0;
}

inline uint32_t next_slot(const chunk_table& t, uint32_t i) { return i + 1 == t.cfg_tblsize ? 0 : i + 1; }

}  // namespace

bool tbl_find_or_add(chunk_table& t, const chunk_key& key, uint32_t pos) {
  const uint32_t h = tbl_home(t, key);
  const uint32_t e = uint32_t((uint64_t(h) + probe_window) % t.cfg_tblsize);
  table_slot* slots = t.htbl;

  if (h != e) {
    for (uint32_t i = h; i != e; i = next_slot(t, i)) {
      const table_slot& sl = slots[i];
      if (sl.tag == 0) break;
      if (sl.tag == 1) continue;
      if (key_equal(sl.key, key)) {
        t.found_pos = sl.tag - 2;
        return true;
      }
    }
  }

  // Collect the run: the occupied start of the probe window.
  hinf* rec = t.rec;
  uint32_t n = 0;
  if (h != e) {
    for (uint32_t i = h; i != e && slots[i].tag != 0; i = next_slot(t, i)) {
      rec[n].key = slots[i].key;
      rec[n].tag = slots[i].tag;
      rec[n].home = h;
      rec[n].slot = i;
      n++;
    }
  }

  uint32_t count = 1;
  if (n > 0) {
    // Victim: the last tombstone of the run, else its last entry.
    uint32_t v = 0, best = 0;
    for (uint32_t i = 0; i < n; i++) {
      uint32_t age = rec[i].tag == 1 ? 0xFFFFFFFFu
                                     : uint32_t((uint64_t(rec[i].slot) + t.cfg_tblsize - rec[i].home) % t.cfg_tblsize);
      if (age >= best) {
        best = age;
        v = i;
      }
    }
    // Records in front of the victim shift one slot away from home; the
    // victim takes the run's last slot (then shifts past it too).
    uint32_t last = rec[n - 1].slot;
    for (uint32_t i = n - 1; i > v; i--) rec[i].slot = rec[i - 1].slot;
    rec[v].slot = last;
    for (uint32_t i = 0; i < n; i++) rec[i].slot = next_slot(t, rec[i].slot);
    if (n == probe_window) {
      count = n;
      rec[v] = hinf{key, pos + 2, h, h};
    } else {
      rec[n] = hinf{key, pos + 2, h, h};
      count = n + 1;
    }
  } else {
    rec[0] = hinf{key, pos + 2, h, h};
  }

  for (uint32_t i = 0; i < count; i++) {
    table_slot& sl = slots[rec[i].slot];
    sl.tag = rec[i].tag;
    sl.key = rec[i].key;
  }
  return false;
}

void tbl_sweep(chunk_table& t, uint32_t len, uint32_t pos) {
  const uint64_t k = uint64_t(t.cfg_tblsize) * len / (uint64_t(pos_limit) - t.cfg_decwinsize);
  table_slot* slots = t.htbl;
  uint32_t cur = t.sweep_cur;
  for (uint64_t i = 0; i <= k; i++) {
    table_slot& sl = slots[cur];
    if (sl.tag >= 2 && pos_distance(pos, sl.tag - 2) >= t.cfg_decwinsize) sl.tag = 1;
    cur = next_slot(t, cur);
  }
  t.sweep_cur = cur;
}

}  // namespace dupcut
