// Chunk table: lookup, move-to-front insertion and the tombstone sweep, on
// small hand-built tables whose slot contents the tests arrange directly.
#include <gtest/gtest.h>

#include <cstring>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "encoder/table.h"

using namespace dupcut;

namespace {

// Bytes 0..3 choose the home slot, bytes 4..7 make the key distinct.
chunk_key mk(uint32_t home, uint32_t id, uint16_t len = 100) {
  chunk_key k{};
  std::memcpy(k.b, &home, 4);  // little-endian host
  std::memcpy(k.b + 4, &id, 4);
  k.b[13] = 0x5A;
  k.b[14] = len & 0xFF;
  k.b[15] = len >> 8;
  return k;
}

// Runs are written as labels, "T..." a tombstone; a label's index is its key
// id, ten times it its position.
struct table {
  chunk_table t{};
  std::span<table_slot> slots;
  std::vector<std::string> names;
  explicit table(uint32_t n, uint32_t decwin = 1u << 20) {
    EXPECT_TRUE(tbl_open(t, n, decwin));
    slots = {t.htbl, n};
  }
  ~table() { tbl_close(t); }
  table(const table&) = delete;
  uint32_t id(const std::string& s) {
    for (size_t i = 0; i < names.size(); i++)
      if (names[i] == s) return uint32_t(i);
    names.push_back(s);
    return uint32_t(names.size() - 1);
  }
  bool add(uint32_t h, const std::string& label) { return tbl_find_or_add(t, mk(h, id(label)), id(label) * 10); }
  table_slot& at(uint32_t i) { return slots[i % slots.size()]; }
  void place(uint32_t h, const std::string& run) {
    std::istringstream in(run);
    uint32_t i = h;
    for (std::string w; in >> w; i++) at(i) = {w[0] == 'T' ? 1 : id(w) * 10 + 2, mk(h, id(w))};
  }
  std::string read(uint32_t h, uint32_t count = probe_window) {
    std::string r;
    for (uint32_t i = h; i < h + count && at(i).tag != 0; i++) {
      uint32_t n;
      std::memcpy(&n, at(i).key.b + 4, 4);
      EXPECT_TRUE(at(i).tag == 1 || at(i).tag == n * 10 + 2) << names[n];
      r.append(r.empty() ? "" : " ").append(names[n]);
    }
    return r;
  }
};

std::string seq(int from, int to, int tomb = -1) {
  std::string r;
  for (int i = from; i <= to; i++) r.append(i == from ? "" : " ").append(i == tomb ? "T" : "E").append(std::to_string(i));
  return r;
}

}  // namespace

TEST(Table, KeysDifferingInOneByteAreNotHits) {
  // 128 slots: bytes 1..3 and bit 7 of byte 0 leave the home slot alone.
  for (int byte = 0; byte < 16; byte++) {
    table tb(128);
    const chunk_key k = mk(9, 1);
    ASSERT_FALSE(tbl_find_or_add(tb.t, k, 10));
    chunk_key v = k;
    v.b[byte] ^= byte == 0 ? 0x80 : 0x01;
    tb.t.found_pos = 3;
    EXPECT_FALSE(tbl_find_or_add(tb.t, v, 20)) << "byte " << byte;
    EXPECT_EQ(tb.t.found_pos, 3u);
    EXPECT_TRUE(tbl_find_or_add(tb.t, k, 30)) << "byte " << byte;
    EXPECT_EQ(tb.t.found_pos, 10u);
  }
}

TEST(Table, HitChangesNothingAndSkipsTombstonesButNotEmptySlots) {
  table tb(64);
  tb.place(60, "T1 A T2 B C");  // wraps past slot 63
  const std::vector<table_slot> before(tb.slots.begin(), tb.slots.end());
  EXPECT_TRUE(tbl_find_or_add(tb.t, mk(60, tb.id("C")), 999));
  EXPECT_EQ(tb.t.found_pos, tb.id("C") * 10);
  EXPECT_EQ(std::memcmp(before.data(), tb.slots.data(), 64 * sizeof(table_slot)), 0);
  EXPECT_FALSE(tb.add(60, "T1"));  // a tombstoned key is gone
  tb.place(20, "D X E");
  tb.slots[21].tag = 0;
  tb.t.found_pos = 5;
  EXPECT_FALSE(tb.add(20, "E"));  // behind an empty slot: out of reach
  EXPECT_EQ(tb.t.found_pos, 5u);
}

TEST(Table, InsertionArrangements) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "N"},
      {"A B C", "N A B C"},
      {"A T1 B T2 C", "N A T1 B C T2"},
      {seq(0, 31), std::string("N ").append(seq(0, 30))},
      {seq(0, 31, 4), std::string("N ").append(seq(0, 3)).append(" ").append(seq(5, 31))},
  };
  // From slot 997 of 1000 the window wraps to slot 28. The empty run also
  // checks that a first insertion lands in the home slot and nowhere else.
  for (uint32_t h : {5u, 997u}) {
    for (const auto& [before, after] : cases) {
      table tb(1000);
      tb.place(h, before);
      tb.place(h + 32, "Z");  // just past the window
      tb.t.found_pos = 7;
      EXPECT_FALSE(tb.add(h, "N"));
      EXPECT_EQ(tb.t.found_pos, 7u);
      EXPECT_EQ(tb.read(h), after) << "home " << h;
      EXPECT_EQ(tb.read(h + 32, 1), "Z");
    }
  }
  table tb(100);
  tb.place(97, seq(0, 32));
  EXPECT_TRUE(tb.add(97, "E31"));  // slot 28, the last of the window
  EXPECT_FALSE(tb.add(97, "E32"));
}

