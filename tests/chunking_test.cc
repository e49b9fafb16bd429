// Chunker and digest against references built here from first principles:
// a table-free CRC-32 and a loop-form MD5 compression.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "chunking/chunker.h"
#include "chunking/dispatch.h"
#include "util.h"

using namespace tu;

namespace {

uint8_t byte(rng& r) { return uint8_t(r.next() >> 56); }
std::vector<uint8_t> some(rng& r, size_t n) { return noise(n, r.next()); }

uint32_t crc32(const uint8_t* p, size_t n) {
  uint32_t c = 0xFFFFFFFFu;
  while (n--) {
    c ^= *p++;
    for (int k = 0; k < 8; k++) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
  }
  return ~c;
}

void md5_block(const uint8_t* blk, uint32_t r[4]) {
  static const int rot[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};
  const uint32_t iv[4] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u};
  uint32_t X[16];
  for (int i = 0; i < 16; i++) X[i] = blk[4 * i] | blk[4 * i + 1] << 8 | blk[4 * i + 2] << 16 | uint32_t(blk[4 * i + 3]) << 24;
  uint32_t a = iv[0], b = iv[1], c = iv[2], d = iv[3];
  for (int i = 0; i < 64; i++) {
    const int q = i / 16;
    uint32_t f = q == 0 ? (b & c) | (~b & d) : q == 1 ? (d & b) | (~d & c) : q == 2 ? b ^ c ^ d : c ^ (b | ~d);
    int g = q == 0 ? i : q == 1 ? (5 * i + 1) % 16 : q == 2 ? (3 * i + 5) % 16 : (7 * i) % 16;
    uint32_t k = uint32_t(std::floor(std::fabs(std::sin(i + 1.0)) * 4294967296.0));
    uint32_t t = d;
    d = c, c = b, b = b + std::rotl(a + f + k + X[g], rot[q][i % 4]), a = t;
  }
  r[0] = a + iv[0], r[1] = b + iv[1], r[2] = c + iv[2], r[3] = d + iv[3];
}

void xor_words(uint8_t* p, const uint32_t r[4]) {
  for (int i = 0; i < 16; i++) p[i] ^= uint8_t(r[i / 4] >> (8 * (i % 4)));
}

// The key built group by group: 63-byte groups XORed into the block,
// fill count in byte 63, each compression folded into bytes 0..15, and a
// final compression even for an empty chunk.
chunk_key ref_key(const std::vector<uint8_t>& v) {
  uint8_t blk[64] = {};
  size_t i = 0;
  do {
    size_t n = std::min<size_t>(63, v.size() - i);
    for (size_t k = 0; k < n; k++) blk[k] ^= v[i + k];
    blk[63] = uint8_t(n);
    i += n;
    uint32_t r[4];
    md5_block(blk, r);
    xor_words(blk, r);
  } while (i < v.size());
  chunk_key k;
  std::memcpy(k.b, blk, 14);
  k.b[14] = uint8_t(v.size()), k.b[15] = uint8_t(v.size() >> 8);
  return k;
}

std::unique_ptr<chunker> make_chunker(uint32_t div) {
  auto s = std::make_unique<chunker>();
  chunker_init(*s, div);
  return s;
}

std::vector<uint8_t> key_bytes(const chunk_key& k) { return {k.b, k.b + 16}; }

// Random stretches between zero runs long enough to hold whole 65535-byte chunks.
std::vector<uint8_t> mixed_data(uint64_t seed) {
  rng r{seed};
  std::vector<uint8_t> v;
  for (int seg = 0; seg < 3; seg++) {
    auto b = some(r, 40000 + r.next() % 20000);
    v.insert(v.end(), b.begin(), b.end());
    v.insert(v.end(), 140000 + r.next() % 1000, 0);
  }
  return v;
}

bool all_zero(const uint8_t* p, size_t n) { return std::all_of(p, p + n, [](uint8_t b) { return b == 0; }); }

struct chunk_rec { size_t start; uint32_t len; chunk_key key; };

