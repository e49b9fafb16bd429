// Chunk digests four at a time: one chunk per 32-bit lane of a NEON
// register, each lane refilled with the next chunk as soon as its chunk
// ends, so lanes of very different lengths do not wait for each other.
// The per-lane work is the scalar construction exactly: XOR 63 bytes into
// the 64-byte buffer, set the count byte, compress, XOR the result in.
// One compression is a serial chain, so two sets of four lanes are
// compressed interleaved.
#include <arm_neon.h>

#include <cstring>

#include "chunking/kernels.h"

namespace dupcut {

namespace {

#define INL __attribute__((always_inline)) inline
#define INL_LAMBDA __attribute__((always_inline))

constexpr const uint32_t (&step_add)[64] = md5_step_add;
constexpr uint32_t iv[4] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u};

template <int r>
INL uint32x4_t rol(uint32x4_t x) {
  if constexpr (r == 16)
    return vreinterpretq_u32_u16(vrev32q_u16(vreinterpretq_u16_u32(x)));
  else
    return vsriq_n_u32(vshlq_n_u32(x, r), x, 32 - r);
}

// F = x ? y : z, G = z ? x : y, H = x ^ y ^ z, I = y ^ (x | ~z).
#define V_F(x, y, z) vbslq_u32(x, y, z)
#define V_G(x, y, z) vbslq_u32(z, x, y)
#define V_H(x, y, z) veorq_u32(veorq_u32(x, y), z)
#define V_I(x, y, z) veorq_u32(y, vornq_u32(x, z))
#define V_STEP(f, a, b, c, d, w, t, r) \
  _Pragma("GCC unroll 2") for (int g = 0; g < G; g++) \
  a[g] = vaddq_u32(b[g], rol<r>(vaddq_u32(f(b[g], c[g], d[g]), vaddq_u32(a[g], vaddq_u32(X[g][w], vdupq_n_u32(step_add[t]))))))

// G independent sets of four buffers, word w of set g in X[g][w]; words
// 0..3 take the result.
template <int G>
INL void compress(uint32x4_t* const* X) {
  uint32x4_t a[G], b[G], c[G], d[G];
#pragma GCC unroll 4
  for (int g = 0; g < G; g++) a[g] = vdupq_n_u32(iv[0]), b[g] = vdupq_n_u32(iv[1]), c[g] = vdupq_n_u32(iv[2]), d[g] = vdupq_n_u32(iv[3]);
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

#pragma GCC unroll 4
  for (int g = 0; g < G; g++) {
    X[g][0] = veorq_u32(X[g][0], vaddq_u32(a[g], vdupq_n_u32(iv[0])));
    X[g][1] = veorq_u32(X[g][1], vaddq_u32(b[g], vdupq_n_u32(iv[1])));
    X[g][2] = veorq_u32(X[g][2], vaddq_u32(c[g], vdupq_n_u32(iv[2])));
    X[g][3] = veorq_u32(X[g][3], vaddq_u32(d[g], vdupq_n_u32(iv[3])));
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

// Four lanes: their buffers, and per lane where its next bytes start, how
// many are left, and the chunk's length and index. keep clears the buffer
// of a lane that starts a chunk; done marks the lanes whose chunk the
// bytes in the buffers end.
struct lanes {
  uint32x4_t X[16];
  const uint8_t* at[4];
  uint32_t left[4], length[4], chunk[4];
  uint32_t keep[4];
  uint32_t active, done;
};

// Lanes in `free` take the next chunks in order, or go idle.
void refill(lanes& s, uint32_t free, chunk_source& src) {
  for (int l = 0; l < 4; l++) {
    if (!(free >> l & 1)) continue;
    s.keep[l] = 0;
    s.left[l] = 0;
    if (src.next == src.n) {
      s.active &= ~(1u << l);
      continue;
    }
    const uint32_t c = src.next++;
    s.at[l] = src.p[c];
    s.left[l] = s.length[l] = src.len[c];
    s.chunk[l] = c;
    s.active |= 1u << l;
  }
}

// A lane's next bytes, up to 63 of them, zero past those: reads its chunk
// only. Short of 64 bytes left, the chunk's last 64 are loaded and moved
// down by table lookups, whose indices past the table give zero.
INL void load_lane(const uint8_t* at, uint32_t left, uint32_t length, uint8x16_t* r) {
  if (left >= 64) {
    for (int q = 0; q < 4; q++) r[q] = vld1q_u8(at + 16 * q);
  } else if (left == 0) {
    for (int q = 0; q < 4; q++) r[q] = vdupq_n_u8(0);
  } else if (length >= 64) {
    const uint8x16x4_t t = {{vld1q_u8(at + left - 64), vld1q_u8(at + left - 48), vld1q_u8(at + left - 32),
                             vld1q_u8(at + left - 16)}};
    static constexpr uint8_t iota[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    const uint8x16_t idx = vaddq_u8(vld1q_u8(iota), vdupq_n_u8(uint8_t(64 - left)));
    for (int q = 0; q < 4; q++) r[q] = vqtbl4q_u8(t, vaddq_u8(idx, vdupq_n_u8(uint8_t(16 * q))));
  } else {
    alignas(16) uint8_t tmp[64] = {};
    std::memcpy(tmp, at, left);
    for (int q = 0; q < 4; q++) r[q] = vld1q_u8(tmp + 16 * q);
  }
}

// Rows a..d of four words each, turned into columns.
INL void transpose(uint32x4_t a, uint32x4_t b, uint32x4_t c, uint32x4_t d, uint32x4_t* o) {
  const uint32x4_t t0 = vtrn1q_u32(a, b), t1 = vtrn2q_u32(a, b), t2 = vtrn1q_u32(c, d), t3 = vtrn2q_u32(c, d);
  const auto lo = [](uint32x4_t x, uint32x4_t y) INL_LAMBDA {
    return vreinterpretq_u32_u64(vtrn1q_u64(vreinterpretq_u64_u32(x), vreinterpretq_u64_u32(y)));
  };
  const auto hi = [](uint32x4_t x, uint32x4_t y) INL_LAMBDA {
    return vreinterpretq_u32_u64(vtrn2q_u64(vreinterpretq_u64_u32(x), vreinterpretq_u64_u32(y)));
  };
  o[0] = lo(t0, t2);
  o[1] = lo(t1, t3);
  o[2] = hi(t0, t2);
  o[3] = hi(t1, t3);
}

// XORs each lane's next bytes into its buffer (into zero for a lane that
// starts a chunk) and sets the count byte.
INL void load_set(lanes& s) {
  uint8x16_t r[4][4];
  uint32_t count[4];
  s.done = 0;
#pragma GCC unroll 4
  for (int l = 0; l < 4; l++) {
    const uint32_t k = s.left[l] < 63 ? s.left[l] : 63;
    load_lane(s.at[l], s.left[l], s.length[l], r[l]);
    count[l] = k << 24;
    s.at[l] += k;
    s.left[l] -= k;
    if (s.left[l] == 0 && (s.active >> l & 1)) s.done |= 1u << l;
  }
  const uint32x4_t keep = vld1q_u32(s.keep);
#pragma GCC unroll 4
  for (int q = 0; q < 4; q++) {
    uint32x4_t t[4];
    transpose(vreinterpretq_u32_u8(r[0][q]), vreinterpretq_u32_u8(r[1][q]), vreinterpretq_u32_u8(r[2][q]),
              vreinterpretq_u32_u8(r[3][q]), t);
    for (int i = 0; i < 4; i++) s.X[4 * q + i] = veorq_u32(t[i], vandq_u32(s.X[4 * q + i], keep));
  }
  // Byte 63 holds the count, not data.
  s.X[15] = vbslq_u32(vdupq_n_u32(0x00FFFFFF), s.X[15], vld1q_u32(count));
  for (uint32_t& k : s.keep) k = ~0u;
}

// The keys of the chunks the compression just ended.
INL void emit(const lanes& s, chunk_key* out) {
  if (!s.done) return;
  uint32x4_t col[4];
  transpose(s.X[0], s.X[1], s.X[2], s.X[3], col);
  for (int l = 0; l < 4; l++) {
    if (!(s.done >> l & 1)) continue;
    chunk_key k;
    vst1q_u8(k.b, vreinterpretq_u8_u32(col[l]));
    k.b[14] = s.length[l] & 0xFF;
    k.b[15] = (s.length[l] >> 8) & 0xFF;
    out[s.chunk[l]] = k;
  }
}

}  // namespace

void digest_keys_neon(const uint8_t* const* p, const uint32_t* len, chunk_key* out, uint32_t n) {
  chunk_source src{p, len, n, 0};
  lanes sets[2];
  for (lanes& s : sets) {
    for (uint32x4_t& x : s.X) x = vdupq_n_u32(0);
    s.active = s.done = 0;
    refill(s, 0xF, src);
  }
  for (;;) {
    lanes* run[2];
    int g = 0;
    for (lanes& s : sets)
      if (s.active) run[g++] = &s;
    if (g == 0) break;
    uint32x4_t* X[2] = {run[0]->X, run[g - 1]->X};
    for (int i = 0; i < g; i++) load_set(*run[i]);
    if (g == 2)
      compress<2>(X);
    else
      compress<1>(X);
    for (int i = 0; i < g; i++) {
      emit(*run[i], out);
      refill(*run[i], run[i]->done, src);
    }
  }
}

#undef INL
#undef INL_LAMBDA

}  // namespace dupcut
