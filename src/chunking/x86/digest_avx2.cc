// Chunk digests eight at a time per 256-bit register: one chunk per 32-bit
// lane, each lane refilled with the next chunk as soon as its chunk ends.
// Every compression starts from the initial values, so any eight groups of
// any chunks can share a register. The per-lane work is the scalar
// construction exactly: XOR 63 bytes into the 64-byte buffer, set the count
// byte, compress, XOR the result in.
//
// One compression is a serial chain of about six operations a step, so two
// sets of eight lanes are compressed interleaved, and each set's next group
// of bytes is loaded and transposed into word order between the steps.
//
// Loads read nothing outside the chunk, without masked loads (VPMASKMOVD
// loads cost the kernel about two thirds of its speed on AMD Zen 4): a group that is not the chunk's last reads 64
// bytes (the 64th belongs to the next group and is cleared). A last group
// of k bytes reads the 64 bytes that end at the chunk's end into a row
// followed by 64 zero bytes, and is loaded from the row at 64 - k. Chunks
// shorter than 64 bytes are copied into a zero-padded row first.
#include <immintrin.h>

#include <cstring>
#include <utility>

#include "chunking/kernels.h"

namespace dupcut {

#define TGT __attribute__((target("avx2")))
#define TGT_INLINE __attribute__((target("avx2"), always_inline)) inline

namespace {

TGT_INLINE __m256i rol(__m256i x, int r) {
  if (r == 16) return _mm256_shuffle_epi8(x, _mm256_setr_epi8(2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13, 2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13));
  return _mm256_or_si256(_mm256_slli_epi32(x, r), _mm256_srli_epi32(x, 32 - r));
}

TGT_INLINE __m256i ld(const void* p) { return _mm256_load_si256(static_cast<const __m256i*>(p)); }
TGT_INLINE void st(void* p, __m256i v) { _mm256_store_si256(static_cast<__m256i*>(p), v); }

// The additive constants, step by step, eight copies each; I's less one
// (see POST_I).
struct add_rows {
  uint32_t v[64][8];
};
constexpr add_rows spread() {
  add_rows r{};
  for (int t = 0; t < 64; t++)
    for (int i = 0; i < 8; i++) r.v[t][i] = md5_step_add[t] - (t >= 48);
  return r;
}
alignas(32) constexpr add_rows step_rows = spread();
const uint32_t (&step_add)[64][8] = step_rows.v;

// a + x + t does not wait for the previous step; the barrier stops the
// compiler from reassociating it behind f and lengthening the chain.
TGT_INLINE __m256i settled(__m256i v) {
  asm("" : "+x"(v));
  return v;
}

// Each round's function as the part that waits for b (post) and the part
// that does not (pre), added separately: G's two terms have no bits in
// common, so their OR is their sum. I = c ^ (b | ~d) = ~(c ^ (~b & d)),
// and adding ~v is subtracting v + 1: two operations instead of three.
#define PRE_0(b, c, d) _mm256_setzero_si256()
#define PRE_G(b, c, d) _mm256_andnot_si256(d, c)
#define POST_F(b, c, d) _mm256_xor_si256(d, _mm256_and_si256(b, _mm256_xor_si256(c, d)))
#define POST_G(b, c, d) _mm256_and_si256(b, d)
#define POST_H(b, c, d) _mm256_xor_si256(b, _mm256_xor_si256(c, d))
#define POST_I(b, c, d) _mm256_xor_si256(c, _mm256_andnot_si256(b, d))
#define SUM_F _mm256_add_epi32
#define SUM_G _mm256_add_epi32
#define SUM_H _mm256_add_epi32
#define SUM_I _mm256_sub_epi32
#define PRE_F PRE_0
#define PRE_H PRE_0
#define PRE_I PRE_0

// Side job j of J runs after step 4 + 52j / J: spread out, and done a few
// steps before the end.
template <int J, int t, class Job, int... j>
TGT_INLINE void jobs_after(Job& job, std::integer_sequence<int, j...>) {
  ((4 + j * 52 / J == t ? job(j) : void()), ...);
}

#define V_STEP(f, a, b, c, d, w, t, r)                                                                     \
  for (int g = 0; g < G; g++) {                                                                            \
    const __m256i s = settled(_mm256_add_epi32(                                                            \
        _mm256_add_epi32(a[g], _mm256_add_epi32(X[16 * g + w], ld(K + 8 * t))), PRE_##f(b[g], c[g], d[g]))); \
    a[g] = _mm256_add_epi32(b[g], rol(SUM_##f(s, POST_##f(b[g], c[g], d[g])), r));                         \
  }                                                                                                        \
  jobs_after<J, t>(job, std::make_integer_sequence<int, J>{})

// G independent sets of eight buffers, word w of set g in X[16g + w];
// words 0..3 take the result. job(0) .. job(J - 1) run between the steps.
template <int G, int J, class Job>
TGT_INLINE void compress(__m256i* X, Job&& job) {
  // Read through an opaque pointer, the constants stay memory operands
  // instead of being rebuilt in registers every step.
  const uint32_t* K = step_add[0];
  asm("" : "+r"(K));
  const __m256i a0 = _mm256_set1_epi32(0x67452301), b0 = _mm256_set1_epi32(int(0xEFCDAB89u)),
                c0 = _mm256_set1_epi32(int(0x98BADCFEu)), d0 = _mm256_set1_epi32(0x10325476);
  __m256i a[G], b[G], c[G], d[G];
  for (int g = 0; g < G; g++) a[g] = a0, b[g] = b0, c[g] = c0, d[g] = d0;
  V_STEP(F, a, b, c, d, 0, 0, 7);
  V_STEP(F, d, a, b, c, 1, 1, 12);
  V_STEP(F, c, d, a, b, 2, 2, 17);
  V_STEP(F, b, c, d, a, 3, 3, 22);
  V_STEP(F, a, b, c, d, 4, 4, 7);
  V_STEP(F, d, a, b, c, 5, 5, 12);
  V_STEP(F, c, d, a, b, 6, 6, 17);
  V_STEP(F, b, c, d, a, 7, 7, 22);
  V_STEP(F, a, b, c, d, 8, 8, 7);
  V_STEP(F, d, a, b, c, 9, 9, 12);
  V_STEP(F, c, d, a, b, 10, 10, 17);
  V_STEP(F, b, c, d, a, 11, 11, 22);
  V_STEP(F, a, b, c, d, 12, 12, 7);
  V_STEP(F, d, a, b, c, 13, 13, 12);
  V_STEP(F, c, d, a, b, 14, 14, 17);
  V_STEP(F, b, c, d, a, 15, 15, 22);

  V_STEP(G, a, b, c, d, 1, 16, 5);
  V_STEP(G, d, a, b, c, 6, 17, 9);
  V_STEP(G, c, d, a, b, 11, 18, 14);
  V_STEP(G, b, c, d, a, 0, 19, 20);
  V_STEP(G, a, b, c, d, 5, 20, 5);
  V_STEP(G, d, a, b, c, 10, 21, 9);
  V_STEP(G, c, d, a, b, 15, 22, 14);
  V_STEP(G, b, c, d, a, 4, 23, 20);
  V_STEP(G, a, b, c, d, 9, 24, 5);
  V_STEP(G, d, a, b, c, 14, 25, 9);
  V_STEP(G, c, d, a, b, 3, 26, 14);
  V_STEP(G, b, c, d, a, 8, 27, 20);
  V_STEP(G, a, b, c, d, 13, 28, 5);
  V_STEP(G, d, a, b, c, 2, 29, 9);
  V_STEP(G, c, d, a, b, 7, 30, 14);
  V_STEP(G, b, c, d, a, 12, 31, 20);

  V_STEP(H, a, b, c, d, 5, 32, 4);
  V_STEP(H, d, a, b, c, 8, 33, 11);
  V_STEP(H, c, d, a, b, 11, 34, 16);
  V_STEP(H, b, c, d, a, 14, 35, 23);
  V_STEP(H, a, b, c, d, 1, 36, 4);
  V_STEP(H, d, a, b, c, 4, 37, 11);
  V_STEP(H, c, d, a, b, 7, 38, 16);
  V_STEP(H, b, c, d, a, 10, 39, 23);
  V_STEP(H, a, b, c, d, 13, 40, 4);
  V_STEP(H, d, a, b, c, 0, 41, 11);
  V_STEP(H, c, d, a, b, 3, 42, 16);
  V_STEP(H, b, c, d, a, 6, 43, 23);
  V_STEP(H, a, b, c, d, 9, 44, 4);
  V_STEP(H, d, a, b, c, 12, 45, 11);
  V_STEP(H, c, d, a, b, 15, 46, 16);
  V_STEP(H, b, c, d, a, 2, 47, 23);

  V_STEP(I, a, b, c, d, 0, 48, 6);
  V_STEP(I, d, a, b, c, 7, 49, 10);
  V_STEP(I, c, d, a, b, 14, 50, 15);
  V_STEP(I, b, c, d, a, 5, 51, 21);
  V_STEP(I, a, b, c, d, 12, 52, 6);
  V_STEP(I, d, a, b, c, 3, 53, 10);
  V_STEP(I, c, d, a, b, 10, 54, 15);
  V_STEP(I, b, c, d, a, 1, 55, 21);
  V_STEP(I, a, b, c, d, 8, 56, 6);
  V_STEP(I, d, a, b, c, 15, 57, 10);
  V_STEP(I, c, d, a, b, 6, 58, 15);
  V_STEP(I, b, c, d, a, 13, 59, 21);
  V_STEP(I, a, b, c, d, 4, 60, 6);
  V_STEP(I, d, a, b, c, 11, 61, 10);
  V_STEP(I, c, d, a, b, 2, 62, 15);
  V_STEP(I, b, c, d, a, 9, 63, 21);

  for (int g = 0; g < G; g++) {
    __m256i* x = X + 16 * g;
    x[0] = _mm256_xor_si256(x[0], _mm256_add_epi32(a[g], a0));
    x[1] = _mm256_xor_si256(x[1], _mm256_add_epi32(b[g], b0));
    x[2] = _mm256_xor_si256(x[2], _mm256_add_epi32(c[g], c0));
    x[3] = _mm256_xor_si256(x[3], _mm256_add_epi32(d[g], d0));
  }
}

#undef PRE_0
#undef PRE_F
#undef PRE_G
#undef PRE_H
#undef PRE_I
#undef POST_F
#undef POST_G
#undef POST_H
#undef POST_I
#undef SUM_F
#undef SUM_G
#undef SUM_H
#undef SUM_I
#undef V_STEP

// The chunks still to hand out.
struct chunk_source {
  const uint8_t* const* p;
  const uint32_t* len;
  uint32_t n, next;
};

// Where idle lanes read.
alignas(64) const uint8_t idle_row[64] = {};

// Eight lanes. Per lane: where its bytes start (the chunk, a zero-padded
// copy of a short one, or idle_row), the offset of its next group, bytes
// still to absorb, and pad: 64 where 64 bytes from the group on are
// readable whatever is left (a copy, idle_row), else 0. setup sizes the
// next group into from .. keep for the loads.
struct lanes {
  alignas(32) const uint8_t* start[8];
  alignas(32) uint32_t off[8];
  alignas(32) uint32_t left[8];
  alignas(32) uint32_t pad[8];
  alignas(32) uint32_t length[8];
  alignas(32) uint32_t chunk[8];
  alignas(32) const uint8_t* from[8];  // a last group's 64 bytes, for tail
  alignas(32) const uint8_t* rd[8];    // the group's 64 bytes
  alignas(32) uint32_t cnt[8];         // group size, in the top byte
  alignas(32) uint32_t keep[8];        // all ones where the buffer carries on
  uint32_t active, done;               // lane bits: with a chunk; group ends it
  alignas(32) uint8_t copy[8][64];
  alignas(32) uint8_t tail[8][128];  // upper halves stay zero
};

TGT_INLINE __m256i lane_mask(uint32_t f) {
  const __m256i bit = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
  return _mm256_cmpeq_epi32(_mm256_and_si256(_mm256_set1_epi32(int(f)), bit), bit);
}

// rank_tab[f][l]: how many lanes below lane l are in f.
struct rank_rows {
  uint8_t r[256][8];
};
constexpr rank_rows ranks() {
  rank_rows t{};
  for (int f = 0; f < 256; f++)
    for (int l = 0, c = 0; l < 8; l++) {
      t.r[f][l] = uint8_t(c);
      c += f >> l & 1;
    }
  return t;
}
alignas(8) constexpr rank_rows rank_tab = ranks();

// Lanes in free take the next chunks in order, one at a time; lanes left
// without one go idle. For the batch's last few chunks.
TGT __attribute__((noinline)) void refill_last(lanes& g, uint32_t free, chunk_source& src) {
  for (; free; free &= free - 1) {
    const int l = __builtin_ctz(free);
    g.off[l] = 0;
    if (src.next == src.n) {
      g.active &= ~(1u << l);
      g.start[l] = idle_row;
      g.left[l] = 0;
      g.pad[l] = 64;
      continue;
    }
    const uint32_t i = src.next++, n = src.len[i];
    g.active |= 1u << l;
    g.left[l] = g.length[l] = n;
    g.chunk[l] = i;
    g.start[l] = src.p[i];
    g.pad[l] = 0;
    if (n < 64) {
      std::memset(g.copy[l], 0, 64);
      if (n) std::memcpy(g.copy[l], src.p[i], n);
      g.start[l] = g.copy[l];
      g.pad[l] = 64;
    }
  }
}

constexpr uint32_t ahead = 24;

// Lanes in free take the next chunks in order: lane l the one its rank
// among them gives. All in vectors, so that setup's vector loads of the
// lane state find it written whole.
TGT_INLINE void refill(lanes& g, uint32_t free, chunk_source& src) {
  const uint32_t i = src.next;
  if (src.n - i < 8) return refill_last(g, free, src);
  const __m256i rank = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(rank_tab.r[free])));
  const __m256i take = lane_mask(free);
  const __m256i L = _mm256_permutevar8x32_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(src.len + i)), rank);
  const __m256i shrt = _mm256_and_si256(take, _mm256_cmpgt_epi32(_mm256_set1_epi32(64), L));
  st(g.left, _mm256_blendv_epi8(ld(g.left), L, take));
  st(g.length, _mm256_blendv_epi8(ld(g.length), L, take));
  st(g.chunk, _mm256_blendv_epi8(ld(g.chunk), _mm256_add_epi32(_mm256_set1_epi32(int(i)), rank), take));
  st(g.off, _mm256_andnot_si256(take, ld(g.off)));
  st(g.pad, _mm256_blendv_epi8(ld(g.pad), _mm256_and_si256(shrt, _mm256_set1_epi32(64)), take));
  const __m256i Pa = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src.p + i));
  const __m256i Pb = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src.p + i + 4));
  const __m256i cb = _mm256_set1_epi64x(int64_t(reinterpret_cast<uintptr_t>(g.copy[0])));
  for (int h = 0; h < 2; h++) {
    const __m256i r = _mm256_cvtepu32_epi64(h ? _mm256_extracti128_si256(rank, 1) : _mm256_castsi256_si128(rank));
    const __m256i r2 = _mm256_slli_epi64(r, 1);
    const __m256i d = _mm256_or_si256(r2, _mm256_slli_epi64(_mm256_add_epi64(r2, _mm256_set1_epi64x(1)), 32));
    __m256i P = _mm256_blendv_epi8(_mm256_permutevar8x32_epi32(Pa, d), _mm256_permutevar8x32_epi32(Pb, d),
                                   _mm256_cmpgt_epi64(r, _mm256_set1_epi64x(3)));
    const __m256i c = _mm256_add_epi64(cb, _mm256_setr_epi64x(64 * (4 * h), 64 * (4 * h + 1), 64 * (4 * h + 2), 64 * (4 * h + 3)));
    P = _mm256_blendv_epi8(P, c, _mm256_cvtepi32_epi64(h ? _mm256_extracti128_si256(shrt, 1) : _mm256_castsi256_si128(shrt)));
    const __m256i t = _mm256_cvtepi32_epi64(h ? _mm256_extracti128_si256(take, 1) : _mm256_castsi256_si128(take));
    st(g.start + 4 * h, _mm256_blendv_epi8(ld(g.start + 4 * h), P, t));
  }
  g.active |= free;
  const uint32_t r = uint32_t(__builtin_popcount(free));
  src.next += r;
  // The chunks a few rounds ahead: sixteen lanes wander over a few KiB,
  // which the hardware prefetchers do not follow.
  for (uint32_t j = i; j < i + r; j++) {
    const uint8_t* f = src.p[j + ahead < src.n ? j + ahead : src.n - 1];
    _mm_prefetch(reinterpret_cast<const char*>(f), _MM_HINT_T0);
    _mm_prefetch(reinterpret_cast<const char*>(f) + 64, _MM_HINT_T0);
    _mm_prefetch(reinterpret_cast<const char*>(f) + 128, _MM_HINT_T0);
  }
  // Chunks shorter than 64 bytes (rare but for the last) into their copies.
  for (uint32_t s = uint32_t(_mm256_movemask_ps(_mm256_castsi256_ps(shrt))); s; s &= s - 1) {
    const int l = __builtin_ctz(s);
    const uint32_t j = i + rank_tab.r[free][l];
    std::memset(g.copy[l], 0, 64);
    if (src.len[j]) std::memcpy(g.copy[l], src.p[j], src.len[j]);
  }
}

