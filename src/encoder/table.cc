#include "encoder/table.h"

#include <algorithm>
#include <cstring>

#include "core/alloc.h"
#include "stream/stream.h"

namespace dupcut {

namespace {

// Cheap fields first: length, byte 13, then the other 13 digest bytes.
inline bool key_equal(const chunk_key& a, const chunk_key& b) {
  return a.b[14] == b.b[14] && a.b[15] == b.b[15] && a.b[13] == b.b[13] && std::memcmp(a.b, b.b, 13) == 0;
}

inline uint32_t next_slot(const chunk_table& t, uint32_t i) { return i + 1 == t.cfg_tblsize ? 0 : i + 1; }

constexpr uint64_t P = pos_limit;
constexpr uint64_t far = ~uint64_t(0);
constexpr uint32_t hist_slots = 1u << 17;

inline uint32_t dirty_bytes(uint32_t slots) { return uint32_t((uint64_t(slots) + dirty_slots - 1) / dirty_slots); }

inline uint32_t wrap_get(const chunk_table& t, uint32_t i) { return (t.wrap[i >> 2] >> ((i & 3) * 2)) & 3; }

inline void wrap_set(chunk_table& t, uint32_t i, uint64_t at) {
  if (!t.wrapped) return;  // every count is 0 until then, as the memory is
  uint8_t& b = t.wrap[i >> 2];
  const unsigned sh = (i & 3) * 2;
  b = uint8_t((b & ~(3u << sh)) | ((uint32_t(at / P) & 3) << sh));
}

// True position of the entry in slot i, seen from `now`, the position the
// data has reached. A live entry is never three wraps old (see tbl_sweep),
// so its wrap count mod 4 places it. An entry that cannot be placed reads
// as far in the past.
inline uint64_t entry_pos(const chunk_table& t, uint32_t i, uint32_t tag, uint64_t now) {
  uint64_t at = tag - 2;
  if (!t.wrapped) return at;
  const uint64_t nw = now / P, back = (nw - wrap_get(t, i)) & 3;
  if (back > nw) return 0;
  at += (nw - back) * P;
  if (at > now) at = nw - back >= 4 ? at - 4 * P : 0;
  return at;
}

// True distance from `now` back to the entry; one placed after `now` (only
// a hand-built table has one) reads as infinitely far.
inline uint64_t entry_age(const chunk_table& t, uint32_t i, uint32_t tag, uint64_t now) {
  const uint64_t at = entry_pos(t, i, tag, now);
  return at <= now ? now - at : far;
}

// The data has reached true position `at`; past 0xFFFF0000 the wrap
// counts come into use.
inline void reach(chunk_table& t, uint64_t at) {
  if (at >= P) t.wrapped = 1;
  t.reached = at;
}

// One sweep visit of slot i, made when the data had reached `when`; the data
// has now reached `now`. A visit made before the entry's own position
// leaves it alone.
inline void visit(chunk_table& t, uint32_t i, uint64_t when, uint64_t now) {
  table_slot& sl = t.htbl[i];
  if (sl.tag < 2) return;
  const uint64_t at = entry_pos(t, i, sl.tag, now);
  if (when >= at && when - at >= t.cfg_decwinsize) sl.tag = 1;
}

inline const sweep_rec& hist_at(const chunk_table& t, uint32_t j) {
  uint32_t k = t.hist_head + j;
  return t.hist[k >= t.hist_cap ? k - t.hist_cap : k];
}

// Applies those visits of a deferred sweep that are still the last ones of
// their slots: the visits of the last cfg_tblsize.
void apply_rec(chunk_table& t, const sweep_rec& r, uint64_t now) {
  const uint64_t n = t.cfg_tblsize;
  uint64_t c = r.first;
  if (t.visits - c > n) c = t.visits - n;
  if (c >= r.end) return;
  uint32_t i = uint32_t((t.sweep_cur + n - (t.visits - c)) % n);
  for (; c < r.end; c++) {
    visit(t, i, r.at, now);
    i = next_slot(t, i);
  }
}

// Brings slot i up to date: if its last sweep visit is deferred, makes it.
// A visit made before the slot's entry was written cannot tombstone it
// (an entry is written with a deadline after every earlier visit), so only
// the last visit counts; earlier ones are covered by it, as distances grow.
inline void catch_up(chunk_table& t, uint32_t i, uint64_t now) {
  if (t.hist_n == 0) return;
  const uint64_t back = (uint64_t(t.sweep_cur) + t.cfg_tblsize - 1 - i) % t.cfg_tblsize;
  if (back >= t.visits) return;
  const uint64_t c = t.visits - 1 - back;
  if (c < hist_at(t, 0).first) return;
  uint32_t lo = 0, hi = t.hist_n;  // the last record starting at or before c
  while (hi - lo > 1) {
    const uint32_t mid = (lo + hi) / 2;
    (hist_at(t, mid).first <= c ? lo : hi) = mid;
  }
  const sweep_rec& r = hist_at(t, lo);
  if (c < r.end) visit(t, i, r.at, now);
}

}  // namespace

bool tbl_open(chunk_table& t, uint32_t slots, uint32_t decwinsize) {
  t = chunk_table{};
  t.cfg_tblsize = slots;
  t.cfg_decwinsize = decwinsize;
  t.hist_cap = hist_slots;
  // A deferred sweep covers lazy_min slots or more, so the ring holds a
  // whole pass of them and never drops a visit that still counts.
  t.lazy_min = uint32_t((uint64_t(slots) + hist_slots - 3) / (hist_slots - 2));
  if (t.lazy_min < 32) t.lazy_min = 32;
  t.htbl = static_cast<table_slot*>(alloc_pages(uint64_t(sizeof(table_slot)) * slots));
  t.wrap = static_cast<uint8_t*>(alloc_pages((uint64_t(slots) + 3) / 4));
  t.hist = static_cast<sweep_rec*>(alloc_pages(uint64_t(sizeof(sweep_rec)) * hist_slots));
  t.dirty = static_cast<uint8_t*>(alloc_pages(dirty_bytes(slots)));
  if (!slots || !t.htbl || !t.wrap || !t.hist || !t.dirty) {
    tbl_close(t);
    return false;
  }
  return true;
}

void tbl_prefault(chunk_table& t) {
  // The wrap counts and the sweep's records are left alone: most runs
  // never touch them. A table under 8 MiB is in within milliseconds.
  const uint64_t bytes = uint64_t(sizeof(table_slot)) * t.cfg_tblsize;
  if (!t.fill && t.htbl && bytes >= (uint64_t(8) << 20)) t.fill = prefault_start(t.htbl, bytes, bytes);
}

void tbl_close(chunk_table& t) {
  prefault_stop(t.fill);
  free_pages(t.htbl, uint64_t(sizeof(table_slot)) * t.cfg_tblsize);
  free_pages(t.wrap, (uint64_t(t.cfg_tblsize) + 3) / 4);
  free_pages(t.hist, uint64_t(sizeof(sweep_rec)) * t.hist_cap);
  free_pages(t.dirty, dirty_bytes(t.cfg_tblsize));
  t.dirty = nullptr;
  t.htbl = nullptr;
  t.wrap = nullptr;
  t.hist = nullptr;
}

void tbl_reset(chunk_table& t) {
  // Sweeps only tombstone entries, so the slots of unmarked groups are
  // still zero.
  const uint32_t groups = dirty_bytes(t.cfg_tblsize);
  for (uint32_t g = 0; g < groups;) {
    if (!t.dirty[g]) {
      g++;
      continue;
    }
    uint32_t e = g + 1;
    while (e < groups && t.dirty[e]) e++;
    const uint64_t a = uint64_t(g) * dirty_slots, b = std::min(uint64_t(e) * dirty_slots, uint64_t(t.cfg_tblsize));
    std::memset(static_cast<void*>(t.htbl + a), 0, size_t(sizeof(table_slot) * (b - a)));
    std::memset(t.dirty + g, 0, e - g);
    g = e;
  }
  if (t.wrapped) std::memset(t.wrap, 0, (size_t(t.cfg_tblsize) + 3) / 4);
  t.wrapped = 0;
  t.found_pos = 0;
  t.found_dist = 0;
  t.sweep_cur = 0;
  t.visits = 0;
  t.reached = 0;
  t.hist_head = 0;
  t.hist_n = 0;
}

bool tbl_find_or_add(chunk_table& t, const chunk_key& key, uint64_t at) {
  reach(t, at);
  const uint32_t h = tbl_home(t, key);
  const uint32_t e = uint32_t((uint64_t(h) + probe_window) % t.cfg_tblsize);
  table_slot* slots = t.htbl;

  if (h != e) {
    for (uint32_t i = h; i != e; i = next_slot(t, i)) {
      const table_slot& sl = slots[i];
      if (sl.tag == 0) break;
      if (sl.tag == 1) continue;
      if (key_equal(sl.key, key)) {
        catch_up(t, i, at);
        if (sl.tag == 1) continue;
        t.found_pos = sl.tag - 2;
        t.found_dist = entry_age(t, i, sl.tag, at);
        return true;
      }
    }
  }

  // Collect the run: the occupied start of the probe window. An entry
  // already out of reach is given the latest position that is still out
  // of reach, which no hit can tell apart, so that no earlier visit of the
  // slot it moves to can count against it.
  hinf* rec = t.rec;
  uint64_t* rec_at = t.rec_at;
  uint32_t n = 0;
  if (h != e) {
    for (uint32_t i = h; i != e && slots[i].tag != 0; i = next_slot(t, i)) {
      catch_up(t, i, at);
      rec[n].key = slots[i].key;
      rec[n].tag = slots[i].tag;
      rec[n].home = h;
      rec[n].slot = i;
      if (rec[n].tag >= 2) {
        const uint64_t age = entry_age(t, i, rec[n].tag, at);
        if (age < t.cfg_decwinsize) {
          rec_at[n] = at - age;
        } else {
          rec_at[n] = at + 1 - t.cfg_decwinsize;
          rec[n].tag = uint32_t(rec_at[n] % P) + 2;
        }
      }
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
    const uint32_t put = n == probe_window ? v : n;
    rec[put] = hinf{key, uint32_t(at % P) + 2, h, h};
    rec_at[put] = at;
    count = n == probe_window ? n : n + 1;
  } else {
    rec[0] = hinf{key, uint32_t(at % P) + 2, h, h};
    rec_at[0] = at;
  }

  for (uint32_t i = 0; i < count; i++) {
    table_slot& sl = slots[rec[i].slot];
    sl.tag = rec[i].tag;
    sl.key = rec[i].key;
    t.dirty[rec[i].slot / dirty_slots] = 1;
    if (sl.tag >= 2) wrap_set(t, rec[i].slot, rec_at[i]);
  }
  return false;
}

void tbl_sweep(chunk_table& t, uint32_t len, uint64_t end) {
  reach(t, end);
  const uint64_t n = t.cfg_tblsize;
  const uint64_t k1 = n * len / (P - t.cfg_decwinsize) + 1;
  if (k1 < t.lazy_min) {
    uint32_t cur = t.sweep_cur;
    for (uint64_t i = 0; i < k1; i++) {
      visit(t, cur, end, end);
      cur = next_slot(t, cur);
    }
    t.sweep_cur = cur;
  } else {
    // Records wholly before the last pass hold no slot's last visit.
    while (t.hist_n && hist_at(t, 0).end + n <= t.visits) {
      t.hist_head = t.hist_head + 1 == t.hist_cap ? 0 : t.hist_head + 1;
      t.hist_n--;
    }
    if (t.hist_n == t.hist_cap) {
      apply_rec(t, hist_at(t, 0), end);
      t.hist_head = t.hist_head + 1 == t.hist_cap ? 0 : t.hist_head + 1;
      t.hist_n--;
    }
    uint32_t k = t.hist_head + t.hist_n;
    t.hist[k >= t.hist_cap ? k - t.hist_cap : k] = sweep_rec{t.visits, t.visits + k1, end};
    t.hist_n++;
    t.sweep_cur = uint32_t((t.sweep_cur + k1) % n);
  }
  t.visits += k1;
  // The cursor passes every slot within 0xFFFF0000 - cfg_decwinsize bytes
  // plus one chunk, so a live entry is at most that plus the window old
  // when visited. Applying every deferred visit once a wrap keeps entries
  // that were never read since from getting older than the wrap bits tell.
  if (end / P != (end - len) / P) tbl_settle(t);
}

void tbl_settle(chunk_table& t) {
  for (uint32_t j = 0; j < t.hist_n; j++) apply_rec(t, hist_at(t, j), t.reached);
  t.hist_head = 0;
  t.hist_n = 0;
}

}  // namespace dupcut
