// The decoder: hand-built streams with every record kind and the damaged
// ones, the ring window's wrap, and round trips through the real encoder.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "util.h"

using namespace tu;

namespace {

bytes rep(uint8_t b, size_t n) { return bytes(n, b); }

bytes match(uint32_t d) {
  return {0xEF, 0x4D, 0xB6, 0x00, uint8_t(d), uint8_t(d >> 8), uint8_t(d >> 16), uint8_t(d >> 24)};
}
const bytes cont = {0xEF, 0x4D, 0xB6, 0x02}, esc = {0xEF, 0x4D, 0xB6, 0x01};

// With divisor 1 every chunk but the last is exactly 64 bytes.
const bytes X = rep(0x58, 64), A = rep(0x41, 64), B = rep(0x42, 64), Z = {0x41, 0x42, 0x43};
const bytes Y = cat({{0xEF, 0x4D, 0xB6, 0x00}, rep(0x59, 60)});
const bytes h1 = {1, 0, 1, 0};  // divisor 1, 1 MiB window

struct result {
  bytes out;
  uint64_t total, count;
  const char* fail;
  const char* damage;
  bool allocated;
};

result as_result(const run& r) { return {r.out, r.cnt.total_bytes, r.cnt.chunk_count, r.fail, r.damage, r.allocated}; }

// Input and output both in pieces of `piece` bytes (the output at most 64
// KiB); log_order: log2 of the span route's chunk log, 0 for its default.
pump_opts pieces_of(size_t piece) { return {.in_piece = piece, .out_piece = std::min<size_t>(piece, io_buf_size)}; }

result decode(const bytes& stream, size_t piece = io_buf_size, path route = path::byte, uint32_t log_order = 0) {
  return as_result(tu::decode(stream, {.route = route, .log_order = log_order, .io = pieces_of(piece)}));
}

result encode(const bytes& data, uint32_t div, uint32_t decmem_mib, size_t piece = io_buf_size,
              path route = path::byte) {
  return as_result(tu::encode(
      data, {.chunkdiv = div, .encmem = 1u << 20, .decwin = decmem_mib << 20, .route = route, .io = pieces_of(piece)}));
}

const size_t pieces[] = {1, 3, 7, io_buf_size};

TEST(Decode, ByteExactStream) {
  const bytes data = cat({X, A, B, X, A, Y, Z});
  const bytes stream = cat({{1, 0, 0, 4}, X, A, B, match(0xC0), cont, esc, Y, Z});
  ASSERT_EQ(data.size(), 387u);
  ASSERT_EQ(stream.size(), 279u);
  EXPECT_EQ(encode(data, 1, 1024).out, stream);
  for (size_t piece : {1, 2, 3, 4, 5, 6, 7, 65536}) {
    result r = decode(stream, piece);
    EXPECT_EQ(r.out, data) << piece;
    EXPECT_EQ(r.total, 387u);
    EXPECT_EQ(r.count, 7u);
    EXPECT_EQ(r.fail, nullptr);
    EXPECT_EQ(r.damage, nullptr);
  }
}

TEST(Decode, RecordKinds) {
  const bytes Q = cat({{0xEF, 0x4D, 0xB6, 0x03}, rep(0x59, 60)});
  const uint32_t W = 1 << 20;
  struct {
    const char* name;
    bytes stream, want;
    uint64_t count;
    bool damaged = false;
  } cases[] = {
      {"header only", h1, {}, 1},
      {"held EF at the end", cat({h1, {0xEF}}), {0xEF}, 1},
      {"held EF 4D at the end", cat({h1, X, {0xEF, 0x4D}}), cat({X, {0xEF, 0x4D}}), 2},
      {"held EF 4D B6 at the end", cat({h1, X, {0xEF, 0x4D, 0xB6}}), cat({X, {0xEF, 0x4D, 0xB6}}), 2},
      {"four data bytes", cat({h1, {'a', 'b', 'c', 'd'}}), {'a', 'b', 'c', 'd'}, 1},
      {"four bytes EF 4D B6 03", cat({h1, {0xEF, 0x4D, 0xB6, 0x03}}), {0xEF, 0x4D, 0xB6, 0x03}, 1},
      {"record opening EF 4D B6 03", cat({h1, Q, X}), cat({Q, X}), 3},
      {"escaped match code", cat({h1, esc, Y, A}), cat({Y, A}), 3},
      {"escape, then four bytes", cat({h1, esc, {0xEF, 0x4D, 0xB6, 0x00}}), {0xEF, 0x4D, 0xB6, 0x00}, 1},
      {"escape alone", cat({h1, esc}), {}, 1},
      {"continue after a match", cat({h1, X, A, B, match(192), cont}), cat({X, A, B, X, A}), 6},
      {"continue before any match", cat({h1, X, A, cont}), cat({X, A, A}), 4},
      {"match of a matched chunk", cat({h1, X, A, match(128), match(64)}), cat({X, A, X, X}), 5},
      {"stream ends after a match", cat({h1, X, match(64)}), cat({X, X}), 3},
      // Out-of-range distances stay inside the window; the run is flagged.
      {"distance 0", cat({h1, X, A, match(0)}), cat({X, A, rep(0, 64)}), 4, true},
      {"distance past the window", cat({h1, X, A, match(W + 64)}), cat({X, A, A}), 4, true},
      {"distance 2^32 - 1", cat({h1, X, A, match(0xFFFFFFFF)}), cat({X, A, rep(0, 64)}), 4, true},
  };
  for (const auto& c : cases) {
    for (size_t piece : pieces) {
      SCOPED_TRACE(std::string(c.name) + ", piece " + std::to_string(piece));
      result r = decode(c.stream, piece);
      EXPECT_EQ(r.out, c.want);
      EXPECT_EQ(r.total, c.want.size());
      EXPECT_EQ(r.count, c.count);
      EXPECT_EQ(r.fail, nullptr);
      EXPECT_EQ(r.damage != nullptr, c.damaged);
    }
  }
}

TEST(Decode, TruncatedMatchCodeFailsAfterWritingClosedChunks) {
  for (int k = 0; k < 4; k++) {
    bytes stream = cat({h1, X, A, match(64)});
    stream.resize(stream.size() - 4 + k);
    for (size_t piece : {size_t(1), size_t(io_buf_size)}) {
      result r = decode(stream, piece);
      EXPECT_NE(r.fail, nullptr) << k;
      EXPECT_EQ(r.out, cat({X, A})) << k;
    }
  }
}

TEST(Decode, BadHeadersAreRefusedBeforeAllocating) {
  const bytes headers[] = {
      {}, {1}, {1, 0}, {1, 0, 1},  // short
      {0, 0, 1, 0},                // divisor 0
      {1, 0, 0, 0},                // window 0
      {1, 0, 0, 0x10},             // 4096 MiB
      {1, 0, 0xFF, 0xFF},
  };
  for (const auto& h : headers) {
    result r = decode(cat({h, X}));
    EXPECT_NE(r.fail, nullptr) << h.size();
    EXPECT_FALSE(r.allocated);
    EXPECT_TRUE(r.out.empty());
  }
}

TEST(Decode, MatchSourceWrapsRoundTheWindow) {
  // A 300-byte ring: after five 64-byte chunks the fifth straddles its end.
  bytes plain;
  for (int i = 0; i < 5; i++) {
    bytes c = noise(64, i);
    c[0] = 0x10;  // never reads as a code
    plain.insert(plain.end(), c.begin(), c.end());
  }
  const bytes stream = cat({plain, match(64), match(299)});
  plain.insert(plain.end(), plain.begin() + 256, plain.begin() + 320);
  plain.insert(plain.end(), plain.begin() + 85, plain.begin() + 149);  // 299 back from 384
  for (size_t piece : {1, 7, 65536}) {
    run r = tu::decode(stream, {.decwin = 300, .header = false, .io = pieces_of(piece)});
    EXPECT_EQ(r.out, plain) << piece;
    EXPECT_EQ(r.cnt.total_bytes, 448u);
    EXPECT_EQ(r.cnt.chunk_count, 8u);
  }
}

TEST(CopySource, ValidDistancesLandExactlyBack) {
  const uint32_t W = 0xFFF00000u;  // 4095 MiB: W + win_pos overflows 32 bits
  rng r{7};
  for (int i = 0; i < 20000; i++) {
    uint32_t pos = 0x100001 + uint32_t(r.next() % (W - 0x100001));
    uint32_t d = i < 3 ? (i == 0 ? 1 : i == 1 ? W - 1 : pos) : 1 + uint32_t(r.next() % (W - 1));
    ASSERT_EQ(copy_source(pos, W, d), (uint64_t(pos) + W - d) % W) << pos << " " << d;
  }
  EXPECT_EQ(copy_source(W - 1, W, W - 1), 0u);
}

TEST(CopySource, OtherDistancesKeepTheWrappingFormula) {
  for (uint32_t W : {3u << 20, 0xFFF00000u})  // 3 MiB does not divide 2^32
    for (uint32_t pos : {0u, 1u, W / 2, W - 1})
      for (uint32_t d : {0u, W, W + 1, 0x80000000u, 0xFFFFFFFFu, 0xFFFFFFFFu - W})
        if (d == 0 || d >= W) {
          EXPECT_EQ(copy_source(pos, W, d), uint32_t(W + pos - d) % W) << W << " " << pos << " " << d;
        }
}

bytes sample(int kind, size_t n, uint64_t seed) {
  rng r{seed};
  bytes v;
  switch (kind) {
    case 0:  // random
      return noise(n, seed);
    case 1: {  // a block repeated with small edits
      const bytes block = noise(5000, seed);
      while (v.size() < n) {
        v.insert(v.end(), block.begin(), block.end());
        for (int k = 0; k < 3; k++) v[v.size() - 1 - r.next() % block.size()] ^= 0x5A;
      }
      break;
    }
    case 2:  // zeros: max-length chunks that match each other
      v.assign(n, 0);
      break;
    default: {  // escape markers at every 64th byte and scattered between, half repeated
      bytes half = noise((n + 1) / 2, seed);
      for (size_t i = 0; i + 4 <= half.size(); i += (i % 64 == 0) ? 1 + r.next() % 63 : 64 - i % 64) {
        half[i] = 0xEF, half[i + 1] = 0x4D, half[i + 2] = 0xB6, half[i + 3] = uint8_t(r.next() % 5);
      }
      v = cat({half, half});
    }
  }
  v.resize(n);
  return v;
}

// Returns the encoded size.
size_t round_trip(const bytes& data, uint32_t div, uint32_t decmem, size_t piece) {
  result e = encode(data, div, decmem, piece);
  result d = decode(e.out, piece);
  EXPECT_TRUE(d.out == data);
  EXPECT_EQ(d.total, data.size());
  EXPECT_EQ(e.total, data.size());
  EXPECT_EQ(d.count, e.count);
  EXPECT_EQ(d.fail, nullptr);
  EXPECT_EQ(d.damage, nullptr);  // an encoder's stream never looks damaged
  return e.out.size();
}

TEST(RoundTrip, DivisorsKindsAndSizes) {
  for (uint32_t div : {1, 7, 100, 300, 65535})
    for (int kind = 0; kind < 4; kind++)
      for (size_t n : {0, 1, 2, 3, 4, 5, 65536, 131072}) {
        SCOPED_TRACE("div " + std::to_string(div) + " kind " + std::to_string(kind) + " size " + std::to_string(n));
        round_trip(sample(kind, n, n * 31 + kind), div, 1, n < 8 ? 1 : 4093);
      }
}

TEST(RoundTrip, RepeatsBeyondASmallWindow) {
  // R comes back 1.2 MiB later, beyond a 1 MiB window; T just 200 KiB later.
  const bytes R = noise(600 << 10, 1), T = noise(200 << 10, 3);
  const bytes data = cat({R, noise(600 << 10, 2), R, T, T});
  for (uint32_t div : {1, 100}) {
    SCOPED_TRACE(div);
    EXPECT_LT(round_trip(data, div, 1, io_buf_size), data.size() - (150 << 10));
  }
}

// The span route must be the byte route exactly: same stream, same data,
// same counters and the same verdict on damaged streams, however the input
// and output buffers are cut.
TEST(Paths, SpanRouteMatchesByteRoute) {
  rng r{77};
  for (path route : {path::span, path::simd})
    for (int kind = 0; kind < 4; kind++)
      for (uint32_t div : {1, 100})
        for (size_t piece : {size_t(1), size_t(7), size_t(4093), size_t(io_buf_size)}) {
          SCOPED_TRACE("kind " + std::to_string(kind) + " div " + std::to_string(div) + " piece " +
                       std::to_string(piece) + (route == path::simd ? " simd" : ""));
          const bytes data = sample(kind, piece == 1 ? 20000 : 300000, kind * 10 + div);
          result e0 = encode(data, div, 1, piece, path::byte), e1 = encode(data, div, 1, piece, route);
          ASSERT_TRUE(e0.out == e1.out);
          EXPECT_EQ(e0.count, e1.count);
          bytes damaged = e0.out;
          for (int k = 0; k < 8; k++) damaged[4 + r.next() % (damaged.size() - 4)] ^= uint8_t(1 + r.next() % 255);
          for (const bytes* st : {&e0.out, &damaged}) {
            result d0 = decode(*st, piece, path::byte), d1 = decode(*st, piece, route),
                   d2 = decode(*st, piece, route, 3);
            EXPECT_TRUE(d0.out == d1.out);
            EXPECT_EQ(d0.total, d1.total);
            EXPECT_EQ(d0.count, d1.count);
            EXPECT_EQ(d0.fail, d1.fail);
            EXPECT_EQ(d0.damage, d1.damage);
            EXPECT_TRUE(d0.out == d2.out);
            EXPECT_EQ(d0.count, d2.count);
            EXPECT_EQ(d0.damage, d2.damage);
          }
        }
}

// Workers cut and digest the stages ahead while one is coded: still the
// byte route's stream at every thread count, for inputs that end on a
// stage's end or just past it, chunks across stages, runs of the longest
// chunks, batches full of the shortest, tiny inputs, and a codec abandoned
// mid-stream and rewound.
TEST(Paths, WorkersMatchByteRoute) {
  const size_t st = stage_size;
  struct tc {
    int kind;
    uint32_t div;
    size_t n;
  };
  for (const tc& c : {tc{0, 100, 3 * st}, tc{0, 100, 3 * st + 12345}, tc{2, 100, 2 * st}, tc{2, 100, 2 * st + 1},
                      tc{1, 1, 2 * st + st / 2}, tc{3, 7, st - 1}, tc{0, 100, 0}, tc{0, 100, 1}, tc{3, 1, 100}}) {
    SCOPED_TRACE("kind " + std::to_string(c.kind) + " div " + std::to_string(c.div) + " size " + std::to_string(c.n));
    const bytes data = sample(c.kind, c.n, c.n + 1);
    const run ref = tu::encode(data, {.chunkdiv = c.div, .encmem = 1u << 20, .route = path::byte, .io = {}});
    for (uint32_t threads : {1, 2, 3, 4})
      for (size_t piece : {size_t(4093), size_t(io_buf_size)}) {
        const run r = tu::encode(data, {.chunkdiv = c.div, .encmem = 1u << 20, .threads = threads,
                                        .io = {.in_piece = piece, .out_piece = piece}});
        ASSERT_TRUE(r.out == ref.out) << threads << " threads, piece " << piece;
        EXPECT_EQ(r.cnt.chunk_count, ref.cnt.chunk_count);
        EXPECT_EQ(r.cnt.match_bytes, ref.cnt.match_bytes);
      }
  }
  // Left while workers may be cutting (at the first output, and a stage
  // on), then rewound, at one count and then another: the next stream is a
  // fresh codec's. Closed mid-stream last, so a worker that outlived its
  // part would touch freed memory.
  const bytes data = sample(0, 6 * st + 999, 5);
  const bytes want = tu::encode(data, {.chunkdiv = 100, .encmem = 1u << 20, .route = path::byte, .io = {}}).out;
  auto s = std::make_unique<codec_state>();
  s->threads = 2;
  dispatch_force(path::simd);
  ASSERT_TRUE(codec_open_encoder(*s, 100, 1u << 20, 1u << 20));
  for (uint32_t threads : {2, 4}) {
    codec_set_threads(*s, threads);
    for (size_t cap : {size_t(0), st + 5000}) {
      EXPECT_FALSE(pump(s->io, data.data(), data.size(), {.out_piece = 4096, .out_cap = cap}).finished);
      codec_rewind(*s);
    }
    EXPECT_TRUE(pump(s->io, data.data(), data.size()).out == want) << threads << " threads";
    codec_rewind(*s);
  }
  pump(s->io, data.data(), data.size(), {.out_cap = 2 * st});
  codec_close(*s);
}

}  // namespace