// Sizes the lanes' next group: up to 63 bytes, fewer only at the chunk's
// end, none for an idle lane. fresh: lanes whose buffer starts from zero.
TGT_INLINE void setup(lanes& g, uint32_t fresh) {
  const __m256i L = ld(g.left), O = ld(g.off);
  const __m256i k = _mm256_min_epu32(L, _mm256_set1_epi32(63));
  // full: 64 bytes readable from the group on; else m = 64 - k.
  const __m256i full = _mm256_cmpgt_epi32(_mm256_add_epi32(L, ld(g.pad)), _mm256_set1_epi32(63));
  const __m256i m = _mm256_andnot_si256(full, _mm256_sub_epi32(_mm256_set1_epi32(64), k));
  const __m256i fo = _mm256_sub_epi32(O, m);
  const __m256i tb = _mm256_set1_epi64x(int64_t(reinterpret_cast<uintptr_t>(g.tail[0])));
  for (int h = 0; h < 2; h++) {
    const __m128i fo_h = h ? _mm256_extracti128_si256(fo, 1) : _mm256_castsi256_si128(fo);
    const __m128i m_h = h ? _mm256_extracti128_si256(m, 1) : _mm256_castsi256_si128(m);
    const __m128i full_h = h ? _mm256_extracti128_si256(full, 1) : _mm256_castsi256_si128(full);
    const __m256i f = _mm256_add_epi64(ld(g.start + 4 * h), _mm256_cvtepu32_epi64(fo_h));
    const __m256i lane = _mm256_setr_epi64x(128 * (4 * h), 128 * (4 * h + 1), 128 * (4 * h + 2), 128 * (4 * h + 3));
    const __m256i t = _mm256_add_epi64(_mm256_add_epi64(tb, lane), _mm256_cvtepu32_epi64(m_h));
    st(g.from + 4 * h, f);
    st(g.rd + 4 * h, _mm256_blendv_epi8(t, f, _mm256_cvtepi32_epi64(full_h)));
  }
  st(g.cnt, _mm256_slli_epi32(k, 24));
  const __m256i nl = _mm256_sub_epi32(L, k);
  st(g.left, nl);
  st(g.off, _mm256_add_epi32(O, k));
  const uint32_t zero = uint32_t(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(nl, _mm256_setzero_si256()))));
  g.done = zero & g.active;
  st(g.keep, _mm256_xor_si256(lane_mask(fresh), _mm256_set1_epi32(-1)));
}

