// The window hash over whole spans, in portable code: the reference for
// the SIMD kernels beside it. Each position's verdict is the CRC-32 of its
// own 16 bytes against the threshold, rolled on one byte at a time.
#include <cstring>

#include "chunking/kernels.h"

namespace dupcut {

uint32_t window_hash16(const uint8_t* w) {
  static const auto crc = [] {
    struct table {
      uint32_t t[256];
    } c;
    crc_table_fill(c.t);
    return c;
  }();
  uint32_t h = 0;
  for (uint32_t i = 0; i < roll_bytes; i++) h = (h >> 8) ^ crc.t[(h ^ w[i]) & 0xFF];
  return h;
}

void chunker_candidates_portable(const chunker& s, const uint8_t* d, uint32_t n, uint64_t* bits) {
  std::memset(bits, 0, size_t((n + 63) / 64) * sizeof(uint64_t));
  if (n < roll_bytes) return;
  const uint32_t* const crc = s.crc_table;
  const uint32_t* const drop = s.drop_table;
  const uint32_t thr = s.roll_threshold;
  constexpr uint32_t first = roll_bytes - 1;  // the first position with a whole window
  // Eight independent lanes, each over an eighth of the block.
  constexpr int lanes = 8;
  const uint32_t seg = (n - first) / lanes;
  uint32_t h[lanes];
  for (int l = 0; l < lanes; l++) {
    const uint32_t a = first + uint32_t(l) * seg;
    uint32_t x = 0;
    for (uint32_t i = a - first; i <= a; i++) x = (x >> 8) ^ crc[(x ^ d[i]) & 0xFF];
    h[l] = x;
    if (seg && x < thr) bits[a >> 6] |= uint64_t(1) << (a & 63);
  }
  for (uint32_t k = 1; k < seg; k++) {
    for (int l = 0; l < lanes; l++) {
      const uint32_t j = first + uint32_t(l) * seg + k;
      h[l] = (h[l] >> 8) ^ crc[(h[l] ^ d[j]) & 0xFF] ^ drop[d[j - roll_bytes]];
      if (h[l] < thr) bits[j >> 6] |= uint64_t(1) << (j & 63);
    }
  }
  // What the lanes left over, rolling on from the last one.
  uint32_t j = first + lanes * seg;
  uint32_t x = h[lanes - 1];
  if (seg == 0) {
    x = 0;
    for (uint32_t i = 0; i <= first; i++) x = (x >> 8) ^ crc[(x ^ d[i]) & 0xFF];
    if (x < thr) bits[first >> 6] |= uint64_t(1) << (first & 63);
    j = first + 1;
  }
  for (; j < n; j++) {
    x = (x >> 8) ^ crc[(x ^ d[j]) & 0xFF] ^ drop[d[j - roll_bytes]];
    if (x < thr) bits[j >> 6] |= uint64_t(1) << (j & 63);
  }
}

uint32_t cut_find_portable(const chunker& s, const uint8_t* q, uint32_t lo, uint32_t hi) {
  if (lo >= hi) return hi;
  const uint32_t* const crc = s.crc_table;
  const uint32_t* const drop = s.drop_table;
  const uint32_t thr = s.roll_threshold;
  uint32_t h = 0;
  for (uint32_t i = lo - (roll_bytes - 1); i <= lo; i++) h = (h >> 8) ^ crc[(h ^ q[i]) & 0xFF];
  if (h < thr) return lo;
  for (uint32_t j = lo + 1; j < hi; j++) {
    h = (h >> 8) ^ crc[(h ^ q[j]) & 0xFF] ^ drop[q[j - roll_bytes]];
    if (h < thr) return j;
  }
  return hi;
}

}  // namespace dupcut