namespace {

// Codecs share nothing: encoders on both routes and a decoder, run
// interleaved one request at a time, each give what they give alone.
TEST(Codec, SeveralRunAtOnce) {
  const bytes data = sample(1, 200000, 5);
  const bytes stream = encode(data, 100, 1, io_buf_size, path::byte).out;
  struct side {
    std::unique_ptr<codec_state> s = std::make_unique<codec_state>();
    const bytes* in;
    bytes out;
    size_t fed = 0;
    uint8_t obuf[7];
    bool done = false;
  } sides[3];
  for (path route : {path::byte, path::span}) {
    side& e = sides[route == path::span];
    dispatch_force(route);
    ASSERT_TRUE(codec_open_encoder(*e.s, 100, 1u << 20, 1u << 20));
    e.in = &data;
  }
  codec_open_decoder(*sides[2].s);
  sides[2].in = &stream;
  for (side& x : sides) x.s->io.out_cur = x.s->io.out_start = x.obuf, x.s->io.out_end = x.obuf + 7;
  for (int live = 3; live;) {
    for (side& x : sides) {
      if (x.done) continue;
      codec_io& io = x.s->io;
      const int32_t r = codec_resume(*x.s);
      if (r == 1) {
        const size_t n = std::min<size_t>(7, x.in->size() - x.fed);
        io.in_eof = n == 0;
        io.in_cur = io.in_start = x.in->data() + x.fed;
        io.in_end = io.in_cur + n;
        x.fed += n;
        continue;
      }
      x.out.insert(x.out.end(), x.obuf, io.out_cur);
      io.out_cur = x.obuf;
      if (r == 0) x.done = true, live--, codec_close(*x.s);
    }
  }
  EXPECT_TRUE(sides[0].out == stream);
  EXPECT_TRUE(sides[1].out == stream);
  EXPECT_TRUE(sides[2].out == data);
}

}  // namespace