// Each lane's 64 bytes that end at its chunk's end, into its tail row
// (needed only by last groups, copied for all: no branch to mispredict).
// Done a while before the loads from the row, so they find it written.
TGT_INLINE void load_tails(lanes& g) {
  for (int l = 0; l < 8; l++) {
    const __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(g.from[l]));
    const __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(g.from[l] + 32));
    st(g.tail[l], lo);
    st(g.tail[l] + 32, hi);
  }
}

// Half h (dwords 8h .. 8h + 7) of the rows setup sized, transposed into
// words in next.
TGT_INLINE void load_half(const lanes& g, int h, __m256i* next) {
  __m256i r[8], t[8];
  for (int l = 0; l < 8; l++)
    r[l] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(g.rd[l] + 32 * h));
  for (int l = 0; l < 8; l += 2) {
    t[l] = _mm256_unpacklo_epi32(r[l], r[l + 1]);
    t[l + 1] = _mm256_unpackhi_epi32(r[l], r[l + 1]);
  }
  // r[q]: lanes 4i .. 4i + 3 (i = q / 4) of words 4j + q % 4 (j: 128-bit half).
  for (int i = 0; i < 8; i += 4) {
    r[i] = _mm256_unpacklo_epi64(t[i], t[i + 2]);
    r[i + 1] = _mm256_unpackhi_epi64(t[i], t[i + 2]);
    r[i + 2] = _mm256_unpacklo_epi64(t[i + 1], t[i + 3]);
    r[i + 3] = _mm256_unpackhi_epi64(t[i + 1], t[i + 3]);
  }
  for (int q = 0; q < 4; q++) {
    next[8 * h + q] = _mm256_permute2x128_si256(r[q], r[4 + q], 0x20);
    next[8 * h + 4 + q] = _mm256_permute2x128_si256(r[q], r[4 + q], 0x31);
  }
}

