// The encoder's byte route, run by the shared pump with input and output in
// pieces of chosen size: exact streams, the match and continue rules,
// escapes, and round trips.
#include <gtest/gtest.h>

#include <vector>

#include "util.h"

using namespace dupcut;
using tu::bytes;
using tu::noise;
using tu::rng;
using tu::run;

namespace {

struct enc_cfg {
  uint32_t chunkdiv = 1;  // every chunk but the last is 64 bytes
  uint32_t decwin = 1u << 30;
  uint32_t tblsize = 4096;
  size_t in_piece = 65536, out_piece = 65536;
  bool header = false;  // with the stream header
};

struct encoded {
  bytes out;
  uint64_t total, count, matched;
};

encoded encode(const bytes& in, const enc_cfg& c = {}) {
  const run r = tu::encode(in, {.chunkdiv = c.chunkdiv, .encmem = c.tblsize * 20, .decwin = c.decwin,
                                .header = c.header, .route = path::byte,
                                .io = {.in_piece = c.in_piece, .out_piece = c.out_piece}});
  EXPECT_TRUE(r.finished);
  return {r.out, r.cnt.total_bytes, r.cnt.chunk_count, r.cnt.match_bytes};
}

encoded decode(const bytes& stream) {
  const run r = tu::decode(stream, {.route = path::byte, .io = {.in_piece = 4096}});
  EXPECT_EQ(r.fail, nullptr);
  EXPECT_EQ(r.damage, nullptr);
  return {r.out, r.cnt.total_bytes, r.cnt.chunk_count, 0};
}

// Stream pieces: a 64-byte block, or a control code.
struct tok {
  int blk;  // >= 0: literal block; -1 continue; -2 escape; -3 match
  uint32_t d = 0;
};
const tok cont{-1}, esc{-2};
tok match(uint32_t d) { return {-3, d}; }

// Chunks as the chunker cuts them; the last entry is the (maybe empty)
// final chunk.
std::vector<bytes> cut(const bytes& data, uint32_t div) {
  auto cs = std::make_unique<chunker>();
  chunker_init(*cs, div);
  std::vector<bytes> ch(1);
  for (uint8_t b : data) {
    ch.back().push_back(b);
    if (chunker_roll(*cs, b)) ch.emplace_back(), chunk_finish_len(*cs);
  }
  return ch;
}

bytes blk(int id) { return noise(64, 1000 + id); }

void add(bytes& v, const bytes& b) { v.insert(v.end(), b.begin(), b.end()); }

bytes render(const std::vector<tok>& ts) {
  bytes r;
  for (const tok& t : ts) {
    if (t.blk >= 0) {
      add(r, blk(t.blk));
      continue;
    }
    add(r, {0xEF, 0x4D, 0xB6, uint8_t(t.blk == -1 ? 2 : t.blk == -2 ? 1 : 0)});
    if (t.blk == -3) add(r, {uint8_t(t.d), uint8_t(t.d >> 8), uint8_t(t.d >> 16), uint8_t(t.d >> 24)});
  }
  return r;
}

}  // namespace

TEST(Encode, ByteExactStreamWithHeader) {
  bytes X(64, 0x58), A(64, 0x41), B(64, 0x42), Y(64, 0x59), Z{0x41, 0x42, 0x43}, in, want{1, 0, 0, 4};
  Y[0] = 0xEF, Y[1] = 0x4D, Y[2] = 0xB6, Y[3] = 0;
  for (const bytes* p : {&X, &A, &B, &X, &A, &Y, &Z}) add(in, *p);
  for (const bytes* p : {&X, &A, &B}) add(want, *p);
  add(want, {0xEF, 0x4D, 0xB6, 0x00, 0xC0, 0, 0, 0, 0xEF, 0x4D, 0xB6, 0x02, 0xEF, 0x4D, 0xB6, 0x01});
  add(want, Y);
  add(want, Z);
  ASSERT_EQ(want.size(), 279u);
  encoded e = encode(in, {.header = true});
  EXPECT_EQ(e.out, want);
  EXPECT_EQ(e.total, 387u);
  EXPECT_EQ(e.count, 7u);
}

