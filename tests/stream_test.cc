// Position space, header bytes and the escape rule.
#include <gtest/gtest.h>

#include <vector>

#include "stream/stream.h"

using namespace dupcut;

TEST(Positions, WrapSkipsTopValues) {
  EXPECT_EQ(pos_advance(0xFFFEFFF0u, 16), 0u);
  EXPECT_EQ(pos_advance(0xFFFEFFF0u, 32), 0x10u);
  EXPECT_EQ(pos_advance(0xFFFEFFF0u, 15), 0xFFFEFFFFu);
  EXPECT_EQ(pos_advance(100, 65535), 65635u);
  EXPECT_EQ(pos_distance(0x100u, 0xFFFEFF00u), 0x200u);
  EXPECT_EQ(pos_distance(350, 170), 180u);
  EXPECT_EQ(pos_distance(0, 0xFFFEFFFFu), 1u);
  for (uint32_t p : {0u, 12345u, 0xFFFEFFFFu}) EXPECT_EQ(pos_distance(p, p), 0xFFFF0000u) << p;

  // expected_pos is a plain sum: it may leave the position space.
  match_track t;
  t.match_src = 0xFFFEFFF0u;
  t.chunk_done(16);
  EXPECT_EQ(t.expected_pos, 0xFFFF0000u);
}

TEST(Positions, AdvanceAndDistanceAgree) {
  uint64_t x = 0x2545F4914F6CDD1Dull;
  auto next = [&] {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    return x;
  };
  for (int i = 0; i < 200000; i++) {
    uint64_t r = next();
    // Half the samples sit within reach of the end of the position space.
    uint32_t p = (i & 1) ? uint32_t(r % pos_limit) : pos_limit - 1 - uint32_t(r % 70000);
    uint32_t n = 1 + uint32_t((r >> 40) % 65535);
    uint32_t q = pos_advance(p, n);
    ASSERT_LT(q, pos_limit) << p << "+" << n;
    ASSERT_EQ(pos_distance(q, p), n) << p << "+" << n;
    ASSERT_EQ(pos_distance(p, q), pos_limit - n) << p << "+" << n;
  }
}

TEST(StreamHeader, Bytes) {
  const struct { uint32_t div, win_mib; std::vector<uint8_t> want; } cases[] = {
      {100, 1024, {0x64, 0x00, 0x00, 0x04}}, {100, 4095, {0x64, 0x00, 0xFF, 0x0F}},
      {300, 1, {0x2C, 0x01, 0x01, 0x00}},    {65535, 256, {0xFF, 0xFF, 0x00, 0x01}}};
  for (auto& c : cases) {
    uint8_t h[4];
    header_bytes(c.div, c.win_mib << 20, h);
    EXPECT_EQ(std::vector<uint8_t>(h, h + 4), c.want) << c.div << " " << c.win_mib;
    EXPECT_EQ(uint32_t(h[2] + 256 * h[3]) << 20, c.win_mib << 20);  // as the reader rebuilds it
  }
}

TEST(StreamRecords, NeedsEscape) {
  const struct { std::vector<uint8_t> rec; bool want; } cases[] = {
      {{0xEF, 0x4D, 0xB6, 0x00}, true},  {{0xEF, 0x4D, 0xB6, 0x01, 0x55}, true}, {{0xEF, 0x4D, 0xB6, 0x02}, true},
      {{0xEF, 0x4D, 0xB6, 0x03}, false}, {{0xEF, 0x4D, 0xB6, 0xFF}, false},      {{0xEF, 0x4D, 0xB7, 0x00}, false},
      {{0x00, 0xEF, 0x4D, 0xB6, 0x00}, false}, {{0xEF, 0x4D, 0xB6}, false}, {{0xEF}, false}, {{}, false}};
  for (auto& c : cases) EXPECT_EQ(needs_escape(c.rec.data(), uint32_t(c.rec.size())), c.want) << ::testing::PrintToString(c.rec);
}