// The loaded words XORed into the buffers: from cur, or into zero for
// fresh lanes; the count goes into byte 63, whatever was loaded there
// leaves. Words 0..3 change in the compression still reading cur, so
// merge() finishes them after it.
TGT_INLINE void place(const lanes& g, const __m256i* cur, __m256i* next) {
  const __m256i keep = ld(g.keep);
  for (int w = 4; w < 15; w++) next[w] = _mm256_xor_si256(next[w], _mm256_and_si256(cur[w], keep));
  next[15] = _mm256_or_si256(
      _mm256_and_si256(_mm256_xor_si256(next[15], _mm256_and_si256(cur[15], keep)), _mm256_set1_epi32(0x00FFFFFF)),
      ld(g.cnt));
}

TGT_INLINE void merge(const lanes& g, const __m256i* cur, __m256i* next) {
  const __m256i keep = ld(g.keep);
  for (int w = 0; w < 4; w++) next[w] = _mm256_xor_si256(next[w], _mm256_and_si256(cur[w], keep));
}

// The lanes' ended chunks, kept while the lanes move on to new ones.
struct ended {
  uint32_t which;
  __m256i length, chunk;
};

// Moves the lanes on: new chunks for those whose chunk the group in the
// buffers ends, and the group after it sized.
TGT_INLINE ended advance(lanes& g, chunk_source& src) {
  const ended e{g.done, ld(g.length), ld(g.chunk)};
  if (g.done) refill(g, g.done, src);
  setup(g, e.which);
  return e;
}

