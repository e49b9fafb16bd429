// The compression function of MD5 (RFC 1321), written out in full. The
// chaining input is always the initial values, so there is no state beyond
// the 64-byte buffer it works on.
#include <bit>
#include <cstring>

#include "chunking/kernels.h"

namespace dupcut {

static_assert(std::endian::native == std::endian::little, "digest words are read little-endian");

namespace {

inline uint32_t rotl(uint32_t x, int c) { return (x << c) | (x >> (32 - c)); }

#define MD5_F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define MD5_G(x, y, z) ((y) ^ ((z) & ((x) ^ (y))))
#define MD5_H(x, y, z) ((x) ^ (y) ^ (z))
#define MD5_I(x, y, z) ((y) ^ ((x) | ~(z)))
#define MD5_STEP(f, a, b, c, d, x, t, r) a = b + rotl(a + f(b, c, d) + (x) + (t), r)

}  // namespace

void digest_block(uint8_t* buf) {
  uint32_t X[16];
  std::memcpy(X, buf, 64);  // little-endian host
  const uint32_t a0 = 0x67452301u, b0 = 0xEFCDAB89u, c0 = 0x98BADCFEu, d0 = 0x10325476u;
  uint32_t a = a0, b = b0, c = c0, d = d0;

  MD5_STEP(MD5_F, a, b, c, d, X[0], 0xd76aa478, 7);
  MD5_STEP(MD5_F, d, a, b, c, X[1], 0xe8c7b756, 12);
  MD5_STEP(MD5_F, c, d, a, b, X[2], 0x242070db, 17);
  MD5_STEP(MD5_F, b, c, d, a, X[3], 0xc1bdceee, 22);
  MD5_STEP(MD5_F, a, b, c, d, X[4], 0xf57c0faf, 7);
  MD5_STEP(MD5_F, d, a, b, c, X[5], 0x4787c62a, 12);
  MD5_STEP(MD5_F, c, d, a, b, X[6], 0xa8304613, 17);
  MD5_STEP(MD5_F, b, c, d, a, X[7], 0xfd469501, 22);
  MD5_STEP(MD5_F, a, b, c, d, X[8], 0x698098d8, 7);
  MD5_STEP(MD5_F, d, a, b, c, X[9], 0x8b44f7af, 12);
  MD5_STEP(MD5_F, c, d, a, b, X[10], 0xffff5bb1, 17);
  MD5_STEP(MD5_F, b, c, d, a, X[11], 0x895cd7be, 22);
  MD5_STEP(MD5_F, a, b, c, d, X[12], 0x6b901122, 7);
  MD5_STEP(MD5_F, d, a, b, c, X[13], 0xfd987193, 12);
  MD5_STEP(MD5_F, c, d, a, b, X[14], 0xa679438e, 17);
  MD5_STEP(MD5_F, b, c, d, a, X[15], 0x49b40821, 22);

  MD5_STEP(MD5_G, a, b, c, d, X[1], 0xf61e2562, 5);
  MD5_STEP(MD5_G, d, a, b, c, X[6], 0xc040b340, 9);
  MD5_STEP(MD5_G, c, d, a, b, X[11], 0x265e5a51, 14);
  MD5_STEP(MD5_G, b, c, d, a, X[0], 0xe9b6c7aa, 20);
  MD5_STEP(MD5_G, a, b, c, d, X[5], 0xd62f105d, 5);
  MD5_STEP(MD5_G, d, a, b, c, X[10], 0x02441453, 9);
  MD5_STEP(MD5_G, c, d, a, b, X[15], 0xd8a1e681, 14);
  MD5_STEP(MD5_G, b, c, d, a, X[4], 0xe7d3fbc8, 20);
  MD5_STEP(MD5_G, a, b, c, d, X[9], 0x21e1cde6, 5);
  MD5_STEP(MD5_G, d, a, b, c, X[14], 0xc33707d6, 9);
  MD5_STEP(MD5_G, c, d, a, b, X[3], 0xf4d50d87, 14);
  MD5_STEP(MD5_G, b, c, d, a, X[8], 0x455a14ed, 20);
  MD5_STEP(MD5_G, a, b, c, d, X[13], 0xa9e3e905, 5);
  MD5_STEP(MD5_G, d, a, b, c, X[2], 0xfcefa3f8, 9);
  MD5_STEP(MD5_G, c, d, a, b, X[7], 0x676f02d9, 14);
  MD5_STEP(MD5_G, b, c, d, a, X[12], 0x8d2a4c8a, 20);

  MD5_STEP(MD5_H, a, b, c, d, X[5], 0xfffa3942, 4);
  MD5_STEP(MD5_H, d, a, b, c, X[8], 0x8771f681, 11);
  MD5_STEP(MD5_H, c, d, a, b, X[11], 0x6d9d6122, 16);
  MD5_STEP(MD5_H, b, c, d, a, X[14], 0xfde5380c, 23);
  MD5_STEP(MD5_H, a, b, c, d, X[1], 0xa4beea44, 4);
  MD5_STEP(MD5_H, d, a, b, c, X[4], 0x4bdecfa9, 11);
  MD5_STEP(MD5_H, c, d, a, b, X[7], 0xf6bb4b60, 16);
  MD5_STEP(MD5_H, b, c, d, a, X[10], 0xbebfbc70, 23);
  MD5_STEP(MD5_H, a, b, c, d, X[13], 0x289b7ec6, 4);
  MD5_STEP(MD5_H, d, a, b, c, X[0], 0xeaa127fa, 11);
  MD5_STEP(MD5_H, c, d, a, b, X[3], 0xd4ef3085, 16);
  MD5_STEP(MD5_H, b, c, d, a, X[6], 0x04881d05, 23);
  MD5_STEP(MD5_H, a, b, c, d, X[9], 0xd9d4d039, 4);
  MD5_STEP(MD5_H, d, a, b, c, X[12], 0xe6db99e5, 11);
  MD5_STEP(MD5_H, c, d, a, b, X[15], 0x1fa27cf8, 16);
  MD5_STEP(MD5_H, b, c, d, a, X[2], 0xc4ac5665, 23);

  MD5_STEP(MD5_I, a, b, c, d, X[0], 0xf4292244, 6);
  MD5_STEP(MD5_I, d, a, b, c, X[7], 0x432aff97, 10);
  MD5_STEP(MD5_I, c, d, a, b, X[14], 0xab9423a7, 15);
  MD5_STEP(MD5_I, b, c, d, a, X[5], 0xfc93a039, 21);
  MD5_STEP(MD5_I, a, b, c, d, X[12], 0x655b59c3, 6);
  MD5_STEP(MD5_I, d, a, b, c, X[3], 0x8f0ccc92, 10);
  MD5_STEP(MD5_I, c, d, a, b, X[10], 0xffeff47d, 15);
  MD5_STEP(MD5_I, b, c, d, a, X[1], 0x85845dd1, 21);
  MD5_STEP(MD5_I, a, b, c, d, X[8], 0x6fa87e4f, 6);
  MD5_STEP(MD5_I, d, a, b, c, X[15], 0xfe2ce6e0, 10);
  MD5_STEP(MD5_I, c, d, a, b, X[6], 0xa3014314, 15);
  MD5_STEP(MD5_I, b, c, d, a, X[13], 0x4e0811a1, 21);
  MD5_STEP(MD5_I, a, b, c, d, X[4], 0xf7537e82, 6);
  MD5_STEP(MD5_I, d, a, b, c, X[11], 0xbd3af235, 10);
  MD5_STEP(MD5_I, c, d, a, b, X[2], 0x2ad7d2bb, 15);
  MD5_STEP(MD5_I, b, c, d, a, X[9], 0xeb86d391, 21);

  X[0] ^= a + a0;
  X[1] ^= b + b0;
  X[2] ^= c + c0;
  X[3] ^= d + d0;
  std::memcpy(buf, X, 16);
  buf[63] = 0;
}

void digest_compress(chunker& s) { digest_block(s.digest_buf); }

namespace {

// One step for each of N buffers, written out so that the N chains of
// dependent operations interleave.
#define MD5_STEP_N(f, a, b, c, d, w, t, r) \
  for (int i = 0; i < N; i++) MD5_STEP(f, a[i], b[i], c[i], d[i], x[i][w], t, r)

// digest_block on N independent buffers at once: one buffer's steps form a
// serial chain that leaves most of the CPU idle, N of them fill it.
template <int N, int M>
inline void digest_blocks(uint32_t (&x)[M][16]) {
  const uint32_t a0 = 0x67452301u, b0 = 0xEFCDAB89u, c0 = 0x98BADCFEu, d0 = 0x10325476u;
  uint32_t a[N], b[N], c[N], d[N];
  for (int i = 0; i < N; i++) a[i] = a0, b[i] = b0, c[i] = c0, d[i] = d0;

  MD5_STEP_N(MD5_F, a, b, c, d, 0, 0xd76aa478, 7);
  MD5_STEP_N(MD5_F, d, a, b, c, 1, 0xe8c7b756, 12);
  MD5_STEP_N(MD5_F, c, d, a, b, 2, 0x242070db, 17);
  MD5_STEP_N(MD5_F, b, c, d, a, 3, 0xc1bdceee, 22);
  MD5_STEP_N(MD5_F, a, b, c, d, 4, 0xf57c0faf, 7);
  MD5_STEP_N(MD5_F, d, a, b, c, 5, 0x4787c62a, 12);
  MD5_STEP_N(MD5_F, c, d, a, b, 6, 0xa8304613, 17);
  MD5_STEP_N(MD5_F, b, c, d, a, 7, 0xfd469501, 22);
  MD5_STEP_N(MD5_F, a, b, c, d, 8, 0x698098d8, 7);
  MD5_STEP_N(MD5_F, d, a, b, c, 9, 0x8b44f7af, 12);
  MD5_STEP_N(MD5_F, c, d, a, b, 10, 0xffff5bb1, 17);
  MD5_STEP_N(MD5_F, b, c, d, a, 11, 0x895cd7be, 22);
  MD5_STEP_N(MD5_F, a, b, c, d, 12, 0x6b901122, 7);
  MD5_STEP_N(MD5_F, d, a, b, c, 13, 0xfd987193, 12);
  MD5_STEP_N(MD5_F, c, d, a, b, 14, 0xa679438e, 17);
  MD5_STEP_N(MD5_F, b, c, d, a, 15, 0x49b40821, 22);

  MD5_STEP_N(MD5_G, a, b, c, d, 1, 0xf61e2562, 5);
  MD5_STEP_N(MD5_G, d, a, b, c, 6, 0xc040b340, 9);
  MD5_STEP_N(MD5_G, c, d, a, b, 11, 0x265e5a51, 14);
  MD5_STEP_N(MD5_G, b, c, d, a, 0, 0xe9b6c7aa, 20);
  MD5_STEP_N(MD5_G, a, b, c, d, 5, 0xd62f105d, 5);
  MD5_STEP_N(MD5_G, d, a, b, c, 10, 0x02441453, 9);
  MD5_STEP_N(MD5_G, c, d, a, b, 15, 0xd8a1e681, 14);
  MD5_STEP_N(MD5_G, b, c, d, a, 4, 0xe7d3fbc8, 20);
  MD5_STEP_N(MD5_G, a, b, c, d, 9, 0x21e1cde6, 5);
  MD5_STEP_N(MD5_G, d, a, b, c, 14, 0xc33707d6, 9);
  MD5_STEP_N(MD5_G, c, d, a, b, 3, 0xf4d50d87, 14);
  MD5_STEP_N(MD5_G, b, c, d, a, 8, 0x455a14ed, 20);
  MD5_STEP_N(MD5_G, a, b, c, d, 13, 0xa9e3e905, 5);
  MD5_STEP_N(MD5_G, d, a, b, c, 2, 0xfcefa3f8, 9);
  MD5_STEP_N(MD5_G, c, d, a, b, 7, 0x676f02d9, 14);
  MD5_STEP_N(MD5_G, b, c, d, a, 12, 0x8d2a4c8a, 20);

  MD5_STEP_N(MD5_H, a, b, c, d, 5, 0xfffa3942, 4);
  MD5_STEP_N(MD5_H, d, a, b, c, 8, 0x8771f681, 11);
  MD5_STEP_N(MD5_H, c, d, a, b, 11, 0x6d9d6122, 16);
  MD5_STEP_N(MD5_H, b, c, d, a, 14, 0xfde5380c, 23);
  MD5_STEP_N(MD5_H, a, b, c, d, 1, 0xa4beea44, 4);
  MD5_STEP_N(MD5_H, d, a, b, c, 4, 0x4bdecfa9, 11);
  MD5_STEP_N(MD5_H, c, d, a, b, 7, 0xf6bb4b60, 16);
  MD5_STEP_N(MD5_H, b, c, d, a, 10, 0xbebfbc70, 23);
  MD5_STEP_N(MD5_H, a, b, c, d, 13, 0x289b7ec6, 4);
  MD5_STEP_N(MD5_H, d, a, b, c, 0, 0xeaa127fa, 11);
  MD5_STEP_N(MD5_H, c, d, a, b, 3, 0xd4ef3085, 16);
  MD5_STEP_N(MD5_H, b, c, d, a, 6, 0x04881d05, 23);
  MD5_STEP_N(MD5_H, a, b, c, d, 9, 0xd9d4d039, 4);
  MD5_STEP_N(MD5_H, d, a, b, c, 12, 0xe6db99e5, 11);
  MD5_STEP_N(MD5_H, c, d, a, b, 15, 0x1fa27cf8, 16);
  MD5_STEP_N(MD5_H, b, c, d, a, 2, 0xc4ac5665, 23);

  MD5_STEP_N(MD5_I, a, b, c, d, 0, 0xf4292244, 6);
  MD5_STEP_N(MD5_I, d, a, b, c, 7, 0x432aff97, 10);
  MD5_STEP_N(MD5_I, c, d, a, b, 14, 0xab9423a7, 15);
  MD5_STEP_N(MD5_I, b, c, d, a, 5, 0xfc93a039, 21);
  MD5_STEP_N(MD5_I, a, b, c, d, 12, 0x655b59c3, 6);
  MD5_STEP_N(MD5_I, d, a, b, c, 3, 0x8f0ccc92, 10);
  MD5_STEP_N(MD5_I, c, d, a, b, 10, 0xffeff47d, 15);
  MD5_STEP_N(MD5_I, b, c, d, a, 1, 0x85845dd1, 21);
  MD5_STEP_N(MD5_I, a, b, c, d, 8, 0x6fa87e4f, 6);
  MD5_STEP_N(MD5_I, d, a, b, c, 15, 0xfe2ce6e0, 10);
  MD5_STEP_N(MD5_I, c, d, a, b, 6, 0xa3014314, 15);
  MD5_STEP_N(MD5_I, b, c, d, a, 13, 0x4e0811a1, 21);
  MD5_STEP_N(MD5_I, a, b, c, d, 4, 0xf7537e82, 6);
  MD5_STEP_N(MD5_I, d, a, b, c, 11, 0xbd3af235, 10);
  MD5_STEP_N(MD5_I, c, d, a, b, 2, 0x2ad7d2bb, 15);
  MD5_STEP_N(MD5_I, b, c, d, a, 9, 0xeb86d391, 21);

  for (int i = 0; i < N; i++) {
    x[i][0] ^= a[i] + a0;
    x[i][1] ^= b[i] + b0;
    x[i][2] ^= c[i] + c0;
    x[i][3] ^= d[i] + d0;
  }
}

#undef MD5_STEP_N

// A chunk in one of the interleaved slots.
struct slot {
  const uint8_t* q;  // its next group
  uint32_t left;     // bytes still to absorb
  uint32_t len, chunk;
};

inline uint32_t load32(const uint8_t* q) {
  uint32_t v;
  std::memcpy(&v, q, 4);
  return v;
}

// XORs the slot's next group (up to 63 bytes) into its buffer x and sets
// the count in byte 63; true when the group ends the chunk. Words are
// little-endian, as the static_assert above holds. Reads nothing outside
// the chunk: a last group's partial word is the chunk's last four bytes
// shifted down, or its bytes one by one in a chunk of fewer than four.
inline bool absorb(slot& s, uint32_t* x) {
  const uint32_t k = s.left < 63 ? s.left : 63;
  if (s.left >= 64) {
    uint32_t v[16];
    std::memcpy(v, s.q, 64);  // byte 63 is the next group's first
    for (int w = 0; w < 15; w++) x[w] ^= v[w];
    x[15] ^= v[15];
  } else {
    const uint32_t nw = k / 4, r = k % 4;
    for (uint32_t w = 0; w < nw; w++) x[w] ^= load32(s.q + 4 * w);
    if (r && s.len >= 4) {
      x[nw] ^= load32(s.q + k - 4) >> (32 - 8 * r);
    } else if (r) {
      for (uint32_t j = 0; j < r; j++) x[0] ^= uint32_t(s.q[j]) << (8 * j);
    }
  }
  x[15] = (x[15] & 0x00FFFFFFu) | k << 24;
  s.q += k;
  s.left -= k;
  return s.left == 0;
}

}  // namespace

// Up to three chunks in lockstep, each slot refilled with the next chunk as
// soon as its chunk ends; the construction per chunk is digest_block's.
void digest_keys_portable(const uint8_t* const* p, const uint32_t* len, chunk_key* out, uint32_t n) {
  constexpr int lanes = 3;
  slot s[lanes];
  uint32_t x[lanes][16];
  int act = 0;
  uint32_t next = 0;
  auto start = [&](int i) {
    s[i] = slot{p[next], len[next], len[next], next};
    std::memset(x[i], 0, 64);
    next++;
  };
  while (act < lanes && next < n) start(act++);
  while (act) {
    bool last[lanes];
    for (int i = 0; i < act; i++) last[i] = absorb(s[i], x[i]);
    if (lanes > 3 && act == 4)
      digest_blocks<4>(x);
    else if (lanes > 2 && act == 3)
      digest_blocks<3>(x);
    else if (act == 2)
      digest_blocks<2>(x);
    else
      digest_blocks<1>(x);
    // Downwards, so a slot moved into an ended one's place is done with.
    for (int i = act - 1; i >= 0; i--) {
      if (!last[i]) continue;
      chunk_key& k = out[s[i].chunk];
      std::memcpy(k.b, x[i], 14);
      k.b[14] = s[i].len & 0xFF;
      k.b[15] = (s[i].len >> 8) & 0xFF;
      if (next < n) {
        start(i);
      } else if (i != --act) {
        s[i] = s[act];
        std::memcpy(x[i], x[act], 64);
      }
    }
  }
}

#undef MD5_F
#undef MD5_G
#undef MD5_H
#undef MD5_I
#undef MD5_STEP

}  // namespace dupcut