namespace {

// The threads that fault the table and the ring in change no byte, and a
// codec rewound or closed mid-stream, while they run or wait, stops them
// first (the sanitizer builds watch for strays and races). A rewound codec
// keeps nothing of the stream before: `later` holds the same chunks at
// other positions.
TEST(Helpers, SameBytesAndStopsMidStream) {
  const bytes data = sample(1, 6 << 20, 9), later = cat({noise(100000, 4), data});
  for (uint32_t win_mib : {4, 64}) {  // the ring's helper reaches the ring's end, or waits on the data
    SCOPED_TRACE(win_mib);
    const codec_cfg c{.chunkdiv = 100, .encmem = 64u << 20, .decwin = win_mib << 20, .io = {}};
    codec_cfg c2 = c;
    c2.threads = 2;
    const run ref[2] = {tu::encode(data, c), tu::encode(later, c)};
    EXPECT_TRUE(tu::encode(data, c2).out == ref[0].out);
    EXPECT_TRUE(tu::decode(ref[0].out, c2).out == data);
    for (bool decode : {false, true}) {
      auto s = std::make_unique<codec_state>();
      s->threads = 2;
      if (decode)
        codec_open_decoder(*s);
      else
        ASSERT_TRUE(codec_open_encoder(*s, c.chunkdiv, c.encmem, c.decwin));
      const bytes &first = decode ? ref[0].out : data, &second = decode ? ref[1].out : later;
      const pump_opts part{.out_cap = decode ? 3 << 20 : ref[0].out.size() / 4};  // the ring's helper starts at 2 MiB
      EXPECT_FALSE(pump(s->io, first.data(), first.size(), part).finished);
      codec_rewind(*s);
      EXPECT_TRUE(pump(s->io, second.data(), second.size()).out == (decode ? later : ref[1].out));
      codec_rewind(*s);
      pump(s->io, first.data(), first.size(), part);
      codec_close(*s);
    }
  }
}

}  // namespace