TEST(Table, SmallTables) {
  // A size dividing 32 has an empty window: no hits, home slot overwritten.
  for (uint32_t n : {1u, 2u, 4u, 8u, 16u, 32u}) {
    table tb(n);
    EXPECT_FALSE(tb.add(7, "A"));
    EXPECT_FALSE(tb.add(7, "A")) << n;
    EXPECT_FALSE(tb.add(7, "B"));
    EXPECT_EQ(tb.read(7, 1), "B");
    int used = 0;
    for (auto& sl : tb.slots) used += sl.tag != 0;
    EXPECT_EQ(used, 1);
  }
  // 5 slots: a window of 32 mod 5 = 2 slots.
  table tb(5);
  tb.place(3, "A B C");  // slots 3, 4, 0
  EXPECT_TRUE(tb.add(3, "B"));
  EXPECT_FALSE(tb.add(3, "C"));
  table fresh(5);
  EXPECT_FALSE(fresh.add(3, "A"));
  EXPECT_EQ(fresh.read(3), "A");
}

TEST(Table, SweepVisitsKPlusOneSlotsAndWraps) {
  struct sc {
    uint32_t n, decwin, len, cur, want_cur;
  };
  const sc cases[] = {
      {1000, 0, 100, 10, 11},                 // k = 0: one slot
      {10, 0, 65535, 9, 0},                   // wraps to 0
      {100000, 0, 65535, 99999, 1},           // k = 1, across the wrap
      {100000, 0xFFF00000u, 65535, 0, 6667},  // k = 6666 needs 64 bits
  };
  for (const sc& c : cases) {
    table tb(c.n, c.decwin);
    for (auto& sl : tb.slots) sl.tag = 2;  // position 0
    tb.t.sweep_cur = c.cur;
    tbl_sweep(tb.t, c.len, 0x1000);
    EXPECT_EQ(tb.t.sweep_cur, c.want_cur) << c.n;
    uint32_t tomb = 0;
    for (auto& sl : tb.slots) tomb += sl.tag == 1;
    // A window of 0 tombstones every live slot visited.
    EXPECT_EQ(tomb, c.decwin == 0 ? (c.want_cur + c.n - c.cur) % c.n : 0u) << c.n;
  }
}

TEST(Table, SweepTombstonesAtWindowDistance) {
  // Empty, tombstone, distance 1000 and 999.
  const uint32_t tags[] = {0, 1, 4000 + 2, 4001 + 2};
  const uint32_t want[] = {0, 1, 1, 4001 + 2};
  table tb(4, 1000);
  for (int i = 0; i < 4; i++) tb.slots[i] = {tags[i], mk(0, i)};
  for (int i = 0; i < 4; i++) tbl_sweep(tb.t, 0, 5000);
  for (int i = 0; i < 4; i++) {
    EXPECT_EQ(tb.slots[i].tag, want[i]) << i;
    EXPECT_EQ(tb.slots[i].key.b[4], i);  // keys stay behind tombstones
  }
  EXPECT_EQ(tb.t.sweep_cur, 0u);
}

namespace {
constexpr uint64_t wrap = 0xFFFF0000u;
}

