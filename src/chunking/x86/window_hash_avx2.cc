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

// nib[k][i][h]: the share in hash byte k of window byte i's (0 the oldest)
// low (h 0) or high (h 1) nibble, 16 entries in each 128-bit lane.
// cst[k]: hash byte k of sixteen zero bytes with its top bit flipped, so
// that signed byte compares order the hash bytes as unsigned ones.
struct nibble_tables {
  alignas(32) uint8_t nib[4][roll_bytes][2][32];
  alignas(32) uint8_t cst[4][32];
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
  const uint32_t h0 = hash(w);
  for (int k = 0; k < 4; k++) std::memset(t.cst[k], uint8_t(h0 >> (8 * k)) ^ 0x80, 32);
  for (uint32_t i = 0; i < roll_bytes; i++) {
    for (int h = 0; h < 2; h++)
      for (uint32_t v = 0; v < 16; v++) {
        w[i] = uint8_t(v << (4 * h));
        const uint32_t share = hash(w) ^ h0;
        for (int k = 0; k < 4; k++) t.nib[k][i][h][v] = t.nib[k][i][h][v + 16] = uint8_t(share >> (8 * k));
      }
    w[i] = 0;
  }
  return t;
}

const nibble_tables& tables() {
  static const nibble_tables t = build_tables();
  return t;
}