// Chunks closed by a boundary; the tail stays open in s.
std::vector<chunk_rec> cut(chunker& s, const std::vector<uint8_t>& v) {
  std::vector<chunk_rec> out;
  size_t start = 0;
  for (size_t i = 0; i < v.size(); i++) {
    if (!chunker_feed(s, v[i])) continue;
    uint32_t len = s.chunk_len;
    chunk_finish(s);
    out.push_back({start, len, s.cur_key});
    start = i + 1;
  }
  return out;
}

}  // namespace

TEST(Chunker, TablesAndInitialState) {
  auto s = make_chunker(100);
  EXPECT_EQ((std::vector<uint32_t>{s->crc_table[0], s->crc_table[1], s->crc_table[0xFF]}),
            (std::vector<uint32_t>{0xD202EF8Du, 0xA505DF1Bu, 0xFF000000u}));
  EXPECT_EQ((std::vector<uint32_t>{s->drop_table[0], s->drop_table[1], s->drop_table[0xFF]}),
            (std::vector<uint32_t>{0x2554BAE8u, 0xA2F271ABu, 0x3DEE8CA6u}));
  // From a zero register one step yields the CRC of that byte; the drop
  // entry is what byte k contributes once 16 bytes have followed it.
  uint8_t w[17] = {};
  const uint32_t zeros16 = crc32(w, 16);
  for (uint32_t k = 0; k < 256; k++) {
    w[0] = uint8_t(k);
    ASSERT_EQ(s->crc_table[k], crc32(w, 1)) << k;
    ASSERT_EQ(s->drop_table[k], crc32(w, 17) ^ zeros16) << k;
  }
  EXPECT_EQ(crc32(reinterpret_cast<const uint8_t*>("123456789"), 9), 0xCBF43926u);

  const struct { uint32_t div, thr; } cases[] = {{1, 0xFFFFFFFFu}, {100, 0x028F5C28u}, {256, 0x00FFFFFFu}, {65535, 0x00010001u}};
  for (auto c : cases) {
    // Start from leftovers so that init has to clear them.
    std::memset(s->roll_history, 0xA5, sizeof s->roll_history);
    std::memset(s->digest_buf, 0xA5, sizeof s->digest_buf);
    s->chunk_len = s->byte_count = 77;
    chunker_init(*s, c.div);
    EXPECT_EQ(s->roll_threshold, c.thr) << c.div;
    EXPECT_EQ(s->roll_hash, 0xECBB4B55u);
    EXPECT_EQ(s->roll_window, 16u);
    EXPECT_EQ(s->chunk_len | s->byte_count, 0u);
    EXPECT_TRUE(all_zero(s->roll_history, 256) && all_zero(s->digest_buf, 64));
  }
}

TEST(Chunker, HashOfShortInputs) {
  const struct { const char* text; uint32_t crc; } cases[] = {{"0123456789abcdef", 0x68C4F033u}, {"123456789", 0xC14666DDu}};
  for (auto c : cases) {
    auto s = make_chunker(100);
    for (const char* p = c.text; *p; p++) chunker_feed(*s, uint8_t(*p));
    EXPECT_EQ(s->roll_hash, c.crc) << c.text;
  }
}

// Every byte of a long feed: hash against a direct CRC of the window, the
// boundary against its definition (the roll-only path must agree), and the
// history ring at sample points.
TEST(Chunker, HashHistoryAndBoundariesOnLongFeed) {
  const struct { uint32_t div, thr; } cases[] = {{1, 0xFFFFFFFFu}, {2, 0x7FFFFFFFu}, {100, 0x028F5C28u}, {65535, 0x00010001u}};
  const auto data = mixed_data(1);
  std::vector<uint8_t> buf(256, 0);  // bytes before the first count as zero
  buf.insert(buf.end(), data.begin(), data.end());
  for (auto c : cases) {
    auto s = make_chunker(c.div), roll = make_chunker(c.div);
    uint32_t len = 0, chunks = 0, at_min = 0, at_max = 0;
    for (size_t i = 0; i < data.size(); i++) {
      bool b = chunker_feed(*s, data[i]);
      len++;
      ASSERT_EQ(chunker_roll(*roll, data[i]), b) << "div " << c.div << " byte " << i;
      const uint8_t* end = &buf[256 + i + 1];
      uint32_t h = crc32(end - 16, 16);
      ASSERT_EQ(s->roll_hash, h) << "div " << c.div << " byte " << i;
      ASSERT_EQ(b, len >= 64 && (h < c.thr || len >= 65535)) << "div " << c.div << " byte " << i << " len " << len;
      for (uint32_t k = 1; i % 997 == 0 && k <= 256; k++) {
        ASSERT_EQ(s->roll_history[(s->byte_count - k) & 0xFF], end[-int(k)]) << i << " " << k;
      }
      if (b) {
        chunks++;
        at_min += len == 64;
        at_max += len == 65535;
        chunk_finish(*s);
        ASSERT_EQ(key_len(s->cur_key), len);
        ASSERT_EQ(chunk_finish_len(*roll), len);
        ASSERT_EQ(key_len(roll->cur_key), len);
        len = 0;
      }
    }
    // Both ends of the length range were actually exercised; divisor 1 cuts
    // nothing but minimum-length chunks, even inside zero runs.
    EXPECT_TRUE(c.div > 100 || at_min > 0) << c.div;
    EXPECT_TRUE(c.div != 1 || at_min == chunks) << at_min << " of " << chunks;
    EXPECT_TRUE(c.div < 2 || at_max >= 3) << c.div;
  }
}

