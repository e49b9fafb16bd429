// Boundary candidates by 512-bit byte shuffles, for AVX-512 CPUs without
// GFNI (Skylake and Cascade Lake servers): the AVX2 kernel's method on 64
// positions at once. Each window byte's two nibbles are looked up in
// 16-entry tables of the top hash byte's shares; only positions whose top
// byte ties with the threshold's are settled by the whole hash. A block of
// 64 positions is one word of candidate bits, and masked loads read
// nothing outside the span. Those CPUs shuffle 512 bits on one port only,
// so the scan reads its lookup indices from nibble rows in memory (loads
// have two ports) rather than aligning them in registers; on Zen 4, where
// this kernel runs only with GFNI turned off, aligning would be ~8% faster.
// GCC 12 warns about the deliberately undefined pass-through operand inside
// its own AVX-512 intrinsic headers.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include "chunking/kernels.h"
#include "chunking/x86/window_nibbles.h"

namespace dupcut {

namespace {

#define TGT __attribute__((target("avx512f,avx512bw")))
#define INL TGT __attribute__((always_inline)) inline

// A block's nibbles: the 79 bytes that its 64 windows cover (and 49
// more), low nibbles in lo[0..78], high ones in hi[0..78].
struct block_row {
  alignas(64) uint8_t lo[128];
  uint8_t hi[128];
};

// The bytes d[from..from+63] that lie inside d[0..n-1], zero elsewhere.
INL __m512i load_within(const uint8_t* d, int64_t from, uint32_t n) {
  if (from >= 0 && from + 64 <= int64_t(n)) return _mm512_loadu_si512(d + from);
  const int64_t a = from < 0 ? -from : 0, b = int64_t(n) - from;
  if (b <= a) return _mm512_setzero_si512();
  const __mmask64 m = (b >= 64 ? ~__mmask64(0) : (__mmask64(1) << b) - 1) & (~__mmask64(0) << a);
  return _mm512_maskz_loadu_epi8(m, d + from);
}

// The rows of the m blocks from position p (window d[p-15..p]), reading
// d[0..n-1] only. A row holds the nibbles of two 64-byte loads, the
// second of which is the next row's first: each byte is split once.
INL void fill_rows(const uint8_t* d, uint32_t p, uint32_t n, block_row* r, uint32_t m) {
  const __m512i mask = _mm512_set1_epi8(0x0F);
  int64_t from = int64_t(p) - (roll_bytes - 1);
  __m512i u = load_within(d, from, n);
  __m512i ul = _mm512_and_si512(u, mask), uh = _mm512_and_si512(_mm512_srli_epi16(u, 4), mask);
  for (uint32_t b = 0; b < m; b++) {
    from += 64;
    const __m512i v = load_within(d, from, n);
    const __m512i vl = _mm512_and_si512(v, mask), vh = _mm512_and_si512(_mm512_srli_epi16(v, 4), mask);
    _mm512_store_si512(r[b].lo, ul);
    _mm512_store_si512(r[b].lo + 64, vl);
    _mm512_store_si512(r[b].hi, uh);
    _mm512_store_si512(r[b].hi + 64, vh);
    ul = vl;
    uh = vh;
  }
}

// The top hash byte of G blocks of 64 windows, bit 7 flipped.
template <int G>
INL void top_bytes(const block_row* r, const nibble_tables& t, __m512i* x) {
  for (int g = 0; g < G; g++) x[g] = _mm512_load_si512(t.cst);
#pragma GCC unroll 16
  for (uint32_t i = 0; i < roll_bytes; i++) {
    __m512i a = _mm512_load_si512(t.nib[i][0]), b = _mm512_load_si512(t.nib[i][1]);
    // Keeps the steps in order: left free, the compiler hoists the
    // lookups ahead and spills their results.
    asm volatile("" : "+v"(a), "+v"(b));
    for (int g = 0; g < G; g++) {
      x[g] = _mm512_ternarylogic_epi64(x[g], _mm512_shuffle_epi8(a, _mm512_loadu_si512(r[g].lo + i)),
                                       _mm512_shuffle_epi8(b, _mm512_loadu_si512(r[g].hi + i)), 0x96);
      asm volatile("" : "+v"(x[g]));
    }
  }
}

// The top hash byte, bit 7 flipped, of the 64 windows ending at w[15..78]
// for the positions in `valid`, reading w[t..t+15] for those only: for
// short searches, where rows in memory would be read back before their
// stores complete. Each byte is split once in registers and the windows'
// indices come from byte alignments.
INL __m512i top_byte_direct(const uint8_t* w, __mmask64 valid, const nibble_tables& tab) {
  // Hidden from the optimiser so that the tables stay memory operands:
  // hoisted, they are copied to the stack on every call.
  const nibble_tables* tp = &tab;
  asm("" : "+r"(tp));
  const nibble_tables& t = *tp;
  const __m512i m = _mm512_set1_epi8(0x0F);
  // The bytes of the valid windows: w[0..c-1].
  const uint32_t c = valid == ~__mmask64(0) ? 79 : 64 - __builtin_clzll(valid) + (roll_bytes - 1);
  const __mmask64 mu = c >= 64 ? ~__mmask64(0) : (__mmask64(1) << c) - 1;
  const __mmask64 mv = c > 64 ? (__mmask64(1) << (c - 64)) - 1 : 0;
  const __m512i u = _mm512_maskz_loadu_epi8(mu, w), v = _mm512_maskz_loadu_epi8(mv, w + 64);
  const __m512i ul = _mm512_and_si512(u, m), uh = _mm512_and_si512(_mm512_srli_epi16(u, 4), m);
  const __m512i vl = _mm512_and_si512(v, m), vh = _mm512_and_si512(_mm512_srli_epi16(v, 4), m);
  const __m512i ml = _mm512_alignr_epi64(vl, ul, 2), mh = _mm512_alignr_epi64(vh, uh, 2);  // from w + 16
  __m512i x0 = _mm512_xor_si512(_mm512_load_si512(t.cst), _mm512_shuffle_epi8(_mm512_load_si512(t.nib[0][0]), ul));
  __m512i x1 = _mm512_shuffle_epi8(_mm512_load_si512(t.nib[0][1]), uh);
#define S(i)                                                                                                \
  x0 = _mm512_xor_si512(x0, _mm512_shuffle_epi8(_mm512_load_si512(t.nib[i][0]), _mm512_alignr_epi8(ml, ul, i))); \
  x1 = _mm512_xor_si512(x1, _mm512_shuffle_epi8(_mm512_load_si512(t.nib[i][1]), _mm512_alignr_epi8(mh, uh, i)));
  S(1) S(2) S(3) S(4) S(5) S(6) S(7) S(8) S(9) S(10) S(11) S(12) S(13) S(14) S(15)
#undef S
  return _mm512_xor_si512(x0, x1);
}

// Hits and ties of the G blocks from position p, whose windows lie in
// d[0..n-1] (positions outside give neither).
template <int G>
INL void blocks(const block_row* r, uint32_t p, uint32_t n, uint32_t thr, const nibble_tables& t, uint64_t* hit,
                uint64_t* tie) {
  __m512i x[G];
  top_bytes<G>(r, t, x);
  const __m512i top = _mm512_set1_epi8(char(uint8_t(thr >> 24) ^ 0x80));
  for (int g = 0; g < G; g++) {
    hit[g] = _mm512_cmplt_epi8_mask(x[g], top);
    tie[g] = _mm512_cmpeq_epi8_mask(x[g], top);
  }
  if (p < roll_bytes - 1 || p + 64 * G > n) {
    for (int g = 0; g < G; g++) {
      const uint32_t at = p + 64 * uint32_t(g);
      uint64_t valid = at < roll_bytes - 1 ? ~uint64_t(0) << (roll_bytes - 1 - at) : ~uint64_t(0);
      if (at >= n) valid = 0;
      else if (n - at < 64) valid &= (uint64_t(1) << (n - at)) - 1;
      hit[g] &= valid;
      tie[g] &= valid;
    }
  }
}

constexpr uint32_t span = 1024;  // positions per round of the candidate scan
constexpr int group = 8;         // blocks per table load

}  // namespace

TGT void chunker_candidates_avx512bw(const chunker& s, const uint8_t* d, uint32_t n, uint64_t* bits) {
  const nibble_tables& t = window_nibble_tables();
  const uint32_t thr = s.roll_threshold, words = (n + 63) / 64;
  block_row r[span / 64];
  uint64_t tie[span / 64];
  for (uint32_t w = 0; w < words; w += span / 64) {
    const uint32_t m = words - w < span / 64 ? words - w : span / 64;
    fill_rows(d, 64 * w, n, r, m);
    uint32_t b = 0;
    for (; b + group <= m; b += group) blocks<group>(r + b, 64 * (w + b), n, thr, t, bits + w + b, tie + b);
    for (; b < m; b++) blocks<1>(r + b, 64 * (w + b), n, thr, t, bits + w + b, tie + b);
    // Ties are settled apart: their branches would otherwise wait for the
    // hash and throw away the next blocks' work each time they miss.
    uint32_t tied[span / 64], k = 0;
    for (b = 0; b < m; b++) {
      tied[k] = b;
      k += tie[b] != 0;
    }
    for (uint32_t i = 0; i < k; i++) {
      b = tied[i];
      bits[w + b] = settle_ties<false>(bits[w + b], tie[b], d + 64 * (w + b) - (roll_bytes - 1), thr, t);
    }
  }
}

TGT uint32_t cut_find_avx512bw(const chunker& s, const uint8_t* q, uint32_t lo, uint32_t hi) {
  const nibble_tables& t = window_nibble_tables();
  const uint32_t thr = s.roll_threshold;
  const __m512i top = _mm512_set1_epi8(char(uint8_t(thr >> 24) ^ 0x80));
  for (uint32_t j = lo; j < hi; j += 64) {
    const uint32_t left = hi - j;
    const __mmask64 valid = left >= 64 ? ~__mmask64(0) : (__mmask64(1) << left) - 1;
    const uint8_t* w = q + j - (roll_bytes - 1);
    const __m512i x = top_byte_direct(w, valid, t);
    uint64_t hit = _mm512_mask_cmplt_epi8_mask(valid, x, top);
    const uint64_t tie = _mm512_mask_cmpeq_epi8_mask(valid, x, top);
    if (tie) hit = settle_ties<true>(hit, tie, w, thr, t);
    if (hit) return j + uint32_t(__builtin_ctzll(hit));
  }
  return hi;
}

#undef INL
#undef TGT

}  // namespace dupcut
