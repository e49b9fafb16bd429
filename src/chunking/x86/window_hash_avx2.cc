// Boundary candidates by 256-bit byte shuffles. The window hash is the
// CRC-32 of 16 bytes, an affine function of them over GF(2), so each of its
// four bytes is a constant XOR one share per window byte, and a byte's
// share is the XOR of the shares of its two nibbles. VPSHUFB looks a nibble
// up in a 16-entry table for 32 bytes at once: 32 lookups give one hash
// byte of 32 consecutive positions. Bytes are compared most significant
// first, and the lower ones are computed only for positions whose higher
// bytes tie with the threshold's (about one position in 256 per byte).
//
// The shuffle ports bound the speed: 32 lookups and 31 XORs per 32
// positions. Splitting bytes into nibbles costs a shift and two ANDs, so
// the candidate scan splits each input byte once into two nibble buffers
// on the stack and lets every lookup read its indices straight from them;
// it hashes two blocks per table load. cut_find mostly runs a block or
// two, so it splits its own loads and skips the buffers.
#include <immintrin.h>

#include <cstring>

#include "chunking/kernels.h"

namespace dupcut {

namespace {

#define TGT __attribute__((target("avx2")))
#define INL TGT __attribute__((always_inline)) inline

// nib[i][h]: the share in the top hash byte of window byte i's (0 the
// oldest) low (h 0) or high (h 1) nibble, 16 entries in each 128-bit lane.
// cst: the top hash byte of sixteen zero bytes with its top bit flipped,
// so that signed byte compares order hash bytes as unsigned ones.
// share[i][v]: the whole hash's share of window byte i being v, h0 the
// hash of sixteen zero bytes: ties are settled with these.
struct nibble_tables {
  alignas(32) uint8_t nib[roll_bytes][2][32];
  alignas(32) uint8_t cst[32];
  uint32_t share[roll_bytes][256];
  uint32_t h0;
};

nibble_tables build_tables() {
  uint32_t crc[256];
  crc_table_fill(crc);
  auto hash = [&](const uint8_t* w) {
    uint32_t h = 0;
    for (uint32_t i = 0; i < roll_bytes; i++) h = (h >> 8) ^ crc[(h ^ w[i]) & 0xFF];
    return h;
  };
  nibble_tables t{};
  uint8_t w[roll_bytes] = {};
  const uint32_t h0 = t.h0 = hash(w);
  std::memset(t.cst, uint8_t(h0 >> 24) ^ 0x80, 32);
  for (uint32_t i = 0; i < roll_bytes; i++) {
    for (uint32_t v = 0; v < 256; v++) {
      w[i] = uint8_t(v);
      t.share[i][v] = hash(w) ^ h0;
    }
    w[i] = 0;
    for (uint32_t v = 0; v < 16; v++)
      for (int h = 0; h < 2; h++) t.nib[i][h][v] = t.nib[i][h][v + 16] = uint8_t(t.share[i][v << (4 * h)] >> 24);
  }
  return t;
}

const nibble_tables& tables() {
  static const nibble_tables t = build_tables();
  return t;
}

INL __m256i load(const uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
INL void store(uint8_t* p, __m256i x) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), x); }

// A block's nibbles: the 47 bytes that its 32 windows cover, low nibbles
// in lo[0..46], high ones in hi[0..46]. Each lookup's indices then lie
// inside one 64-byte line (a load across two lines costs two), and a byte
// is split once, not once per window that covers it.
struct block_row {
  alignas(64) uint8_t lo[64];
  uint8_t hi[64];
};

// 32 bytes of d from `from`, zero where outside d[0..n-1].
INL __m256i load_within(const uint8_t* d, int64_t from, uint32_t n) {
  if (from >= 0 && from + 32 <= int64_t(n)) return load(d + from);
  alignas(32) uint8_t tmp[32] = {};
  const int64_t a = from < 0 ? 0 : from, b = from + 32 < int64_t(n) ? from + 32 : int64_t(n);
  if (a < b) std::memcpy(tmp + (a - from), d + a, size_t(b - a));
  return load(tmp);
}

// The rows of the m blocks from position p (window d[p-15..p]), reading
// d[0..n-1] only.
INL void fill_rows(const uint8_t* d, uint32_t p, uint32_t n, block_row* r, uint32_t m) {
  const __m256i mask = _mm256_set1_epi8(0x0F);
  for (uint32_t b = 0; b < m; b++, p += 32) {
    const int64_t from = int64_t(p) - (roll_bytes - 1);
    const __m256i u = load_within(d, from, n), v = load_within(d, from + 16, n);
    store(r[b].lo, _mm256_and_si256(u, mask));
    store(r[b].lo + 16, _mm256_and_si256(v, mask));
    store(r[b].hi, _mm256_and_si256(_mm256_srli_epi16(u, 4), mask));
    store(r[b].hi + 16, _mm256_and_si256(_mm256_srli_epi16(v, 4), mask));
  }
}

// The top hash byte of G blocks of 32 windows, bit 7 flipped.
template <int G>
INL void top_bytes(const block_row* r, const nibble_tables& t, __m256i* x) {
  for (int g = 0; g < G; g++) x[g] = load(t.cst);
#pragma GCC unroll 16
  for (uint32_t i = 0; i < roll_bytes; i++) {
    __m256i a = load(t.nib[i][0]), b = load(t.nib[i][1]);
    // Keeps the steps in order: left free, the compiler hoists all the
    // lookups ahead and spills their results.
    asm volatile("" : "+x"(a), "+x"(b));
    for (int g = 0; g < G; g++) {
      x[g] = _mm256_xor_si256(x[g], _mm256_xor_si256(_mm256_shuffle_epi8(a, load(r[g].lo + i)),
                                                     _mm256_shuffle_epi8(b, load(r[g].hi + i))));
      asm volatile("" : "+x"(x[g]));
    }
  }
}