TEST(Encode, MatchAndContinueRules) {
  struct mc {
    const char* what;
    uint32_t decwin;
    std::vector<int> in;
    std::vector<tok> out;
  };
  const uint32_t big = 1u << 30;
  const mc cases[] = {
      {"continue before any match (source = 0 + |C|)", big, {0, 1, 2, 1}, {{0}, {1}, {2}, cont}},
      {"match then continue", big, {0, 1, 2, 0, 1}, {{0}, {1}, {2}, match(192), cont}},
      {"table keeps the first position", big, {0, 1, 0, 0}, {{0}, {1}, match(128), match(192)}},
      {"continue after match+literal is F+L", big, {0, 1, 2, 0, 5, 1}, {{0}, {1}, {2}, match(192), {5}, cont}},
      {"...not the position after the literal", big, {0, 1, 2, 0, 5, 2},
       {{0}, {1}, {2}, match(192), {5}, match(192)}},
      {"distance window-1 matches", 193, {0, 1, 2, 0}, {{0}, {1}, {2}, match(192)}},
      {"distance window is literal", 192, {0, 1, 2, 0}, {{0}, {1}, {2}, {0}}},
      {"expected_pos too far back is literal", 200, {0, 1, 2, 3, 4, 1}, {{0}, {1}, {2}, {3}, {4}, {1}}},
      {"too-distant hit keeps match_src", 200, {0, 1, 2, 3, 2, 0, 3},
       {{0}, {1}, {2}, {3}, match(128), {0}, cont}},
  };
  for (const mc& c : cases) {
    bytes in;
    for (int id : c.in) add(in, blk(id));
    encoded e = encode(in, {.decwin = c.decwin});
    EXPECT_EQ(e.out, render(c.out)) << c.what;
    EXPECT_EQ(e.total, in.size()) << c.what;
    EXPECT_EQ(e.count, c.in.size() + 1) << c.what;  // plus the empty final chunk
    uint64_t codes = 0;
    for (const tok& t : c.out) codes += t.blk < 0;
    EXPECT_EQ(e.matched, 64 * codes) << c.what;
  }
}

TEST(Encode, VariableLengthChunksFollowExpectedPos) {
  // Real chunks of random data, reassembled as X A B A B Y Z.
  std::vector<bytes> ch = cut(noise(4000, 7), 100);
  ASSERT_GE(ch.size(), 5u);
  const bytes &X = ch[0], &A = ch[1], &B = ch[2];
  ASSERT_NE(X.size(), B.size());
  bytes Y = ch[3], Z{0x41, 0x42, 0x43}, in, want;
  Y[0] = 0xEF, Y[1] = 0x4D, Y[2] = 0xB6, Y[3] = 0;  // too early to move the boundary
  for (const bytes* p : std::initializer_list<const bytes*>{&X, &A, &B, &A, &B, &Y, &Z}) add(in, *p);
  for (const bytes* p : {&X, &A, &B}) add(want, *p);
  const uint32_t d = uint32_t(A.size() + B.size());
  add(want, {0xEF, 0x4D, 0xB6, 0, uint8_t(d), uint8_t(d >> 8), 0, 0, 0xEF, 0x4D, 0xB6, 2, 0xEF, 0x4D, 0xB6, 1});
  add(want, Y);
  add(want, Z);
  encoded e = encode(in, {.chunkdiv = 100});
  EXPECT_EQ(e.out, want);
  EXPECT_EQ(e.count, 7u);
}