// After the compression: the keys of the ended chunks, words 0..3 with the
// length in bytes 14..15.
TGT_INLINE void emit(const ended& e, const __m256i* X, chunk_key* out) {
  if (!e.which) return;
  // Lane l's key lands in keys[(l & 3) * 2 + l / 4].
  alignas(32) chunk_key keys[8];
  alignas(32) uint32_t idx[8];
  const __m256i w3 = _mm256_or_si256(_mm256_and_si256(X[3], _mm256_set1_epi32(0xFFFF)), _mm256_slli_epi32(e.length, 16));
  const __m256i t0 = _mm256_unpacklo_epi32(X[0], X[1]), t1 = _mm256_unpackhi_epi32(X[0], X[1]);
  const __m256i t2 = _mm256_unpacklo_epi32(X[2], w3), t3 = _mm256_unpackhi_epi32(X[2], w3);
  st(keys, _mm256_unpacklo_epi64(t0, t2));
  st(keys + 2, _mm256_unpackhi_epi64(t0, t2));
  st(keys + 4, _mm256_unpacklo_epi64(t1, t3));
  st(keys + 6, _mm256_unpackhi_epi64(t1, t3));
  st(idx, e.chunk);
  for (uint32_t d = e.which; d; d &= d - 1) {
    const uint32_t l = uint32_t(__builtin_ctz(d));
    out[idx[l]] = keys[(l & 3) * 2 + (l >> 2)];
  }
}