// Settles ties by the whole hash of each tied window, w + t being the
// window of bit t, from sixteen independent lookups: ties are one position
// in 256, the vector route would pay a whole block's lookups per lower
// byte, and the rolling byte steps a long chain of dependent loads that
// stalls the scan. With first_only, ties past the first hit stay
// undecided.
template <bool first_only>
__attribute__((noinline)) uint32_t settle(uint32_t hit, uint32_t tie, const uint8_t* w, uint32_t thr,
                                          const nibble_tables& t) {
  for (; tie; tie &= tie - 1) {
    if (first_only && hit && __builtin_ctz(hit) < __builtin_ctz(tie)) break;
    const uint8_t* v = w + __builtin_ctz(tie);
    uint32_t h[4] = {t.h0, 0, 0, 0};
    for (uint32_t i = 0; i < roll_bytes; i++) h[i & 3] ^= t.share[i][v[i]];
    if ((h[0] ^ h[1] ^ h[2] ^ h[3]) < thr) hit |= tie & (0 - tie);
  }
  return hit;
}

// Hits and ties of the G blocks from position p, whose windows lie in
// d[0..n-1] (positions outside give neither).
template <int G>
INL void blocks(const block_row* r, uint32_t p, uint32_t n, uint32_t thr, const nibble_tables& t, uint32_t* hit,
                uint32_t* tie) {
  __m256i x[G];
  top_bytes<G>(r, t, x);
  const __m256i top = _mm256_set1_epi8(char(uint8_t(thr >> 24) ^ 0x80));
  for (int g = 0; g < G; g++) {
    hit[g] = uint32_t(_mm256_movemask_epi8(_mm256_cmpgt_epi8(top, x[g])));
    tie[g] = uint32_t(_mm256_movemask_epi8(_mm256_cmpeq_epi8(top, x[g])));
  }
  if (p < roll_bytes - 1 || p + 32 * G > n) {
    for (int g = 0; g < G; g++) {
      const uint32_t at = p + 32 * uint32_t(g);
      uint32_t valid = at < roll_bytes - 1 ? ~0u << (roll_bytes - 1 - at) : ~0u;
      if (at >= n) valid = 0;
      else if (n - at < 32) valid &= (1u << (n - at)) - 1;
      hit[g] &= valid;
      tie[g] &= valid;
    }
  }
}

constexpr uint32_t span = 1024;  // positions per round of the candidate scan
constexpr int group = 8;         // blocks per table load

}  // namespace

TGT void chunker_candidates_avx2(const chunker& s, const uint8_t* d, uint32_t n, uint64_t* bits) {
  const nibble_tables& t = tables();
  const uint32_t thr = s.roll_threshold, end = (n + 63) / 64 * 64;
  block_row r[span / 32];
  alignas(8) uint32_t hit[span / 32];
  uint32_t tie[span / 32];
  for (uint32_t base = 0; base < end; base += span) {
    // A multiple of 64 positions: whole words.
    const uint32_t m = (end - base < span ? end - base : span) / 32;
    fill_rows(d, base, n, r, m);
    uint32_t b = 0;
    for (; b + group <= m; b += group) blocks<group>(r + b, base + 32 * b, n, thr, t, hit + b, tie + b);
    for (; b < m; b += 2) blocks<2>(r + b, base + 32 * b, n, thr, t, hit + b, tie + b);
    // Ties are settled apart: their branches would otherwise wait for the
    // hash and throw away the next blocks' work each time they miss.
    uint32_t tied[span / 32], k = 0;
    for (b = 0; b < m; b++) {
      tied[k] = b;
      k += tie[b] != 0;
    }
    for (uint32_t i = 0; i < k; i++) {
      b = tied[i];
      hit[b] = settle<false>(hit[b], tie[b], d + base + 32 * b - (roll_bytes - 1), thr, t);
    }
    std::memcpy(reinterpret_cast<uint8_t*>(bits) + base / 8, hit, m * 4);
  }
}

TGT uint32_t cut_find_avx2(const chunker& s, const uint8_t* q, uint32_t lo, uint32_t hi) {
  const nibble_tables& t = tables();
  const uint32_t thr = s.roll_threshold;
  // Positions from here count from lo - 15, so that the bytes it may read
  // are d[0..n-1].
  const uint8_t* d = q + lo - (roll_bytes - 1);
  const uint32_t n = hi - lo + (roll_bytes - 1);
  constexpr uint32_t batch = 4;
  block_row r[batch];
  uint32_t hit[batch], tie[batch];
  for (uint32_t p = roll_bytes - 1; p < n; p += 32 * batch) {
    const uint32_t m = (n - p + 31) / 32 < batch ? (n - p + 31) / 32 : batch;
    fill_rows(d, p, n, r, m);
    if (m == batch)
      blocks<batch>(r, p, n, thr, t, hit, tie);
    else
      for (uint32_t b = 0; b < m; b++) blocks<1>(r + b, p + 32 * b, n, thr, t, hit + b, tie + b);
    for (uint32_t b = 0; b < m; b++) {
      const uint32_t at = p + 32 * b;
      if (tie[b]) hit[b] = settle<true>(hit[b], tie[b], d + at - (roll_bytes - 1), thr, t);
      if (hit[b]) return lo + at - (roll_bytes - 1) + uint32_t(__builtin_ctz(hit[b]));
    }
  }
  return hi;
}

#undef INL
#undef TGT

}  // namespace dupcut
