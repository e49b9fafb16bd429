// Boundary candidates over whole spans. The window hash is the CRC-32 of 16
// bytes, an affine function of them, so each of its four bytes is a
// constant XOR the sum of sixteen 8x8 bit-matrix products, one per window
// byte. GF2P8AFFINEQB applies one such matrix to 64 bytes at once: sixteen
// shifted loads give the hash byte of 64 consecutive positions. Bytes are
// compared most significant first, and the lower ones are computed only
// for positions whose higher bytes tie with the threshold's.
// GCC 12 warns about the deliberately undefined pass-through operand inside
// its own AVX-512 intrinsic headers.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include <cstring>

#include "chunking/kernels.h"

namespace dupcut {

namespace {

#define TGT __attribute__((target("avx512f,avx512bw,gfni")))

// mat[k][i]: the matrix taking window byte i (0 the oldest) to its share of
// hash byte k, in GF2P8AFFINEQB's layout (byte 7-r holds output bit r's
// row), repeated over a whole register; cst[k]: hash byte k of sixteen zero
// bytes, likewise.
struct window_matrices {
  alignas(64) uint64_t mat[4][roll_bytes][8];
  alignas(64) uint8_t cst[4][64];
};

window_matrices build_matrices() {
  const auto hash = window_hash16;
  window_matrices m{};
  uint8_t w[roll_bytes] = {};
  const uint32_t h0 = hash(w);
  for (int k = 0; k < 4; k++) std::memset(m.cst[k], uint8_t(h0 >> (8 * k)), 64);
  for (uint32_t i = 0; i < roll_bytes; i++) {
    uint32_t col[8];
    for (int c = 0; c < 8; c++) {
      w[i] = uint8_t(1u << c);
      col[c] = hash(w) ^ h0;
    }
    w[i] = 0;
    for (int k = 0; k < 4; k++) {
      uint64_t a = 0;
      for (int r = 0; r < 8; r++) {
        uint64_t row = 0;
        for (int c = 0; c < 8; c++) row |= uint64_t((col[c] >> (8 * k + r)) & 1) << c;
        a |= row << (8 * (7 - r));
      }
      for (uint64_t& x : m.mat[k][i]) x = a;
    }
  }
  return m;
}

const window_matrices& matrices() {
  static const window_matrices m = build_matrices();
  return m;
}

#define INL TGT __attribute__((always_inline)) inline

// The 16 register loads of a block's windows: w[i] holds the bytes from
// base + i. A whole block builds them from two loads with byte shifts, a
// short one from masked loads that read nothing past its end.
struct windows {
  __m512i w[roll_bytes];
};

INL void windows_full(windows& v, const uint8_t* base) {
  const __m512i lo = _mm512_loadu_si512(base), hi = _mm512_maskz_loadu_epi8(0x7FFF, base + 64);
  const __m512i mid = _mm512_alignr_epi64(hi, lo, 2);  // from base + 16
  v.w[0] = lo;
#define S(i) v.w[i] = _mm512_alignr_epi8(mid, lo, i);
  S(1) S(2) S(3) S(4) S(5) S(6) S(7) S(8) S(9) S(10) S(11) S(12) S(13) S(14) S(15)
#undef S
}

INL void windows_part(windows& v, const uint8_t* base, __mmask64 valid) {
  for (uint32_t i = 0; i < roll_bytes; i++) v.w[i] = _mm512_maskz_loadu_epi8(valid, base + i);
}

// Hash byte k of the 64 windows.
template <bool short_call>
INL __m512i hash_byte(const windows& v, const window_matrices& m, int k) {
  const auto* a = m.mat[k];
  // For calls of a block or two, hidden from the optimiser so that the
  // matrices stay memory operands: hoisted into registers they spill, and
  // every call pays for that.
  if constexpr (short_call) asm("" : "+r"(a));
#define A(i) _mm512_gf2p8affine_epi64_epi8(v.w[i], _mm512_load_si512(a[i]), 0)
  const __m512i x0 = _mm512_ternarylogic_epi64(_mm512_load_si512(m.cst[k]), A(0), A(1), 0x96);
  const __m512i x1 = _mm512_ternarylogic_epi64(A(2), A(3), A(4), 0x96);
  const __m512i x2 = _mm512_ternarylogic_epi64(A(5), A(6), A(7), 0x96);
  const __m512i x3 = _mm512_ternarylogic_epi64(A(8), A(9), A(10), 0x96);
  const __m512i x4 = _mm512_ternarylogic_epi64(A(11), A(12), A(13), 0x96);
  const __m512i x5 = _mm512_ternarylogic_epi64(A(14), A(15), x0, 0x96);
#undef A
  return _mm512_ternarylogic_epi64(_mm512_ternarylogic_epi64(x1, x2, x3, 0x96), x4, x5, 0x96);
}

// Bit t set when the window ending at q[t] hashes below thr, for the
// positions in `valid`; reads q[t-15..t] for those positions only.
// With first_only, only the lowest bit of the result is right: ties past
// the first hit are left undecided.
template <bool full, bool first_only>
INL uint64_t block_hits(const uint8_t* q, __mmask64 valid, uint32_t thr, const window_matrices& m) {
  windows v;
  if constexpr (full)
    windows_full(v, q - (roll_bytes - 1));
  else
    windows_part(v, q - (roll_bytes - 1), valid);
  __m512i t = _mm512_set1_epi8(char(thr >> 24));
  __m512i b = hash_byte<first_only>(v, m, 3);
  __mmask64 hit = _mm512_mask_cmplt_epu8_mask(valid, b, t);
  __mmask64 tie = _mm512_mask_cmpeq_epu8_mask(valid, b, t);
  // Lower bytes decide only where the higher ones tie: rare.
  for (int k = 2; k >= 0; k--) {
    if constexpr (first_only) tie &= (hit & (0 - hit)) - 1;  // all ones when no hit
    if (!tie) break;
    t = _mm512_set1_epi8(char(thr >> (8 * k)));
    b = hash_byte<first_only>(v, m, k);
    hit |= _mm512_mask_cmplt_epu8_mask(tie, b, t);
    tie = _mm512_mask_cmpeq_epu8_mask(tie, b, t);
  }
  return hit;
}

INL __mmask64 first_n(uint32_t n) { return n >= 64 ? ~__mmask64(0) : (__mmask64(1) << n) - 1; }

}  // namespace

TGT void chunker_candidates_avx512_gfni(const chunker& s, const uint8_t* d, uint32_t n, uint64_t* bits) {
  std::memset(bits, 0, size_t((n + 63) / 64) * sizeof(uint64_t));
  const window_matrices& m = matrices();
  const uint32_t thr = s.roll_threshold;
  constexpr uint32_t sh = roll_bytes - 1;  // blocks start at 15 + 64 i
  for (uint32_t j = sh; j < n; j += 64) {
    const uint64_t h = n - j >= 64 ? block_hits<true, false>(d + j, ~__mmask64(0), thr, m)
                                    : block_hits<false, false>(d + j, first_n(n - j), thr, m);
    if (!h) continue;
    bits[j >> 6] |= h << sh;
    if (h >> (64 - sh)) bits[(j >> 6) + 1] |= h >> (64 - sh);
  }
}

TGT uint32_t cut_find_avx512_gfni(const chunker& s, const uint8_t* q, uint32_t lo, uint32_t hi) {
  const window_matrices& m = matrices();
  const uint32_t thr = s.roll_threshold;
  for (uint32_t j = lo; j < hi; j += 64) {
    const uint64_t h = hi - j >= 64 ? block_hits<true, true>(q + j, ~__mmask64(0), thr, m)
                                    : block_hits<false, true>(q + j, first_n(hi - j), thr, m);
    if (h) return j + uint32_t(__builtin_ctzll(h));
  }
  return hi;
}

#undef INL
#undef TGT

}  // namespace dupcut
