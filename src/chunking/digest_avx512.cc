// Sixteen chunk digests at once: one chunk per 32-bit lane of an AVX-512
// register, each lane refilled with the next chunk as soon as its chunk
// ends, so lanes of very different lengths do not wait for each other.
// The per-lane work is the scalar construction exactly: XOR 63 bytes into
// the 64-byte buffer, set the count byte, compress, XOR the result in.
// GCC 12 warns about the deliberately undefined pass-through operand inside
// its own AVX-512 intrinsic headers.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include <cstring>

#include "chunking/chunker.h"

namespace dupcut {

#if defined(__x86_64__) || defined(__i386__)

#define TGT __attribute__((target("avx512f")))

namespace {

TGT inline __m512i rol(__m512i x, int r) {
  switch (r) {  // the rotate takes an immediate
#define R(n) \
  case n:    \
    return _mm512_rol_epi32(x, n);
    R(4) R(5) R(6) R(7) R(9) R(10) R(11) R(12) R(14) R(15) R(16) R(17) R(20) R(21) R(22) R(23)
#undef R
  }
  __builtin_unreachable();
}

// F = x ? y : z, G = z ? x : y, H = x ^ y ^ z, I = y ^ (x | ~z), as
// three-input truth tables.
#define V_F(x, y, z) _mm512_ternarylogic_epi32(x, y, z, 0xCA)
#define V_G(x, y, z) _mm512_ternarylogic_epi32(x, y, z, 0xE4)
#define V_H(x, y, z) _mm512_ternarylogic_epi32(x, y, z, 0x96)
#define V_I(x, y, z) _mm512_ternarylogic_epi32(x, y, z, 0x39)
#define V_STEP(f, a, b, c, d, x, t, r)                                                                         \
  a = _mm512_add_epi32(                                                                                        \
      b, rol(_mm512_add_epi32(_mm512_add_epi32(a, f(b, c, d)), _mm512_add_epi32(x, _mm512_set1_epi32(int(t)))), r))

TGT void compress16(__m512i* X) {
  const __m512i a0 = _mm512_set1_epi32(0x67452301), b0 = _mm512_set1_epi32(int(0xEFCDAB89u)),
                c0 = _mm512_set1_epi32(int(0x98BADCFEu)), d0 = _mm512_set1_epi32(0x10325476);
  __m512i a = a0, b = b0, c = c0, d = d0;
  V_STEP(V_F, a, b, c, d, X[0], 0xd76aa478, 7);
  V_STEP(V_F, d, a, b, c, X[1], 0xe8c7b756, 12);
  V_STEP(V_F, c, d, a, b, X[2], 0x242070db, 17);
  V_STEP(V_F, b, c, d, a, X[3], 0xc1bdceee, 22);
  V_STEP(V_F, a, b, c, d, X[4], 0xf57c0faf, 7);
  V_STEP(V_F, d, a, b, c, X[5], 0x4787c62a, 12);
  V_STEP(V_F, c, d, a, b, X[6], 0xa8304613, 17);
  V_STEP(V_F, b, c, d, a, X[7], 0xfd469501, 22);
  V_STEP(V_F, a, b, c, d, X[8], 0x698098d8, 7);
  V_STEP(V_F, d, a, b, c, X[9], 0x8b44f7af, 12);
  V_STEP(V_F, c, d, a, b, X[10], 0xffff5bb1, 17);
  V_STEP(V_F, b, c, d, a, X[11], 0x895cd7be, 22);
  V_STEP(V_F, a, b, c, d, X[12], 0x6b901122, 7);
  V_STEP(V_F, d, a, b, c, X[13], 0xfd987193, 12);
  V_STEP(V_F, c, d, a, b, X[14], 0xa679438e, 17);
  V_STEP(V_F, b, c, d, a, X[15], 0x49b40821, 22);

  V_STEP(V_G, a, b, c, d, X[1], 0xf61e2562, 5);
  V_STEP(V_G, d, a, b, c, X[6], 0xc040b340, 9);
  V_STEP(V_G, c, d, a, b, X[11], 0x265e5a51, 14);
  V_STEP(V_G, b, c, d, a, X[0], 0xe9b6c7aa, 20);
  V_STEP(V_G, a, b, c, d, X[5], 0xd62f105d, 5);
  V_STEP(V_G, d, a, b, c, X[10], 0x02441453, 9);
  V_STEP(V_G, c, d, a, b, X[15], 0xd8a1e681, 14);
  V_STEP(V_G, b, c, d, a, X[4], 0xe7d3fbc8, 20);
  V_STEP(V_G, a, b, c, d, X[9], 0x21e1cde6, 5);
  V_STEP(V_G, d, a, b, c, X[14], 0xc33707d6, 9);
  V_STEP(V_G, c, d, a, b, X[3], 0xf4d50d87, 14);
  V_STEP(V_G, b, c, d, a, X[8], 0x455a14ed, 20);
  V_STEP(V_G, a, b, c, d, X[13], 0xa9e3e905, 5);
  V_STEP(V_G, d, a, b, c, X[2], 0xfcefa3f8, 9);
  V_STEP(V_G, c, d, a, b, X[7], 0x676f02d9, 14);
  V_STEP(V_G, b, c, d, a, X[12], 0x8d2a4c8a, 20);

  V_STEP(V_H, a, b, c, d, X[5], 0xfffa3942, 4);
  V_STEP(V_H, d, a, b, c, X[8], 0x8771f681, 11);
  V_STEP(V_H, c, d, a, b, X[11], 0x6d9d6122, 16);
  V_STEP(V_H, b, c, d, a, X[14], 0xfde5380c, 23);
  V_STEP(V_H, a, b, c, d, X[1], 0xa4beea44, 4);
  V_STEP(V_H, d, a, b, c, X[4], 0x4bdecfa9, 11);
  V_STEP(V_H, c, d, a, b, X[7], 0xf6bb4b60, 16);
  V_STEP(V_H, b, c, d, a, X[10], 0xbebfbc70, 23);
  V_STEP(V_H, a, b, c, d, X[13], 0x289b7ec6, 4);
  V_STEP(V_H, d, a, b, c, X[0], 0xeaa127fa, 11);
  V_STEP(V_H, c, d, a, b, X[3], 0xd4ef3085, 16);
  V_STEP(V_H, b, c, d, a, X[6], 0x04881d05, 23);
  V_STEP(V_H, a, b, c, d, X[9], 0xd9d4d039, 4);
  V_STEP(V_H, d, a, b, c, X[12], 0xe6db99e5, 11);
  V_STEP(V_H, c, d, a, b, X[15], 0x1fa27cf8, 16);
  V_STEP(V_H, b, c, d, a, X[2], 0xc4ac5665, 23);

  V_STEP(V_I, a, b, c, d, X[0], 0xf4292244, 6);
  V_STEP(V_I, d, a, b, c, X[7], 0x432aff97, 10);
  V_STEP(V_I, c, d, a, b, X[14], 0xab9423a7, 15);
  V_STEP(V_I, b, c, d, a, X[5], 0xfc93a039, 21);
  V_STEP(V_I, a, b, c, d, X[12], 0x655b59c3, 6);
  V_STEP(V_I, d, a, b, c, X[3], 0x8f0ccc92, 10);
  V_STEP(V_I, c, d, a, b, X[10], 0xffeff47d, 15);
  V_STEP(V_I, b, c, d, a, X[1], 0x85845dd1, 21);
  V_STEP(V_I, a, b, c, d, X[8], 0x6fa87e4f, 6);
  V_STEP(V_I, d, a, b, c, X[15], 0xfe2ce6e0, 10);
  V_STEP(V_I, c, d, a, b, X[6], 0xa3014314, 15);
  V_STEP(V_I, b, c, d, a, X[13], 0x4e0811a1, 21);
  V_STEP(V_I, a, b, c, d, X[4], 0xf7537e82, 6);
  V_STEP(V_I, d, a, b, c, X[11], 0xbd3af235, 10);
  V_STEP(V_I, c, d, a, b, X[2], 0x2ad7d2bb, 15);
  V_STEP(V_I, b, c, d, a, X[9], 0xeb86d391, 21);

  X[0] = _mm512_xor_si512(X[0], _mm512_add_epi32(a, a0));
  X[1] = _mm512_xor_si512(X[1], _mm512_add_epi32(b, b0));
  X[2] = _mm512_xor_si512(X[2], _mm512_add_epi32(c, c0));
  X[3] = _mm512_xor_si512(X[3], _mm512_add_epi32(d, d0));
  X[15] = _mm512_and_si512(X[15], _mm512_set1_epi32(0x00FFFFFF));  // count byte back to 0
}

#undef V_F
#undef V_G
#undef V_H
#undef V_I
#undef V_STEP

}  // namespace

TGT void digest_keys_avx512(const uint8_t* const* p, const uint32_t* len, chunk_key* out, uint32_t n) {
  constexpr int lanes = 16;
  __m512i X[16];
  for (__m512i& x : X) x = _mm512_setzero_si512();
  int32_t chunk[lanes];
  const uint8_t* at[lanes];
  uint32_t left[lanes];
  uint32_t next = 0;
  for (int l = 0; l < lanes; l++) {
    chunk[l] = next < n ? int32_t(next++) : -1;
    if (chunk[l] >= 0) at[l] = p[chunk[l]], left[l] = len[chunk[l]];
  }
  // Row l holds lane l's next 64-byte group; columns become the words.
  alignas(64) uint32_t rows[lanes][16];
  alignas(64) uint32_t res[4][lanes];
  const __m512i idx = _mm512_setr_epi32(0, 16, 32, 48, 64, 80, 96, 112, 128, 144, 160, 176, 192, 208, 224, 240);
  for (;;) {
    int active = 0;
    __mmask16 done = 0;
    for (int l = 0; l < lanes; l++) {
      auto* row = reinterpret_cast<uint8_t*>(rows[l]);
      if (chunk[l] < 0) {
        std::memset(row, 0, 64);
        continue;
      }
      active++;
      const uint32_t k = left[l] < 63 ? left[l] : 63;
      if (k) std::memcpy(row, at[l], k);
      std::memset(row + k, 0, 64 - k);
      row[63] = uint8_t(k);
      at[l] += k;
      left[l] -= k;
      if (left[l] == 0) done |= __mmask16(1u << l);
    }
    if (!active) break;
    for (int w = 0; w < 16; w++)
      X[w] = _mm512_xor_si512(X[w], _mm512_i32gather_epi32(_mm512_add_epi32(idx, _mm512_set1_epi32(w)), rows, 4));
    compress16(X);
    if (!done) continue;
    for (int w = 0; w < 4; w++) _mm512_store_si512(res[w], X[w]);
    for (int l = 0; l < lanes; l++) {
      if (!(done >> l & 1)) continue;
      chunk_key& key = out[chunk[l]];
      uint32_t words[4] = {res[0][l], res[1][l], res[2][l], res[3][l]};
      std::memcpy(key.b, words, 14);
      const uint32_t L = len[chunk[l]];
      key.b[14] = L & 0xFF;
      key.b[15] = (L >> 8) & 0xFF;
      chunk[l] = next < n ? int32_t(next++) : -1;
      if (chunk[l] >= 0) at[l] = p[chunk[l]], left[l] = len[chunk[l]];
    }
    for (__m512i& x : X) x = _mm512_mask_mov_epi32(x, done, _mm512_setzero_si512());
  }
}

bool cpu_has_avx512() { return __builtin_cpu_supports("avx512f"); }

#else

void digest_keys_avx512(const uint8_t* const* p, const uint32_t* len, chunk_key* out, uint32_t n) {
  digest_keys_scalar(p, len, out, n);
}
bool cpu_has_avx512() { return false; }

#endif

digest_keys_fn digest_keys = digest_keys_scalar;

void digest_select(const char* path) {
  const bool portable = path && (std::strcmp(path, "scalar") == 0 || std::strcmp(path, "span") == 0);
  digest_keys = !portable && cpu_has_avx512() ? digest_keys_avx512 : digest_keys_scalar;
}

}  // namespace dupcut