// When the lanes at work fit in one set: moves those of the second into
// the first's idle lanes. Only the state a round starts from moves: the
// buffers, where the chunk goes on, and whether this group ends it.
TGT __attribute__((noinline)) void migrate(lanes* g, __m256i* cur) {
  const int s = __builtin_popcount(g[1].active) <= __builtin_popcount(g[0].active) ? 1 : 0, d = 1 - s;
  alignas(32) uint32_t word[2][16][8];
  for (int i = 0; i < 2; i++)
    for (int w = 0; w < 16; w++) st(word[i][w], cur[16 * i + w]);
  uint32_t from = g[s].active, to = ~g[d].active & 0xFF;
  for (; from; from &= from - 1, to &= to - 1) {
    const int sl = __builtin_ctz(from), dl = __builtin_ctz(to);
    for (int w = 0; w < 16; w++) word[d][w][dl] = word[s][w][sl];
    g[d].start[dl] = g[s].start[sl];
    g[d].off[dl] = g[s].off[sl];
    g[d].left[dl] = g[s].left[sl];
    g[d].pad[dl] = g[s].pad[sl];
    g[d].length[dl] = g[s].length[sl];
    g[d].chunk[dl] = g[s].chunk[sl];
    g[d].active |= 1u << dl;
    g[d].done |= (g[s].done >> sl & 1u) << dl;
  }
  g[s].active = 0;
  for (int i = 0; i < 2; i++)
    for (int w = 0; w < 16; w++) cur[16 * i + w] = ld(word[i][w]);
}

