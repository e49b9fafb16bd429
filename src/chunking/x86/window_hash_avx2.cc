// Boundary candidates by 256-bit byte shuffles. The window hash is the
// CRC-32 of 16 bytes, an affine function of them over GF(2): h0 XOR one
// share per window byte, a byte's share the XOR of its two nibbles'.
// VPSHUFB looks a nibble up in a 16-entry table for 32 bytes at once, so
// 32 lookups give the top hash byte of 32 consecutive positions. Positions
// whose top byte ties with the threshold's (one in 256) are settled by the
// whole hash.
//
// Shuffles (two a cycle) and loads (two a cycle) bound the scan: 32
// lookups per block, each reading its indices from memory, so the scan
// splits every input byte once into per-block nibble rows on the stack,
// hashes eight blocks per table load and settles ties after the span.
// cut_find mostly runs a block or four, too few for rows: it splits two
// loads in registers and aligns them per window byte.
#include <immintrin.h>

#include <cstring>

#include "chunking/kernels.h"
#include "chunking/x86/window_nibbles.h"

namespace dupcut {

namespace {

#define TGT __attribute__((target("avx2")))
#define INL TGT __attribute__((always_inline)) inline

INL __m256i load(const uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
INL void store(uint8_t* p, __m256i x) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), x); }

