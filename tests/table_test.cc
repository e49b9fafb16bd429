// Chunk table: lookup, move-to-front insertion and the tombstone sweep, on
// small hand-built tables whose slot contents the tests arrange directly.
#include <gtest/gtest.h>

#include <cstring>
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
  std::vector<table_slot> slots;
  chunk_table t{};
  std::vector<std::string> names;
  explicit table(uint32_t n, uint32_t decwin = 1u << 20) : slots(n) {
    t.cfg_tblsize = n;
    t.cfg_decwinsize = decwin;
    t.htbl = slots.data();
  }
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
  const std::vector<table_slot> before = tb.slots;
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
  // Empty, tombstone, distance 1000, 999, 0 (same position, after a wrap),
  // and a position ahead of the sweep position.
  const uint32_t tags[] = {0, 1, 4000 + 2, 4001 + 2, 5000 + 2, 6000 + 2};
  const uint32_t want[] = {0, 1, 1, 4001 + 2, 1, 1};
  table tb(6, 1000);
  for (int i = 0; i < 6; i++) tb.slots[i] = {tags[i], mk(0, i)};
  for (int i = 0; i < 6; i++) tbl_sweep(tb.t, 0, 5000);
  for (int i = 0; i < 6; i++) {
    EXPECT_EQ(tb.slots[i].tag, want[i]) << i;
    EXPECT_EQ(tb.slots[i].key.b[4], i);  // keys stay behind tombstones
  }
  EXPECT_EQ(tb.t.sweep_cur, 0u);
}