INL __m256i load(const uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
INL __m256i row(const uint8_t (&p)[32]) { return _mm256_load_si256(reinterpret_cast<const __m256i*>(p)); }
INL __m256i shuf(const uint8_t (&tab)[32], __m256i idx) { return _mm256_shuffle_epi8(row(tab), idx); }

// A block's nibbles: the 47 bytes that its 32 windows cover, low nibbles
// in lo[0..46], high ones in hi[0..46]. Every window's lookups load from
// inside one 64-byte line: a load across two lines costs two.
struct block_row {
  alignas(64) uint8_t lo[64];
  uint8_t hi[64];
};

// Hash byte k of G blocks of 32 windows.
template <int G>
INL void hash_byte_rows(const block_row* r, const nibble_tables& t, int k, __m256i* x) {
  for (int g = 0; g < G; g++) x[g] = row(t.cst[k]);
#pragma GCC unroll 16
  for (uint32_t i = 0; i < roll_bytes; i++) {
    __m256i a = row(t.nib[k][i][0]), b = row(t.nib[k][i][1]);
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

// Hash byte k of the 32 windows ending at w[15..46], splitting as it loads.
INL __m256i hash_byte_direct(const uint8_t* w, const nibble_tables& t, int k) {
  const __m256i m = _mm256_set1_epi8(0x0F);
  __m256i x0 = row(t.cst[k]), x1 = _mm256_setzero_si256();
  for (uint32_t i = 0; i < roll_bytes; i += 2) {
    const __m256i v0 = load(w + i), v1 = load(w + i + 1);
    x0 = _mm256_xor_si256(x0, shuf(t.nib[k][i][0], _mm256_and_si256(v0, m)));
    x1 = _mm256_xor_si256(x1, shuf(t.nib[k][i][1], _mm256_and_si256(_mm256_srli_epi16(v0, 4), m)));
    x0 = _mm256_xor_si256(x0, shuf(t.nib[k][i + 1][0], _mm256_and_si256(v1, m)));
    x1 = _mm256_xor_si256(x1, shuf(t.nib[k][i + 1][1], _mm256_and_si256(_mm256_srli_epi16(v1, 4), m)));
  }
  return _mm256_xor_si256(x0, x1);
}

// Below (hit) and equal (tie) masks of hash byte x against threshold byte k.
INL void compare(__m256i x, uint32_t thr, int k, uint32_t& hit, uint32_t& tie) {
  const __m256i t = _mm256_set1_epi8(char(uint8_t(thr >> (8 * k)) ^ 0x80));
  hit = uint32_t(_mm256_movemask_epi8(_mm256_cmpgt_epi8(t, x)));
  tie = uint32_t(_mm256_movemask_epi8(_mm256_cmpeq_epi8(t, x)));
}

// Settles the ties of one block by the lower hash bytes; hash(k) gives
// hash byte k. With first_only, ties past the first hit stay undecided.
template <bool first_only, class F>
INL uint32_t settle(uint32_t hit, uint32_t tie, uint32_t thr, F&& hash) {
  for (int k = 2; k >= 0; k--) {
    if constexpr (first_only) tie &= (hit & (0 - hit)) - 1;  // all ones when no hit
    if (!tie) break;
    uint32_t h, e;
    compare(hash(k), thr, k, h, e);
    hit |= h & tie;
    tie &= e;
  }
  return hit;
}

// 32 bytes of d from `from`, zero where outside d[0..n-1].
INL __m256i load_within(const uint8_t* d, int64_t from, uint32_t n) {
  if (from >= 0 && from + 32 <= int64_t(n)) return load(d + from);
  alignas(32) uint8_t tmp[32] = {};
  for (int64_t b = from < 0 ? -from : 0; b < 32 && from + b < int64_t(n); b++) tmp[b] = d[from + b];
  return _mm256_load_si256(reinterpret_cast<const __m256i*>(tmp));
}

// The rows of the blocks of positions p, p + 32, ..., m of them.
TGT void fill_rows(const uint8_t* d, uint32_t p, uint32_t n, block_row* r, uint32_t m) {
  const __m256i mask = _mm256_set1_epi8(0x0F);
  for (uint32_t b = 0; b < m; b++, p += 32) {
    const int64_t from = int64_t(p) - (roll_bytes - 1);
    const __m256i u = load_within(d, from, n), v = load_within(d, from + 16, n);
    auto put = [&](uint8_t* at, __m256i x) TGT { _mm256_storeu_si256(reinterpret_cast<__m256i*>(at), x); };
    put(r[b].lo, _mm256_and_si256(u, mask));
    put(r[b].lo + 16, _mm256_and_si256(v, mask));
    put(r[b].hi, _mm256_and_si256(_mm256_srli_epi16(u, 4), mask));
    put(r[b].hi + 16, _mm256_and_si256(_mm256_srli_epi16(v, 4), mask));
  }
}

constexpr uint32_t span = 1024;  // positions per round
constexpr int group = 8;         // blocks hashed per table load

// Candidate bits of the G blocks from position p, as 32-bit halves.
template <int G>
INL void blocks(const block_row* r, uint32_t p, uint32_t n, uint32_t thr, const nibble_tables& t, uint32_t* out) {
  __m256i x[G];
  hash_byte_rows<G>(r, t, 3, x);
  for (int g = 0; g < G; g++, p += 32) {
    uint32_t hit, tie;
    compare(x[g], thr, 3, hit, tie);
    if (tie) hit = settle<false>(hit, tie, thr, [&](int k) TGT {
      __m256i y;
      hash_byte_rows<1>(r + g, t, k, &y);
      return y;
    });
    // Only positions with a whole window inside d count.
    if (p < roll_bytes - 1) hit &= ~0u << (roll_bytes - 1 - p);
    if (p >= n) hit = 0;
    else if (n - p < 32) hit &= (1u << (n - p)) - 1;
    out[g] = hit;
  }
}

}  // namespace

TGT void chunker_candidates_avx2(const chunker& s, const uint8_t* d, uint32_t n, uint64_t* bits) {
  const nibble_tables& t = tables();
  const uint32_t thr = s.roll_threshold, end = (n + 63) / 64 * 64;
  block_row r[span / 32];
  for (uint32_t base = 0; base < end; base += span) {
    // m is a multiple of 64: whole words.
    const uint32_t m = end - base < span ? end - base : span;
    fill_rows(d, base, n, r, m / 32);
    alignas(8) uint32_t out[span / 32];
    for (uint32_t b = 0; b < m / 32; b += group) {
      if (m / 32 - b >= group)
        blocks<group>(r + b, base + 32 * b, n, thr, t, out + b);
      else
        for (uint32_t c = b; c < m / 32; c += 2) blocks<2>(r + c, base + 32 * c, n, thr, t, out + c);
    }
    std::memcpy(reinterpret_cast<uint8_t*>(bits) + base / 8, out, m / 8);
  }
}

TGT uint32_t cut_find_avx2(const chunker& s, const uint8_t* q, uint32_t lo, uint32_t hi) {
  const nibble_tables& t = tables();
  const uint32_t thr = s.roll_threshold;
  for (uint32_t j = lo; j < hi; j += 32) {
    // The block of windows ending at j..j+31, or at hi-32..hi-1 near the
    // end (those before j already had no hit); reads w[0..46] only.
    alignas(32) uint8_t tmp[64] = {};
    const uint8_t* w;
    uint32_t skip = 0, keep = 32;
    if (hi - j >= 32) {
      w = q + j - (roll_bytes - 1);
    } else if (hi - lo >= 32) {
      w = q + hi - 32 - (roll_bytes - 1);
      skip = 32 - (hi - j);
    } else {
      std::memcpy(tmp, q + j - (roll_bytes - 1), hi - j + roll_bytes - 1);
      w = tmp;
      keep = hi - j;
    }
    uint32_t hit, tie;
    compare(hash_byte_direct(w, t, 3), thr, 3, hit, tie);
    const uint32_t valid = (keep == 32 ? ~0u : (1u << keep) - 1) & (~0u << skip);
    hit &= valid;
    tie &= valid;
    if (tie) hit = settle<true>(hit, tie, thr, [&](int k) TGT { return hash_byte_direct(w, t, k); });
    if (hit) return j - skip + uint32_t(__builtin_ctz(hit));
  }
  return hi;
}

#undef INL
#undef TGT

}  // namespace dupcut