// A block's nibbles: the 47 bytes that its 32 windows cover (and 17 more),
// low nibbles in lo[0..46], high ones in hi[0..46]. Each lookup's indices then lie
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
// d[0..n-1] only. A row holds the nibbles of two 32-byte loads, the
// second of which is the next row's first: each byte is split once.
INL void fill_rows(const uint8_t* d, uint32_t p, uint32_t n, block_row* r, uint32_t m) {
  const __m256i mask = _mm256_set1_epi8(0x0F);
  int64_t from = int64_t(p) - (roll_bytes - 1);
  __m256i u = load_within(d, from, n);
  __m256i ul = _mm256_and_si256(u, mask), uh = _mm256_and_si256(_mm256_srli_epi16(u, 4), mask);
  for (uint32_t b = 0; b < m; b++) {
    from += 32;
    const __m256i v = load_within(d, from, n);
    const __m256i vl = _mm256_and_si256(v, mask), vh = _mm256_and_si256(_mm256_srli_epi16(v, 4), mask);
    _mm256_store_si256(reinterpret_cast<__m256i*>(r[b].lo), ul);
    _mm256_store_si256(reinterpret_cast<__m256i*>(r[b].lo + 32), vl);
    _mm256_store_si256(reinterpret_cast<__m256i*>(r[b].hi), uh);
    _mm256_store_si256(reinterpret_cast<__m256i*>(r[b].hi + 32), vh);
    ul = vl;
    uh = vh;
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

// The top hash byte, bit 7 flipped, of the 32 windows ending at w[15..46],
// for short searches: rows in memory would be read back before their
// stores complete, so each byte is split once in registers and the
// windows' indices come from byte alignments of two loads (w[0..31] and
// w[16..47], whose lanes overlap as VPALIGNR needs).
INL __m256i top_byte_direct(const uint8_t* w, const nibble_tables& tab) {
  // Hidden from the optimiser so that the tables stay memory operands:
  // hoisted, they are copied to the stack on every call.
  const nibble_tables* tp = &tab;
  asm("" : "+r"(tp));
  const nibble_tables& t = *tp;
  const __m256i m = _mm256_set1_epi8(0x0F);
  const __m256i u = load(w), v = load(w + 16);
  const __m256i ul = _mm256_and_si256(u, m), uh = _mm256_and_si256(_mm256_srli_epi16(u, 4), m);
  const __m256i vl = _mm256_and_si256(v, m), vh = _mm256_and_si256(_mm256_srli_epi16(v, 4), m);
  __m256i x0 = _mm256_xor_si256(load(t.cst), _mm256_shuffle_epi8(load(t.nib[0][0]), ul));
  __m256i x1 = _mm256_shuffle_epi8(load(t.nib[0][1]), uh);
#define S(i)                                                                                        \
  x0 = _mm256_xor_si256(x0, _mm256_shuffle_epi8(load(t.nib[i][0]), _mm256_alignr_epi8(vl, ul, i))); \
  x1 = _mm256_xor_si256(x1, _mm256_shuffle_epi8(load(t.nib[i][1]), _mm256_alignr_epi8(vh, uh, i)));
  S(1) S(2) S(3) S(4) S(5) S(6) S(7) S(8) S(9) S(10) S(11) S(12) S(13) S(14) S(15)
#undef S
  return _mm256_xor_si256(x0, x1);
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

const nibble_tables& window_nibble_tables() {
  static const nibble_tables t = [] {
    const auto hash = window_hash16;
    nibble_tables n{};
    uint8_t w[roll_bytes] = {};
    n.h0 = hash(w);
    std::memset(n.cst, uint8_t(n.h0 >> 24) ^ 0x80, sizeof n.cst);
    for (uint32_t i = 0; i < roll_bytes; i++) {
      for (uint32_t v = 0; v < 256; v++) {
        w[i] = uint8_t(v);
        n.share[i][v] = hash(w) ^ n.h0;
      }
      w[i] = 0;
      for (uint32_t e = 0; e < 64; e++)
        for (int h = 0; h < 2; h++) n.nib[i][h][e] = uint8_t(n.share[i][(e & 15) << (4 * h)] >> 24);
    }
    return n;
  }();
  return t;
}

TGT void chunker_candidates_avx2(const chunker& s, const uint8_t* d, uint32_t n, uint64_t* bits) {
  const nibble_tables& t = window_nibble_tables();
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
      hit[b] = settle_ties<false>(hit[b], tie[b], d + base + 32 * b - (roll_bytes - 1), thr, t);
    }
    std::memcpy(reinterpret_cast<uint8_t*>(bits) + base / 8, hit, m * 4);
  }
}

TGT uint32_t cut_find_avx2(const chunker& s, const uint8_t* q, uint32_t lo, uint32_t hi) {
  const nibble_tables& t = window_nibble_tables();
  const uint32_t thr = s.roll_threshold;
  const __m256i top = _mm256_set1_epi8(char(uint8_t(thr >> 24) ^ 0x80));
  // Hits among the windows ending at w[15..46] in `valid`.
  auto hits = [&](const uint8_t* w, uint32_t valid) TGT {
    const __m256i x = top_byte_direct(w, t);
    const uint32_t hit = uint32_t(_mm256_movemask_epi8(_mm256_cmpgt_epi8(top, x))) & valid;
    const uint32_t tie = uint32_t(_mm256_movemask_epi8(_mm256_cmpeq_epi8(top, x))) & valid;
    return tie ? settle_ties<true>(hit, tie, w, thr, t) : hit;
  };
  // A block of windows ending at j..j+31 reads q[j-15..j+32].
  uint32_t j = lo;
  for (; hi - j >= 33; j += 32)
    if (const uint32_t h = hits(q + j - (roll_bytes - 1), ~0u)) return j + uint32_t(__builtin_ctz(h));
  if (j == hi) return hi;
  if (hi - lo < 33) {
    alignas(32) uint8_t tmp[64] = {};
    std::memcpy(tmp, q + j - (roll_bytes - 1), hi - j + roll_bytes - 1);
    const uint32_t h = hits(tmp, hi - j == 32 ? ~0u : (1u << (hi - j)) - 1);
    return h ? j + uint32_t(__builtin_ctz(h)) : hi;
  }
  // The rest, j..hi-1: a block moved back to end at hi-2 (the positions
  // it repeats had no hit), then hi-1 by itself.
  const uint32_t back = 33 - (hi - j);
  if (back < 32)
    if (const uint32_t h = hits(q + j - back - (roll_bytes - 1), ~0u << back)) return j - back + uint32_t(__builtin_ctz(h));
  return settle_ties<true>(0u, 1u, q + hi - roll_bytes, thr, t) ? hi - 1 : hi;
}

#undef INL
#undef TGT

}  // namespace dupcut