TEST(Encode, EscapeOnlyForCodesAtRecordStart) {
  struct ec {
    bytes head;
    bool escaped;
  };
  const ec cases[] = {{{0xEF, 0x4D, 0xB6, 0x00}, true},  {{0xEF, 0x4D, 0xB6, 0x01}, true},
                      {{0xEF, 0x4D, 0xB6, 0x02}, true},  {{0xEF, 0x4D, 0xB6, 0x03}, false},
                      {{0xEF, 0x4D, 0xB6, 0xFF}, false}, {{0x00, 0xEF, 0x4D, 0xB6, 0x00}, false}};
  // Each as a full chunk, and as a final chunk of just those bytes.
  for (const ec& c : cases) {
    bytes in = blk(1), want;
    std::copy(c.head.begin(), c.head.end(), in.begin());
    if (c.escaped) add(want, {0xEF, 0x4D, 0xB6, 0x01});
    add(want, in);
    EXPECT_EQ(encode(in).out, want);
    bytes fin = c.escaped ? render({esc}) : bytes{};
    add(fin, c.head);
    EXPECT_EQ(encode(c.head).out, fin);
  }
  for (const bytes& tail : {bytes{0xEF}, bytes{0xEF, 0x4D}, bytes{0xEF, 0x4D, 0xB6}}) EXPECT_EQ(encode(tail).out, tail);
}

TEST(Encode, EmptyInputAndEmptyFinalChunk) {
  encoded e = encode({}, {.header = true});
  EXPECT_EQ(e.out, (bytes{1, 0, 0, 4}));
  EXPECT_EQ(e.count, 1u);
  EXPECT_EQ(e.total, 0u);
  bytes in = blk(1);
  add(in, blk(2));
  e = encode(in);  // ends exactly at a boundary
  EXPECT_EQ(e.out, in);
  EXPECT_EQ(e.count, 3u);
  EXPECT_EQ(e.total, 128u);
  e = encode(bytes(in.begin(), in.begin() + 100));
  EXPECT_EQ(e.count, 2u);
}

namespace {

// Fresh bytes mixed with copies from anywhere earlier, some beyond a 1 MiB
// window.
bytes repetitive(size_t n, uint64_t seed) {
  rng g{seed};
  bytes r;
  while (r.size() < n) {
    size_t len = 1 + g.next() % 3000;
    if (r.size() < 10000 || g.next() % 2) {
      add(r, noise(len, g.next()));
    } else {
      size_t from = g.next() % (r.size() - 1), m = std::min(len, r.size() - from);
      for (size_t i = 0; i < m; i++) r.push_back(r[from + i]);
    }
  }
  r.resize(n);
  return r;
}

}  // namespace

TEST(Encode, OutputIndependentOfBufferPieces) {
  bytes in = repetitive(200000, 3);
  const enc_cfg base{.chunkdiv = 16, .decwin = 1u << 20, .header = true};
  encoded ref = encode(in, base);
  EXPECT_LT(ref.out.size(), in.size() * 3 / 4);  // the repeats were found
  for (auto [ip, op] : {std::pair<size_t, size_t>{1, 1}, {7, 3}, {4096, 5}, {65536, 8}}) {
    enc_cfg c = base;
    c.in_piece = ip, c.out_piece = op;
    EXPECT_EQ(encode(in, c).out, ref.out) << ip << "/" << op;
  }
}

TEST(Encode, RoundTripThroughDecoder) {
  // Tiny tables overflow constantly; a large input exceeds the 1 MiB window.
  struct rc {
    size_t n;
    uint32_t div, tblsize;
  };
  for (const rc& c : {rc{300000, 16, 40}, rc{300000, 16, 5}, rc{300000, 8, 1}, rc{3000000, 50, 100000}}) {
    bytes in = repetitive(c.n, c.tblsize);
    encoded e = encode(in, {.chunkdiv = c.div, .decwin = 1u << 20, .tblsize = c.tblsize, .header = true});
    encoded d = decode(e.out);
    EXPECT_TRUE(d.out == in) << c.tblsize;
    EXPECT_EQ(e.total, in.size());
    EXPECT_EQ(d.total, e.total);
    EXPECT_EQ(d.count, e.count);
    EXPECT_EQ(e.count, cut(in, c.div).size());
  }
}