TEST(Chunker, CopyAfterBoundaryEndsAtSameLength) {
  rng r{3};
  auto s = make_chunker(100);
  const auto data = some(r, 300000);
  const auto chunks = cut(*s, data);
  ASSERT_GT(chunks.size(), 1000u);
  while (!chunker_feed(*s, byte(r))) {
  }
  chunk_finish(*s);
  for (int n = 0; n < 400; n++) {
    const auto& c = chunks[r.next() % chunks.size()];
    for (uint32_t k = 0; k + 1 < c.len; k++) ASSERT_FALSE(chunker_feed(*s, data[c.start + k])) << c.start << " " << k;
    ASSERT_TRUE(chunker_feed(*s, data[c.start + c.len - 1])) << c.start;
    chunk_finish(*s);
    EXPECT_EQ(key_bytes(s->cur_key), key_bytes(c.key)) << c.start;
  }
}

TEST(Digest, KnownKeys) {
  std::vector<uint8_t> counting(100);
  for (int i = 0; i < 100; i++) counting[i] = uint8_t(i);
  const struct { std::vector<uint8_t> data; std::vector<uint8_t> key; } cases[] = {
      {{}, {0xac, 0x1d, 0x1f, 0x03, 0xd0, 0x8e, 0xa5, 0x6e, 0xb7, 0x67, 0xab, 0x1f, 0x91, 0x77, 0x00, 0x00}},
      {{'a', 'b', 'c'}, {0xa2, 0x98, 0xff, 0xde, 0x27, 0xc0, 0x65, 0x73, 0xa8, 0x15, 0xf7, 0x5c, 0x8a, 0x41, 0x03, 0x00}},
      {std::vector<uint8_t>(63, 0), {0x1b, 0x74, 0x37, 0xae, 0x39, 0x56, 0x44, 0xd5, 0x40, 0xe5, 0x18, 0x5e, 0xce, 0x91, 0x3f, 0x00}},
      {std::vector<uint8_t>(64, 0), {0xf5, 0x24, 0xe3, 0xb3, 0x0b, 0xb4, 0x61, 0x3d, 0xe2, 0xdb, 0x4f, 0x76, 0xd7, 0x43, 0x40, 0x00}},
      {counting, {0xe9, 0x65, 0x3e, 0x0f, 0x02, 0xbc, 0x7d, 0x80, 0xbb, 0xc9, 0xc0, 0x1e, 0x54, 0xab, 0x64, 0x00}},
  };
  auto s = make_chunker(100);
  for (auto& c : cases) {
    for (uint8_t g : c.data) chunker_feed(*s, g);
    chunk_finish(*s);
    EXPECT_EQ(key_bytes(s->cur_key), c.key) << c.data.size();
    EXPECT_EQ(key_bytes(ref_key(c.data)), c.key) << c.data.size();  // vouches for the reference
  }
}

