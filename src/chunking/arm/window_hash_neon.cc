// Boundary candidates over whole spans. The window hash is the CRC-32 of 16
// bytes, an affine function of them over GF(2), so each of its four bytes
// is a constant XOR the shares of the sixteen window bytes, and a byte's
// share is the XOR of its two nibbles' shares: two 16-entry table lookups
// (TBL) per window byte give one hash byte of 16 positions at once. Bytes
// are compared most significant first, and the lower ones are computed
// only for blocks of 16 positions where some higher bytes tie with the
// threshold's.
#include <arm_neon.h>

#include <cstring>

#include "chunking/kernels.h"

namespace dupcut {

namespace {

#define INL __attribute__((always_inline)) inline
#define INL_LAMBDA __attribute__((always_inline))

// lo[k][i][x], hi[k][i][x]: hash byte k's share of window byte i (0 the
// oldest) by its low nibble x and by its high nibble x. The hash of
// sixteen zero bytes is folded into lo[k][0].
struct nibble_tables {
  alignas(16) uint8_t lo[4][roll_bytes][16];
  alignas(16) uint8_t hi[4][roll_bytes][16];
};

nibble_tables build_tables() {
  const auto hash = window_hash16;
  nibble_tables t{};
  uint8_t w[roll_bytes] = {};
  const uint32_t h0 = hash(w);
  for (uint32_t i = 0; i < roll_bytes; i++)
    for (uint32_t x = 0; x < 16; x++) {
      w[i] = uint8_t(x);
      const uint32_t lo = hash(w) ^ h0 ^ (i == 0 ? h0 : 0);
      w[i] = uint8_t(x << 4);
      const uint32_t hi = hash(w) ^ h0;
      w[i] = 0;
      for (int k = 0; k < 4; k++) {
        t.lo[k][i][x] = uint8_t(lo >> (8 * k));
        t.hi[k][i][x] = uint8_t(hi >> (8 * k));
      }
    }
  return t;
}

const nibble_tables& tables() {
  static const nibble_tables t = build_tables();
  return t;
}

// The nibbles of the bytes of G blocks of 16 positions, whose windows start
// at p: d[b] holds p[16b - 1 .. 16b + 14] (d[0]'s first byte is never
// used, and not read), so window byte i of block b is bytes i + 1 on of
// d[b], d[b + 1]. Reads p[0 .. 16G + 14] only.
template <int G>
struct nibbles {
  uint8x16_t lo[G + 1], hi[G + 1];
};

template <int G>
INL void nibbles_load(nibbles<G>& v, const uint8_t* p) {
  const uint8x16_t low = vdupq_n_u8(0x0F);
#pragma GCC unroll 8
  for (int b = 0; b <= G; b++) {
    const uint8x16_t d = b == 0 ? vextq_u8(vdupq_n_u8(0), vld1q_u8(p), 15) : vld1q_u8(p + 16 * b - 1);
    v.lo[b] = vandq_u8(d, low);
    v.hi[b] = vshrq_n_u8(d, 4);
  }
}

// Hash byte k of the G blocks' positions. Each pair of tables is looked
// up once per 16 bytes, and the shares are then shifted into the windows'
// places (a lookup commutes with the shift).
template <int G>
INL void hash_byte(const uint8x16_t* nlo, const uint8x16_t* nhi, const nibble_tables& t, int k, uint8x16_t* acc) {
  const uint8_t(*lo)[16] = t.lo[k];
  const uint8_t(*hi)[16] = t.hi[k];
  auto share = [&](int i, int b) INL_LAMBDA {
    return veorq_u8(vqtbl1q_u8(vld1q_u8(lo[i]), nlo[b]), vqtbl1q_u8(vld1q_u8(hi[i]), nhi[b]));
  };
#pragma GCC unroll 8
  for (int b = 0; b < G; b++) acc[b] = share(15, b + 1);
#define T(i)                                                                       \
  {                                                                                \
    uint8x16_t c[G + 1];                                                           \
    _Pragma("GCC unroll 8") for (int b = 0; b <= G; b++) c[b] = share(i, b);      \
    _Pragma("GCC unroll 8") for (int b = 0; b < G; b++) acc[b] = veorq_u8(acc[b], vextq_u8(c[b], c[b + 1], i + 1)); \
  }
  T(0) T(1) T(2) T(3) T(4) T(5) T(6) T(7) T(8) T(9) T(10) T(11) T(12) T(13) T(14)
#undef T
}

// Byte masks (0xFF or 0) of G blocks as bits, position t of block b at bit
// 16b + t: each byte weighted by its bit, then pairwise sums.
template <int G>
INL uint64_t to_bits(const uint8x16_t* m) {
  static constexpr uint8_t weight[16] = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
  const uint8x16_t w = vld1q_u8(weight);
  uint8x16_t x[G];
#pragma GCC unroll 8
  for (int b = 0; b < G; b++) x[b] = vandq_u8(m[b], w);
  if constexpr (G == 4) {
    const uint8x16_t s = vpaddq_u8(vpaddq_u8(x[0], x[1]), vpaddq_u8(x[2], x[3]));
    return vgetq_lane_u64(vreinterpretq_u64_u8(vpaddq_u8(s, s)), 0);
  } else if constexpr (G == 2) {
    uint8x16_t s = vpaddq_u8(x[0], x[1]);
    s = vpaddq_u8(s, s);
    return vgetq_lane_u32(vreinterpretq_u32_u8(vpaddq_u8(s, s)), 0);
  } else {
    static_assert(G == 1);
    uint8x16_t s = vpaddq_u8(x[0], x[0]);
    s = vpaddq_u8(s, s);
    return vgetq_lane_u16(vreinterpretq_u16_u8(vpaddq_u8(s, s)), 0);
  }
}

// The hits among positions whose higher hash bytes tie with the
// threshold's, block by block: the lower bytes are computed only for the
// blocks that have ties. Rare, so out of line, loading the bytes again.
template <int G, bool first_only>
__attribute__((noinline)) uint64_t tie_hits(const uint8_t* p, uint32_t thr, const nibble_tables& t, uint64_t hit,
                                            uint64_t tie) {
  nibbles<G> v;
  nibbles_load(v, p);
  for (int b = 0; b < G; b++) {
    uint64_t tb = tie >> (16 * b) & 0xFFFF;
    for (int k = 2; k >= 0 && tb; k--) {
      uint8x16_t x;
      hash_byte<1>(v.lo + b, v.hi + b, t, k, &x);
      const uint8x16_t th = vdupq_n_u8(uint8_t(thr >> (8 * k)));
      const uint8x16_t lt = vcltq_u8(x, th), eq = vceqq_u8(x, th);
      hit |= (tb & to_bits<1>(&lt)) << (16 * b);
      tb &= to_bits<1>(&eq);
    }
    // Later blocks come after a hit found up to here.
    if (first_only && hit << (48 - 16 * b)) break;
  }
  return hit;
}

// Bit 16b + t set when the window of position t of block b hashes below
// thr; the windows start at p. With first_only, only the lowest bit of the
// result is right: ties past the first hit are left undecided.
template <int G, bool first_only>
INL uint64_t block_hits(const uint8_t* p, uint32_t thr, const nibble_tables& t) {
  nibbles<G> v;
  nibbles_load(v, p);
  uint8x16_t b[G], lt[G], eq[G];
  hash_byte<G>(v.lo, v.hi, t, 3, b);
  const uint8x16_t th = vdupq_n_u8(uint8_t(thr >> 24));
#pragma GCC unroll 8
  for (int i = 0; i < G; i++) lt[i] = vcltq_u8(b[i], th), eq[i] = vceqq_u8(b[i], th);
  const uint64_t hit = to_bits<G>(lt);
  uint64_t tie = to_bits<G>(eq);
  if constexpr (first_only) tie &= (hit & (0 - hit)) - 1;  // all ones when no hit
  return tie ? tie_hits<G, first_only>(p, thr, t, hit, tie) : hit;
}

// Positions j .. e - 1, fewer than 16, of which `start` is the first whose
// window may be read (from start - 15): bit t for position j + t. A block
// that ends at e, when there is room before j, else a copy of the bytes.
template <bool first_only>
uint64_t tail_hits(const uint8_t* d, uint32_t start, uint32_t j, uint32_t e, uint32_t thr, const nibble_tables& t) {
  constexpr uint32_t sh = roll_bytes - 1;
  if (e - start >= 16) {
    const uint32_t a = e - 16;
    return block_hits<1, first_only>(d + a - sh, thr, t) >> (j - a);
  }
  uint8_t buf[32] = {};
  std::memcpy(buf, d + j - sh, e - j + sh);
  return block_hits<1, first_only>(buf, thr, t) & ((uint64_t(1) << (e - j)) - 1);
}

}  // namespace

void chunker_candidates_neon(const chunker& s, const uint8_t* d, uint32_t n, uint64_t* bits) {
  std::memset(bits, 0, size_t((n + 63) / 64) * sizeof(uint64_t));
  constexpr uint32_t sh = roll_bytes - 1;  // the first position with a whole window
  if (n <= sh) return;
  const nibble_tables& t = tables();
  const uint32_t thr = s.roll_threshold;
  auto put = [bits](uint32_t j, uint64_t h) {
    if (!h) return;
    const uint32_t o = j & 63;
    bits[j >> 6] |= h << o;
    if (o && h >> (64 - o)) bits[(j >> 6) + 1] |= h >> (64 - o);
  };
  uint32_t j = sh;
  for (; n - j >= 64; j += 64) put(j, block_hits<4, false>(d + j - sh, thr, t));
  for (; n - j >= 16; j += 16) put(j, block_hits<1, false>(d + j - sh, thr, t));
  if (j < n) put(j, tail_hits<false>(d, sh, j, n, thr, t));
}

uint32_t cut_find_neon(const chunker& s, const uint8_t* q, uint32_t lo, uint32_t hi) {
  if (lo >= hi) return hi;
  constexpr uint32_t sh = roll_bytes - 1;
  const nibble_tables& t = tables();
  const uint32_t thr = s.roll_threshold;
  uint32_t j = lo;
  for (; hi - j >= 64; j += 64)
    if (const uint64_t h = block_hits<4, true>(q + j - sh, thr, t)) return j + uint32_t(__builtin_ctzll(h));
  for (; hi - j >= 16; j += 16)
    if (const uint64_t h = block_hits<1, true>(q + j - sh, thr, t)) return j + uint32_t(__builtin_ctzll(h));
  if (j < hi)
    if (const uint64_t h = tail_hits<true>(q, lo, j, hi, thr, t)) return j + uint32_t(__builtin_ctzll(h));
  return hi;
}

#undef INL
#undef INL_LAMBDA

}  // namespace dupcut