// The largest window leaves the sweep 960 KiB a pass. An entry visited just
// inside the window and next visited by a long chunk that starts its share
// at the entry's slot is then more than 0xFFFF0000 bytes old: its 32-bit
// distance reads 64525 bytes, yet it must be tombstoned; and a lookup after
// the wrap but before that visit must see its true distance.
TEST(Table, EntriesOlderThanThePositionSpaceAreOutOfReach) {
  const uint32_t win = 0xFFF00000u;
  const chunk_key k7 = mk(0, 7);
  for (bool lazy : {true, false}) {
    table tb(1000, win);
    if (!lazy) tb.t.lazy_min = ~0u;
    const uint64_t t0 = 1000;
    const chunk_key k = k7;
    ASSERT_FALSE(tbl_find_or_add(tb.t, k, t0));
    uint64_t end = t0 + win - 1;
    tbl_sweep(tb.t, 64, end);  // one visit: slot 0, just inside the window
    EXPECT_TRUE(tbl_find_or_add(tb.t, k, t0 + wrap + 5));
    EXPECT_EQ(tb.t.found_pos, t0);
    EXPECT_EQ(tb.t.found_dist, wrap + 5);
    // 15 chunks of 66 visits and one of 9 bring the cursor back to slot 0
    // in 982031 bytes; a 65535-byte chunk then visits it first.
    for (int i = 0; i < 15; i++) tbl_sweep(tb.t, 64879, end += 64879);
    tbl_sweep(tb.t, 8846, end += 8846);
    EXPECT_EQ(tb.t.sweep_cur, 0u);
    EXPECT_EQ(tb.slots[0].tag, t0 + 2);
    tbl_sweep(tb.t, 65535, end += 65535);
    ASSERT_EQ(end - t0, wrap + 64525);
    EXPECT_FALSE(tbl_find_or_add(tb.t, k, end)) << (lazy ? "lazy" : "eager");
    tbl_settle(tb.t);
    EXPECT_EQ(tb.slots[1].tag, 1u);  // moved behind the new entry
  }
  // Visited at the same 32-bit position one wrap later: distance 0xFFFF0000.
  table tb(5, 1000);
  ASSERT_FALSE(tbl_find_or_add(tb.t, mk(0, 1), 5000));
  tbl_sweep(tb.t, 0, 5000 + wrap);
  EXPECT_EQ(tb.slots[0].tag, 1u);
  // Never read again for four wraps, when its wrap count alone would place
  // it a few bytes back.
  table old(1000, win);
  ASSERT_FALSE(tbl_find_or_add(old.t, k7, 0));
  uint64_t end = 0;
  while (end < 4 * wrap + 1000000) tbl_sweep(old.t, 65535, end += 65535);
  EXPECT_FALSE(tbl_find_or_add(old.t, k7, end));
}

// An entry moved by an insertion after it fell out of reach, into a slot
// whose deferred visit came after that: still live until its new slot is
// visited again, as with every visit made at once.
TEST(Table, EntryMovedOutOfReachStaysUntilVisited) {
  const uint32_t win = 0xFFF00000u;
  for (bool lazy : {true, false}) {
    table tb(1000, win);
    if (!lazy) tb.t.lazy_min = ~0u;
    const chunk_key a = mk(100, 1);
    ASSERT_FALSE(tbl_find_or_add(tb.t, a, 10));
    tb.t.sweep_cur = 34;
    const uint64_t x = 10 + win - 1;
    tbl_sweep(tb.t, 65535, x);          // slots 34..100: a stays
    tbl_sweep(tb.t, 65535, x + 65535);  // slots 101..167
    ASSERT_FALSE(tbl_find_or_add(tb.t, mk(100, 2), x + 65535));
    EXPECT_TRUE(tbl_find_or_add(tb.t, a, x + 65535 + 64)) << (lazy ? "lazy" : "eager");
    EXPECT_GE(tb.t.found_dist, win);
  }
}

// Deferred sweeps against every visit made at once: random chunk lengths
// (long ones from zero runs among them), keys from a small pool so that hits
// and moves are common, windows near the largest, across two wraps.
TEST(Table, DeferredSweepMatchesEagerSweep) {
  uint64_t seed = 12345;
  auto rnd = [&](uint64_t n) {
    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
    return (seed >> 33) % n;
  };
  const uint32_t wins[] = {0xFFF00000u, 0xFF000000u, 0xF0000000u, 1u << 30};
  for (int round = 0; round < 8; round++) {
    const uint32_t n = 200 + uint32_t(rnd(3000)), pool = n / 2 + uint32_t(rnd(n));
    const uint32_t win = wins[round % 4];
    table lazy(n, win), eager(n, win);
    eager.t.lazy_min = ~0u;
    if (round & 1) lazy.t.hist_cap = 3 + uint32_t(rnd(5));  // a ring that overflows
    uint64_t at = round < 4 ? 0 : wrap - 50'000'000;
    int steps = 0;
    while (at < 2 * wrap + 100'000'000) {
      const uint32_t len = rnd(3) ? 64 + uint32_t(rnd(200)) : 65535 - uint32_t(rnd(2) * rnd(65000));
      const uint32_t j = uint32_t(rnd(pool));
      const chunk_key k = mk(j * 2654435761u % n, j);
      const bool h1 = tbl_find_or_add(lazy.t, k, at), h2 = tbl_find_or_add(eager.t, k, at);
      ASSERT_EQ(h1, h2) << "round " << round << " step " << steps;
      if (h1) {
        ASSERT_EQ(lazy.t.found_pos, eager.t.found_pos);
        ASSERT_EQ(lazy.t.found_dist, eager.t.found_dist);
      }
      at += len;
      tbl_sweep(lazy.t, len, at);
      tbl_sweep(eager.t, len, at);
      // Leap ahead now and then, as long runs of unswept data would.
      if (rnd(5000) == 0) at += rnd(win);
      if (++steps % 20000 == 0 || at >= 2 * wrap + 100'000'000) {
        tbl_settle(lazy.t);
        ASSERT_EQ(std::memcmp(lazy.t.htbl, eager.t.htbl, n * sizeof(table_slot)), 0) << "round " << round;
        ASSERT_EQ(std::memcmp(lazy.t.wrap, eager.t.wrap, (n + 3) / 4), 0) << "round " << round;
      }
    }
  }
}