// Lengths around each compression point, the length field's byte order, and
// what closing a chunk leaves behind.
TEST(Digest, KeysMatchReferenceConstruction) {
  rng r{6};
  auto s = make_chunker(65535);
  for (uint32_t len : {0u, 1u, 62u, 63u, 64u, 65u, 125u, 126u, 127u, 128u, 189u, 190u, 255u, 256u, 4097u, 65535u}) {
    auto v = some(r, len);
    for (uint8_t g : v) chunker_feed(*s, g);
    const uint32_t hash = s->roll_hash, count = s->byte_count;
    chunk_finish(*s);
    EXPECT_EQ(key_bytes(s->cur_key), key_bytes(ref_key(v))) << len;
    EXPECT_EQ(key_len(s->cur_key), len);
    EXPECT_TRUE(all_zero(s->digest_buf, 64)) << len;
    EXPECT_EQ(s->chunk_len, 0u);
    EXPECT_EQ(s->roll_hash, hash);
    EXPECT_EQ(s->byte_count, count);
  }
}

namespace {

// The whole-buffer route over v in random-sized spans, with the final chunk.
// cut_only: chunker_cut, with every byte of buf it need not keep (all but
// the chunk's last 15) scrambled before each call.
std::vector<chunk_rec> scan_all(chunker& s, const std::vector<uint8_t>& v, uint64_t seed, bool cut_only = false) {
  rng r{seed};
  std::vector<chunk_rec> out;
  std::vector<uint8_t> buf(chunk_buf_size);
  uint32_t fill = 0;
  size_t start = 0;
  const uint8_t* p = v.data();
  const uint8_t* const end = v.data() + v.size();
  while (p < end) {
    const uint8_t* e = std::min(end, p + 1 + r.next() % 300);
    while (p < e) {
      if (cut_only) {
        for (uint32_t i = 0; i + 15 < fill; i++) buf[i] = uint8_t(r.next());
        for (size_t i = fill; i < fill + 64 && i < buf.size(); i++) buf[i] = uint8_t(r.next());
      }
      if (cut_only ? chunker_cut(s, buf.data(), fill, p, e) : chunker_scan(s, buf.data(), fill, p, e)) {
        chunk_finish_buf(s, cut_only ? v.data() + start : buf.data(), fill);
        out.push_back({start, fill, s.cur_key});
        start += fill;
        fill = 0;
      }
    }
  }
  chunk_finish_buf(s, cut_only ? v.data() + start : buf.data(), fill);
  out.push_back({start, fill, s.cur_key});
  return out;
}

}  // namespace

TEST(Chunker, ScanRouteMatchesByteRoute) {
  for (path route : {path::span, path::simd})
  for (uint32_t div : {1u, 2u, 100u, 65535u}) {
    SCOPED_TRACE(div);
    dispatch_force(route);
    const std::vector<uint8_t> v = mixed_data(div);
    auto a = make_chunker(div), b = make_chunker(div);
    std::vector<chunk_rec> want = cut(*a, v);
    const uint32_t tail = a->chunk_len;
    chunk_finish(*a);
    want.push_back({v.size() - tail, tail, a->cur_key});
    for (bool cut_only : {false, true}) {
      const std::vector<chunk_rec> got = scan_all(*b, v, div, cut_only);
      ASSERT_EQ(got.size(), want.size()) << cut_only;
      for (size_t i = 0; i < want.size(); i++) {
        EXPECT_EQ(got[i].start, want[i].start) << i;
        EXPECT_EQ(got[i].len, want[i].len) << i;
        EXPECT_EQ(key_bytes(got[i].key), key_bytes(want[i].key)) << i;
      }
    }
    EXPECT_TRUE(all_zero(b->digest_buf, 64));
  }
}

