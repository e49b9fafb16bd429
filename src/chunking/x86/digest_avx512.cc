// Chunk digests sixteen at a time: one chunk per 32-bit lane of an AVX-512
// register, each lane refilled with the next chunk as soon as its chunk
// ends, so lanes of very different lengths do not wait for each other.
// The per-lane work is the scalar construction exactly: XOR 63 bytes into
// the 64-byte buffer, set the count byte, compress, XOR the result in.
//
// One compression is a serial chain that leaves most of the vector units
// idle, so up to three groups of sixteen lanes are compressed interleaved,
// and each group's next 63 bytes per lane are loaded and transposed into
// word order between the steps of the current compression. When chunks run
// out, lanes still at work are gathered into fewer groups, so the last
// long chunks of a batch do not drag idle groups along.
// GCC 12 warns about the deliberately undefined pass-through operand inside
// its own AVX-512 intrinsic headers.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "chunking/kernels.h"

namespace dupcut {

#define TGT __attribute__((target("avx512f,avx512bw,bmi2")))
#define TGT_INLINE __attribute__((target("avx512f,avx512bw,bmi2"), always_inline)) inline

namespace {

TGT_INLINE __m512i rol(__m512i x, int r) {
  switch (r) {  // the rotate takes an immediate
#define R(n) \
  case n:    \
    return _mm512_rol_epi32(x, n);
    R(4) R(5) R(6) R(7) R(9) R(10) R(11) R(12) R(14) R(15) R(16) R(17) R(20) R(21) R(22) R(23)
#undef R
  }
  __builtin_unreachable();
}

constexpr const uint32_t (&step_add)[64] = md5_step_add;

// a + x + t does not wait for the previous step; the barrier stops the
// compiler from reassociating it behind f and lengthening the chain.
TGT_INLINE __m512i settled(__m512i v) {
  asm("" : "+v"(v));
  return v;
}

// F = x ? y : z, G = z ? x : y, H = x ^ y ^ z, I = y ^ (x | ~z), as
// three-input truth tables.
#define V_F(x, y, z) _mm512_ternarylogic_epi32(x, y, z, 0xCA)
#define V_G(x, y, z) _mm512_ternarylogic_epi32(x, y, z, 0xE4)
#define V_H(x, y, z) _mm512_ternarylogic_epi32(x, y, z, 0x96)
#define V_I(x, y, z) _mm512_ternarylogic_epi32(x, y, z, 0x39)
// Side job j of J runs after step 4 + 52j / J: spread out, and done a few
// steps before the end.
template <int J, int t, class Job, int... j>
TGT_INLINE void jobs_after(Job& job, std::integer_sequence<int, j...>) {
  ((4 + j * 52 / J == t ? job(j) : void()), ...);
}

// One step for each of the G groups, interleaved, then whichever side job
// falls due.
#define V_STEP(f, a, b, c, d, w, t, r)                                                                        \
  for (int g = 0; g < G; g++)                                                                                 \
    a[g] = _mm512_add_epi32(                                                                                  \
        b[g], rol(_mm512_add_epi32(f(b[g], c[g], d[g]),                                                       \
                                   settled(_mm512_add_epi32(                                                  \
                                       a[g], _mm512_add_epi32(X[16 * g + w], _mm512_set1_epi32(int(K[t])))))), \
                  r));                                                                                        \
  jobs_after<J, t>(job, std::make_integer_sequence<int, J>{})

// G independent groups of sixteen buffers, word w of group g in X[16g + w];
// words 0..3 take the result. job(0) .. job(J - 1) run between the steps:
// work that does not write X fills the vector units the serial chains
// leave idle.
template <int G, int J, class Job>
TGT_INLINE void compress(__m512i* X, Job&& job) {
  // Read through an opaque pointer, the constants stay broadcast memory
  // operands instead of being rebuilt in registers every step.
  const uint32_t* K = step_add;
  asm("" : "+r"(K));
  const __m512i a0 = _mm512_set1_epi32(0x67452301), b0 = _mm512_set1_epi32(int(0xEFCDAB89u)),
                c0 = _mm512_set1_epi32(int(0x98BADCFEu)), d0 = _mm512_set1_epi32(0x10325476);
  __m512i a[G], b[G], c[G], d[G];
  for (int g = 0; g < G; g++) a[g] = a0, b[g] = b0, c[g] = c0, d[g] = d0;
  V_STEP(V_F, a, b, c, d, 0, 0, 7);
  V_STEP(V_F, d, a, b, c, 1, 1, 12);
  V_STEP(V_F, c, d, a, b, 2, 2, 17);
  V_STEP(V_F, b, c, d, a, 3, 3, 22);
  V_STEP(V_F, a, b, c, d, 4, 4, 7);
  V_STEP(V_F, d, a, b, c, 5, 5, 12);
  V_STEP(V_F, c, d, a, b, 6, 6, 17);
  V_STEP(V_F, b, c, d, a, 7, 7, 22);
  V_STEP(V_F, a, b, c, d, 8, 8, 7);
  V_STEP(V_F, d, a, b, c, 9, 9, 12);
  V_STEP(V_F, c, d, a, b, 10, 10, 17);
  V_STEP(V_F, b, c, d, a, 11, 11, 22);
  V_STEP(V_F, a, b, c, d, 12, 12, 7);
  V_STEP(V_F, d, a, b, c, 13, 13, 12);
  V_STEP(V_F, c, d, a, b, 14, 14, 17);
  V_STEP(V_F, b, c, d, a, 15, 15, 22);

  V_STEP(V_G, a, b, c, d, 1, 16, 5);
  V_STEP(V_G, d, a, b, c, 6, 17, 9);
  V_STEP(V_G, c, d, a, b, 11, 18, 14);
  V_STEP(V_G, b, c, d, a, 0, 19, 20);
  V_STEP(V_G, a, b, c, d, 5, 20, 5);
  V_STEP(V_G, d, a, b, c, 10, 21, 9);
  V_STEP(V_G, c, d, a, b, 15, 22, 14);
  V_STEP(V_G, b, c, d, a, 4, 23, 20);
  V_STEP(V_G, a, b, c, d, 9, 24, 5);
  V_STEP(V_G, d, a, b, c, 14, 25, 9);
  V_STEP(V_G, c, d, a, b, 3, 26, 14);
  V_STEP(V_G, b, c, d, a, 8, 27, 20);
  V_STEP(V_G, a, b, c, d, 13, 28, 5);
  V_STEP(V_G, d, a, b, c, 2, 29, 9);
  V_STEP(V_G, c, d, a, b, 7, 30, 14);
  V_STEP(V_G, b, c, d, a, 12, 31, 20);

  V_STEP(V_H, a, b, c, d, 5, 32, 4);
  V_STEP(V_H, d, a, b, c, 8, 33, 11);
  V_STEP(V_H, c, d, a, b, 11, 34, 16);
  V_STEP(V_H, b, c, d, a, 14, 35, 23);
  V_STEP(V_H, a, b, c, d, 1, 36, 4);
  V_STEP(V_H, d, a, b, c, 4, 37, 11);
  V_STEP(V_H, c, d, a, b, 7, 38, 16);
  V_STEP(V_H, b, c, d, a, 10, 39, 23);
  V_STEP(V_H, a, b, c, d, 13, 40, 4);
  V_STEP(V_H, d, a, b, c, 0, 41, 11);
  V_STEP(V_H, c, d, a, b, 3, 42, 16);
  V_STEP(V_H, b, c, d, a, 6, 43, 23);
  V_STEP(V_H, a, b, c, d, 9, 44, 4);
  V_STEP(V_H, d, a, b, c, 12, 45, 11);
  V_STEP(V_H, c, d, a, b, 15, 46, 16);
  V_STEP(V_H, b, c, d, a, 2, 47, 23);

  V_STEP(V_I, a, b, c, d, 0, 48, 6);
  V_STEP(V_I, d, a, b, c, 7, 49, 10);
  V_STEP(V_I, c, d, a, b, 14, 50, 15);
  V_STEP(V_I, b, c, d, a, 5, 51, 21);
  V_STEP(V_I, a, b, c, d, 12, 52, 6);
  V_STEP(V_I, d, a, b, c, 3, 53, 10);
  V_STEP(V_I, c, d, a, b, 10, 54, 15);
  V_STEP(V_I, b, c, d, a, 1, 55, 21);
  V_STEP(V_I, a, b, c, d, 8, 56, 6);
  V_STEP(V_I, d, a, b, c, 15, 57, 10);
  V_STEP(V_I, c, d, a, b, 6, 58, 15);
  V_STEP(V_I, b, c, d, a, 13, 59, 21);
  V_STEP(V_I, a, b, c, d, 4, 60, 6);
  V_STEP(V_I, d, a, b, c, 11, 61, 10);
  V_STEP(V_I, c, d, a, b, 2, 62, 15);
  V_STEP(V_I, b, c, d, a, 9, 63, 21);

  for (int g = 0; g < G; g++) {
    __m512i* x = X + 16 * g;
    x[0] = _mm512_xor_si512(x[0], _mm512_add_epi32(a[g], a0));
    x[1] = _mm512_xor_si512(x[1], _mm512_add_epi32(b[g], b0));
    x[2] = _mm512_xor_si512(x[2], _mm512_add_epi32(c[g], c0));
    x[3] = _mm512_xor_si512(x[3], _mm512_add_epi32(d[g], d0));
  }
}

#undef V_F
#undef V_G
#undef V_H
#undef V_I
#undef V_STEP

// The chunks still to hand out.
struct chunk_source {
  const uint8_t* const* p;
  const uint32_t* len;
  uint32_t n, next;
};

// Where lanes without bytes to load point: a masked-out load from an
// unmapped address costs a fault-suppression assist, one from here costs
// nothing.
alignas(64) const uint8_t idle_row[64] = {};

// Sixteen lanes. Per lane: bytes still to absorb, the chunk's length and
// index, and where its next group of bytes starts (lanes 0..7 in at_lo,
// 8..15 in at_hi). mask and at size the next group; `active` are the lanes
// that have one, `done` those whose chunk it ends.
struct lanes {
  __m512i left, length, chunk, at_lo, at_hi;
  __m512i count;  // of the next group, in the top byte
  __mmask16 active, done;
  __mmask16 fresh;  // lanes whose next buffer starts from zero
  alignas(64) uint64_t mask[16];
  alignas(64) const uint8_t* at[16];
};

// The lowest free lanes take the next chunks in order; lanes left without
// one go idle.
TGT_INLINE void refill(lanes& g, __mmask16 free, chunk_source& src) {
  const uint32_t r = std::min<uint32_t>(uint32_t(__builtin_popcount(free)), src.n - src.next);
  const __mmask16 take = __mmask16(_pdep_u32((1u << r) - 1, free));
  const uint32_t rlo = uint32_t(__builtin_popcount(take & 0xFF));
  const uint32_t first = src.next;
  const __m512i iota = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  const __m512i idle = _mm512_set1_epi64(int64_t(reinterpret_cast<uintptr_t>(idle_row)));
  const __m512i L = _mm512_maskz_expand_epi32(take, _mm512_maskz_loadu_epi32(__mmask16((1u << r) - 1), src.len + first));
  const __m512i P_lo = _mm512_maskz_loadu_epi64(__mmask8((1u << rlo) - 1), src.p + first);
  const __m512i P_hi = _mm512_maskz_loadu_epi64(__mmask8((1u << (r - rlo)) - 1), src.p + first + rlo);
  // Free lanes that get no chunk, and empty chunks, load from idle_row.
  const __mmask16 empty = __mmask16(_mm512_cmpeq_epi32_mask(L, _mm512_setzero_si512()) & free);
  g.left = _mm512_mask_mov_epi32(g.left, free, L);
  g.length = _mm512_mask_mov_epi32(g.length, free, L);
  g.chunk = _mm512_mask_expand_epi32(g.chunk, take, _mm512_add_epi32(_mm512_set1_epi32(int(first)), iota));
  g.at_lo = _mm512_mask_mov_epi64(_mm512_mask_expand_epi64(g.at_lo, __mmask8(take), P_lo), __mmask8(empty), idle);
  g.at_hi = _mm512_mask_mov_epi64(_mm512_mask_expand_epi64(g.at_hi, __mmask8(take >> 8), P_hi), __mmask8(empty >> 8), idle);
  g.active = __mmask16((g.active & ~free) | take);
  src.next += r;
  // The chunks a round of all lanes ahead: the lanes wander over a few
  // KiB, which the hardware prefetchers do not follow.
  constexpr uint32_t ahead = 48;
  for (uint32_t j = first; j < first + r; j++) {
    const char* f = reinterpret_cast<const char*>(src.p[j + ahead < src.n ? j + ahead : src.n - 1]);
    _mm_prefetch(f, _MM_HINT_T0);
    _mm_prefetch(f + 64, _MM_HINT_T0);
    _mm_prefetch(f + 128, _MM_HINT_T0);
  }
}

// Sizes the lanes' next group: up to 63 bytes, fewer only at the chunk's
// end, none for an idle lane or an empty chunk.
TGT_INLINE void setup(lanes& g) {
  const __m512i ones = _mm512_set1_epi64(-1);
  const __m512i k = _mm512_min_epu32(g.left, _mm512_set1_epi32(63));
  g.left = _mm512_sub_epi32(g.left, k);
  g.done = _mm512_mask_cmpeq_epi32_mask(g.active, g.left, _mm512_setzero_si512());
  g.count = _mm512_slli_epi32(k, 24);
  const __m512i k_lo = _mm512_cvtepu32_epi64(_mm512_castsi512_si256(k));
  const __m512i k_hi = _mm512_cvtepu32_epi64(_mm512_extracti64x4_epi64(k, 1));
  _mm512_store_si512(g.mask, _mm512_andnot_si512(_mm512_sllv_epi64(ones, k_lo), ones));
  _mm512_store_si512(g.mask + 8, _mm512_andnot_si512(_mm512_sllv_epi64(ones, k_hi), ones));
  _mm512_store_si512(g.at, g.at_lo);
  _mm512_store_si512(g.at + 8, g.at_hi);
  g.at_lo = _mm512_add_epi64(g.at_lo, k_lo);
  g.at_hi = _mm512_add_epi64(g.at_hi, k_hi);
  // Kept in memory: scalar loads of each lane's mask and pointer beat
  // extracting them from the vectors.
  asm("" : "+m"(g.mask), "+m"(g.at));
}

// Loads the group setup sized and XORs it into the buffers: from cur into
// next, or into zero for fresh lanes. Words 0..3 change in the compression
// still reading cur, so for them next only gets the bytes, and merge()
// finishes them after it. The count goes into byte 63 (never loaded) while
// the previous count leaves it.
TGT_INLINE void load_group(const lanes& g, const __m512i* cur, __m512i* next) {
  __m512i u[16];
  for (int q = 0; q < 16; q += 4) {
    __m512i r[4];
    for (int i = 0; i < 4; i++) r[i] = _mm512_maskz_loadu_epi8(g.mask[q + i], g.at[q + i]);
    const __m512i t0 = _mm512_unpacklo_epi32(r[0], r[1]), t1 = _mm512_unpackhi_epi32(r[0], r[1]);
    const __m512i t2 = _mm512_unpacklo_epi32(r[2], r[3]), t3 = _mm512_unpackhi_epi32(r[2], r[3]);
    // 128-bit lane j of u[q + i]: dword 4j + i of rows q .. q + 3.
    u[q] = _mm512_unpacklo_epi64(t0, t2);
    u[q + 1] = _mm512_unpackhi_epi64(t0, t2);
    u[q + 2] = _mm512_unpacklo_epi64(t1, t3);
    u[q + 3] = _mm512_unpackhi_epi64(t1, t3);
  }
  const __mmask16 keep = __mmask16(~g.fresh);
  auto put = [&](int w, __m512i T) TGT __attribute__((always_inline)) {
    if (w == 15)
      next[w] = _mm512_mask_ternarylogic_epi32(T, keep, cur[w], _mm512_set1_epi32(0x00FFFFFF), 0x78);
    else
      next[w] = w < 4 ? T : _mm512_mask_xor_epi32(T, keep, cur[w], T);
  };
  for (int i = 0; i < 4; i++) {
    const __m512i e0 = _mm512_shuffle_i32x4(u[i], u[4 + i], 0x88), e1 = _mm512_shuffle_i32x4(u[8 + i], u[12 + i], 0x88);
    const __m512i o0 = _mm512_shuffle_i32x4(u[i], u[4 + i], 0xDD), o1 = _mm512_shuffle_i32x4(u[8 + i], u[12 + i], 0xDD);
    put(i, _mm512_shuffle_i32x4(e0, e1, 0x88));
    put(8 + i, _mm512_shuffle_i32x4(e0, e1, 0xDD));
    put(4 + i, _mm512_shuffle_i32x4(o0, o1, 0x88));
    put(12 + i, i == 3 ? _mm512_or_si512(_mm512_shuffle_i32x4(o0, o1, 0xDD), g.count) : _mm512_shuffle_i32x4(o0, o1, 0xDD));
  }
}

// Words 0..3 of next, once the compression has written them in cur.
TGT_INLINE void merge(const lanes& g, const __m512i* cur, __m512i* next) {
  for (int w = 0; w < 4; w++) next[w] = _mm512_mask_xor_epi32(next[w], __mmask16(~g.fresh), cur[w], next[w]);
}

// The lanes' ended chunks, kept while the lanes move on to new ones.
struct ended {
  __mmask16 which;
  __m512i length, chunk;
};

// Moves the lanes on: new chunks for those whose chunk the group in the
// buffers ends, and the group after it sized.
TGT_INLINE ended advance(lanes& g, chunk_source& src) {
  const ended e{g.done, g.length, g.chunk};
  g.fresh = g.done;
  if (g.done) refill(g, g.done, src);
  setup(g);
  return e;
}

// After the compression: the keys of the ended chunks, words 0..3 with the
// length in bytes 14..15.
TGT_INLINE void emit(const ended& e, const __m512i* X, chunk_key* out) {
  if (!e.which) return;
  // Lane l's key lands in keys[(l & 3) * 4 + l / 4].
  alignas(64) chunk_key keys[16];
  alignas(64) uint32_t idx[16];
  const __m512i w3 = _mm512_ternarylogic_epi32(X[3], _mm512_set1_epi32(0xFFFF), _mm512_slli_epi32(e.length, 16), 0xEA);
  const __m512i t0 = _mm512_unpacklo_epi32(X[0], X[1]), t1 = _mm512_unpackhi_epi32(X[0], X[1]);
  const __m512i t2 = _mm512_unpacklo_epi32(X[2], w3), t3 = _mm512_unpackhi_epi32(X[2], w3);
  _mm512_store_si512(keys, _mm512_unpacklo_epi64(t0, t2));
  _mm512_store_si512(keys + 4, _mm512_unpackhi_epi64(t0, t2));
  _mm512_store_si512(keys + 8, _mm512_unpacklo_epi64(t1, t3));
  _mm512_store_si512(keys + 12, _mm512_unpackhi_epi64(t1, t3));
  _mm512_store_si512(idx, e.chunk);
  for (uint32_t d = e.which; d; d &= d - 1) {
    const uint32_t l = uint32_t(__builtin_ctz(d));
    out[idx[l]] = keys[(l & 3) * 4 + (l >> 2)];
  }
}

// When the lanes at work fit in G - 1 groups: moves those of the group with
// fewest into the others' idle lanes, leaving it empty. Only the state a
// round starts from moves: the buffers, what is left of the chunk, and
// whether this group of bytes ends it.
template <int G>
TGT __attribute__((noinline)) void migrate(lanes* g, __m512i* cur) {
  int s = 0;
  for (int i = 1; i < G; i++)
    if (__builtin_popcount(g[i].active) < __builtin_popcount(g[s].active)) s = i;
  alignas(64) uint32_t word[G][16][16], left[G][16], length[G][16], chunk[G][16];
  alignas(64) const uint8_t* at[G][16];
  for (int i = 0; i < G; i++) {
    for (int w = 0; w < 16; w++) _mm512_store_si512(word[i][w], cur[16 * i + w]);
    _mm512_store_si512(left[i], g[i].left);
    _mm512_store_si512(length[i], g[i].length);
    _mm512_store_si512(chunk[i], g[i].chunk);
    _mm512_store_si512(at[i], g[i].at_lo);
    _mm512_store_si512(at[i] + 8, g[i].at_hi);
  }
  for (int d = 0; d < G; d++) {
    if (d == s) continue;
    uint32_t from = g[s].active, to = ~uint32_t(g[d].active) & 0xFFFF;
    for (; from && to; from &= from - 1, to &= to - 1) {
      const int sl = __builtin_ctz(from), dl = __builtin_ctz(to);
      for (int w = 0; w < 16; w++) word[d][w][dl] = word[s][w][sl];
      left[d][dl] = left[s][sl];
      length[d][dl] = length[s][sl];
      chunk[d][dl] = chunk[s][sl];
      at[d][dl] = at[s][sl];
      g[d].active = __mmask16(g[d].active | 1u << dl);
      g[d].done = __mmask16(g[d].done | (g[s].done >> sl & 1u) << dl);
    }
    g[s].active = __mmask16(from);
  }
  for (int i = 0; i < G; i++) {
    for (int w = 0; w < 16; w++) cur[16 * i + w] = _mm512_load_si512(word[i][w]);
    g[i].left = _mm512_load_si512(left[i]);
    g[i].length = _mm512_load_si512(length[i]);
    g[i].chunk = _mm512_load_si512(chunk[i]);
    g[i].at_lo = _mm512_load_si512(at[i]);
    g[i].at_hi = _mm512_load_si512(at[i] + 8);
  }
}

// Rounds over G groups while every group has lanes at work. A round
// compresses the buffers in cur while building the next round's in next.
// Then on with the groups still at work.
template <int G>
TGT_INLINE void run(lanes* g, __m512i* cur, __m512i* next, chunk_source& src, chunk_key* out) {
  for (;;) {
    bool all = true;
    int at_work = 0;
    for (int i = 0; i < G; i++) all = all && g[i].active, at_work += __builtin_popcount(g[i].active);
    if (!all) break;
    if (G > 1 && at_work <= 16 * (G - 1)) {
      migrate<G>(g, cur);
      break;
    }
    ended e[G];
    for (int i = 0; i < G; i++) e[i] = advance(g[i], src);
    compress<G, G>(cur, [&](int j) TGT __attribute__((always_inline)) { load_group(g[j], cur + 16 * j, next + 16 * j); });
    for (int i = 0; i < G; i++) {
      merge(g[i], cur + 16 * i, next + 16 * i);
      emit(e[i], cur + 16 * i, out);
    }
    std::swap(cur, next);
  }
  if constexpr (G > 1) {
    int m = 0;
    for (int i = 0; i < G; i++) {
      if (!g[i].active) continue;
      if (m != i) {
        g[m] = g[i];
        for (int w = 0; w < 16; w++) cur[16 * m + w] = cur[16 * i + w];
      }
      m++;
    }
    run<G - 1>(g, cur, next, src, out);
  }
}

}  // namespace

TGT void digest_keys_avx512(const uint8_t* const* p, const uint32_t* len, chunk_key* out, uint32_t n) {
  constexpr int groups = 3;
  chunk_source src{p, len, n, 0};
  lanes g[groups];
  __m512i buf[2][16 * groups];
  for (int i = 0; i < groups; i++) {
    lanes& l = g[i];
    l.left = l.length = l.chunk = _mm512_setzero_si512();
    l.at_lo = l.at_hi = _mm512_set1_epi64(int64_t(reinterpret_cast<uintptr_t>(idle_row)));
    l.active = 0;
    l.fresh = 0xFFFF;
    refill(l, 0xFFFF, src);
    setup(l);
    for (int w = 0; w < 16; w++) buf[1][16 * i + w] = _mm512_setzero_si512();
    load_group(l, buf[1] + 16 * i, buf[0] + 16 * i);
    merge(l, buf[1] + 16 * i, buf[0] + 16 * i);
  }
  run<groups>(g, buf[0], buf[1], src, out);
}

}  // namespace dupcut