// Rounds over G sets while every set has lanes at work. A round compresses
// the buffers in cur while building the next round's in next. Then on with
// the set still at work.
template <int G>
TGT_INLINE void run(lanes* g, __m256i* cur, __m256i* next, chunk_source& src, chunk_key* out) {
  for (;;) {
    bool all = true;
    int at_work = 0;
    for (int i = 0; i < G; i++) all = all && g[i].active, at_work += __builtin_popcount(g[i].active);
    if (!all) break;
    if (G > 1 && at_work <= 8) {
      migrate(g, cur);
      break;
    }
    ended e[G];
    for (int i = 0; i < G; i++) e[i] = advance(g[i], src);
    compress<G, 4 * G>(cur, [&](int j) TGT __attribute__((always_inline)) {
      const int i = j / 4;
      if (j % 4 == 0)
        load_tails(g[i]);
      else if (j % 4 < 3)
        load_half(g[i], j % 4 - 1, next + 16 * i);
      else
        place(g[i], cur + 16 * i, next + 16 * i);
    });
    for (int i = 0; i < G; i++) {
      merge(g[i], cur + 16 * i, next + 16 * i);
      emit(e[i], cur + 16 * i, out);
    }
    std::swap(cur, next);
  }
  if constexpr (G > 1) {
    if (!g[0].active) {
      g[0] = g[1];
      for (int w = 0; w < 16; w++) cur[w] = cur[16 + w];
    }
    if (g[0].active) run<1>(g, cur, next, src, out);
  }
}

}  // namespace

TGT void digest_keys_avx2(const uint8_t* const* p, const uint32_t* len, chunk_key* out, uint32_t n) {
  constexpr int sets = 2;
  chunk_source src{p, len, n, 0};
  lanes g[sets];
  __m256i buf[2][16 * sets];
  for (int i = 0; i < sets; i++) {
    lanes& l = g[i];
    std::memset(&l, 0, sizeof l);
    refill_last(l, 0xFF, src);
    setup(l, 0xFF);
    load_tails(l);
    for (int w = 0; w < 16; w++) buf[1][16 * i + w] = _mm256_setzero_si256();
    load_half(l, 0, buf[0] + 16 * i);
    load_half(l, 1, buf[0] + 16 * i);
    place(l, buf[1] + 16 * i, buf[0] + 16 * i);
    merge(l, buf[1] + 16 * i, buf[0] + 16 * i);
  }
  run<sets>(g, buf[0], buf[1], src, out);
}

}  // namespace dupcut