// Every digest route gives the keys of feeding and closing chunk by chunk,
// for lengths at the group edges and for batches that leave lanes idle.
TEST(Digest, BatchRoutesMatchChunkFinish) {
  rng r{99};
  std::vector<std::vector<uint8_t>> chunks;
  for (uint32_t l : {0u, 1u, 62u, 63u, 64u, 65u, 125u, 126u, 127u, 189u, 1000u, 65535u}) chunks.push_back(some(r, l));
  for (int i = 0; i < 60; i++) chunks.push_back(some(r, r.next() % (i % 7 == 0 ? 20000 : 400)));
  std::vector<chunk_key> want;
  auto s = make_chunker(100);
  for (const auto& c : chunks) {
    for (uint8_t b : c) chunker_feed(*s, b);
    chunk_finish(*s);
    want.push_back(s->cur_key);
  }
  std::vector<const uint8_t*> ptrs;
  std::vector<uint32_t> lens;
  for (const auto& c : chunks) ptrs.push_back(c.data()), lens.push_back(uint32_t(c.size()));
  for (const digest_kernel& k : digest_kernels())
    for (uint32_t n : {uint32_t(chunks.size()), 1u, 15u, 17u}) {
      if (!cpu_runs(k.needs)) continue;
      std::vector<chunk_key> got(n);
      k.keys(ptrs.data(), lens.data(), got.data(), n);
      for (uint32_t i = 0; i < n; i++)
        EXPECT_EQ(key_bytes(got[i]), key_bytes(want[i])) << k.name << " chunk " << i << " of " << n;
    }
}

namespace {

// Every route over the first n chunks, for each batch size n given, against
// ref_key of the chunk's bytes.
void expect_batch_keys(const std::vector<const uint8_t*>& ptrs, const std::vector<uint32_t>& lens,
                       std::initializer_list<uint32_t> sizes) {
  std::vector<chunk_key> want;
  for (size_t i = 0; i < ptrs.size(); i++) want.push_back(ref_key(std::vector<uint8_t>(ptrs[i], ptrs[i] + lens[i])));
  for (const digest_kernel& k : digest_kernels())
    for (uint32_t n : sizes) {
      if (!cpu_runs(k.needs)) continue;
      std::vector<chunk_key> got(n);
      k.keys(ptrs.data(), lens.data(), got.data(), n);
      for (uint32_t i = 0; i < n; i++)
        ASSERT_EQ(key_bytes(got[i]), key_bytes(want[i]))
            << k.name << " chunk " << i << " (" << lens[i] << " bytes) of " << n;
    }
}

}  // namespace

// Large batches of very different lengths: empty chunks, the group edges
// and some long and maximal chunks among short ones, so lanes end, refill
// and go idle at different times; batch sizes around multiples of sixteen.
TEST(Digest, BatchRoutesOnMixedBatches) {
  rng r{123};
  const std::vector<uint8_t> data = some(r, 1 << 20);
  std::vector<const uint8_t*> ptrs;
  std::vector<uint32_t> lens;
  const uint32_t edges[] = {0, 1, 62, 63, 64, 65, 125, 126, 127, 128, 189};
  for (int i = 0; i < 2000; i++) {
    const uint64_t pick = r.next();
    uint32_t len = pick % 8 == 0 ? edges[pick / 8 % 11] : 64 + uint32_t(pick >> 8) % 200;
    if (i % 97 == 5) len = i % 2 ? 65535 : 3000 + uint32_t(pick >> 8) % 20000;
    ptrs.push_back(data.data() + r.next() % (data.size() - len + 1));
    lens.push_back(len);
  }
  expect_batch_keys(ptrs, lens, {2000, 1, 15, 16, 17, 31, 32, 33, 47, 48, 49, 100});
}

// Chunks flush against unreadable pages: each ends at the last readable
// byte or starts at the first, so a route that reads outside its chunks
// faults. Also empty chunks at either edge and one with no bytes at all.
TEST(Digest, BatchRoutesReadOnlyTheirChunks) {
  const size_t page = size_t(sysconf(_SC_PAGESIZE)), span = 32 * page;
  auto* base = static_cast<uint8_t*>(
      mmap(nullptr, span + 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(base, MAP_FAILED);
  ASSERT_EQ(mprotect(base, page, PROT_NONE), 0);
  ASSERT_EQ(mprotect(base + page + span, page, PROT_NONE), 0);
  uint8_t* const lo = base + page;
  uint8_t* const hi = lo + span;
  rng r{77};
  for (size_t i = 0; i < span; i++) lo[i] = byte(r);
  std::vector<const uint8_t*> ptrs;
  std::vector<uint32_t> lens;
  for (int rep = 0; rep < 3; rep++)
    for (uint32_t len : {0u, 1u, 2u, 3u, 4u, 5u, 7u, 8u, 15u, 16u, 17u, 31u, 32u, 48u, 61u, 62u, 63u, 64u, 65u, 100u,
                         125u, 126u, 127u, 128u, 189u, 190u, 4095u, 4096u, 65535u}) {
      ptrs.push_back(hi - len), lens.push_back(len);
      ptrs.push_back(lo), lens.push_back(len);
    }
  ptrs.push_back(nullptr), lens.push_back(0);
  for (size_t i = ptrs.size() - 1; i > 0; i--) {  // neighbours in a batch differ
    const size_t j = r.next() % (i + 1);
    std::swap(ptrs[i], ptrs[j]), std::swap(lens[i], lens[j]);
  }
  expect_batch_keys(ptrs, lens, {uint32_t(ptrs.size()), 1, 16, 33});
  munmap(base, span + 2 * page);
}

namespace {

// Readable memory between two unreadable pages: bytes copied flush against
// either edge, so that a kernel reading outside what it may read faults.
struct fenced {
  size_t page = size_t(sysconf(_SC_PAGESIZE)), span = 17 * page;
  uint8_t* base = static_cast<uint8_t*>(
      mmap(nullptr, span + 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  fenced() {
    mprotect(base, page, PROT_NONE);
    mprotect(base + page + span, page, PROT_NONE);
  }
  ~fenced() { munmap(base, span + 2 * page); }
  // An empty input's data() may be null, which memcpy must not get.
  const uint8_t* at_end(const uint8_t* p, size_t n) { return place(base + page + span - n, p, n); }
  const uint8_t* at_start(const uint8_t* p, size_t n) { return place(base + page, p, n); }
  static const uint8_t* place(uint8_t* to, const uint8_t* p, size_t n) { return n ? static_cast<uint8_t*>(std::memcpy(to, p, n)) : to; }
};

}  // namespace

// Each candidate bit, and each cut, is the hash of its own 16 bytes against
// the threshold, on every kernel, whatever the block length and so the lane
// split; thresholds equal to a window's hash, or one above it, probe the
// byte-by-byte comparison of the SIMD kernels. The bytes lie against
// unreadable pages, so a kernel that reads outside them faults.
TEST(Chunker, CandidatesAndCutsAreWindowHashes) {
  rng r{5};
  fenced f;
  for (const window_kernel& k : window_kernels())
    for (uint32_t div : {1u, 2u, 100u, 0u})
      for (uint32_t n : {0u, 15u, 16u, 17u, 22u, 23u, 24u, 31u, 32u, 33u, 47u, 48u, 64u, 78u, 79u, 80u, 100u, 4093u, 65536u}) {
        if (!cpu_runs(k.needs)) continue;
        auto s = make_chunker(div ? div : 100);
        std::vector<uint8_t> d = some(r, n);
        for (uint32_t i = 0; i + 300 < n; i += 1000) std::fill(d.begin() + i, d.begin() + i + 300, 0);
        if (div == 0 && n >= 16) {
          const uint32_t j = 15 + r.next() % (n - 15);
          s->roll_threshold = crc32(d.data() + j - 15, 16) + (r.next() & 1);
        }
        const uint32_t thr = s->roll_threshold;
        auto want = [&](uint32_t j) { return j >= 15 && crc32(d.data() + j - 15, 16) < thr; };
        for (bool end : {false, true}) {
          std::vector<uint64_t> bits((n + 63) / 64 + 1, ~uint64_t(0));
          k.candidates(*s, end ? f.at_end(d.data(), n) : f.at_start(d.data(), n), n, bits.data());
          for (uint32_t j = 0; j < n; j++)
            ASSERT_EQ(bool(bits[j >> 6] >> (j & 63) & 1), want(j)) << k.name << " div " << div << " n " << n << " j " << j;
        }
        for (int t = 0; t < 20 && n > 15; t++) {
          const uint32_t lo = 15 + r.next() % (n - 15), hi = lo + r.next() % (n - lo + 1);
          uint32_t j = lo;
          while (j < hi && !want(j)) j++;
          const uint8_t* from = d.data() + lo - 15;
          const uint8_t* q = (t & 1 ? f.at_end(from, hi - lo + 15) : f.at_start(from, hi - lo + 15)) - (lo - 15);
          ASSERT_EQ(k.cut_find(*s, q, lo, hi), j) << k.name << " div " << div << " lo " << lo << " hi " << hi;
        }
      }
}
