#include "chunking/chunker.h"

#include <cstring>

namespace dupcut {

namespace {

uint32_t zero_steps(const uint32_t* crc, uint32_t h, uint32_t n) {
  for (uint32_t i = 0; i < n; i++) h = (h >> 8) ^ crc[h & 0xFF];
  return h;
}

}  // namespace

void chunker_init(codec_state& s, uint32_t chunkdiv) {
  // Indexed by the complemented byte and offset so that a register starting
  // at 0 holds the finished CRC-32 of the bytes stepped in.
  for (uint32_t i = 0; i < 256; i++) {
    uint32_t v = i;
    for (int k = 0; k < 8; k++) v = (v & 1) ? (v >> 1) ^ 0xEDB88320u : v >> 1;
    s.crc_table[i ^ 0xFF] = v ^ 0xFF000000u;
  }
  s.roll_window = roll_bytes;
  s.roll_threshold = 0xFFFFFFFFu / chunkdiv;
  std::memset(s.roll_history, 0, sizeof s.roll_history);
  uint32_t h0 = zero_steps(s.crc_table, 0, s.roll_window);
  s.roll_hash = h0;
  // drop_table[k] cancels byte k as it leaves the 16-byte window.
  for (uint32_t k = 0; k < 256; k++) s.drop_table[k] = zero_steps(s.crc_table, s.crc_table[k], s.roll_window) ^ h0;
  s.byte_count = 0;
  std::memset(s.digest_buf, 0, sizeof s.digest_buf);
  s.chunk_len = 0;
}

void chunker_candidates(const codec_state& s, const uint8_t* d, uint32_t n, uint64_t* bits) {
  std::memset(bits, 0, size_t((n + 63) / 64) * sizeof(uint64_t));
  if (n < roll_bytes) return;
  const uint32_t* const crc = s.crc_table;
  const uint32_t* const drop = s.drop_table;
  const uint32_t thr = s.roll_threshold;
  constexpr uint32_t first = roll_bytes - 1;  // the first position with a whole window
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

void chunk_finish_buf(codec_state& s, const uint8_t* buf, uint32_t len) {
  digest_keys_scalar(&buf, &len, &s.cur_key, 1);
  s.chunk_len = 0;
}

void chunk_finish(codec_state& s) {
  digest_compress(s);
  std::memcpy(s.cur_key.b, s.digest_buf, 14);
  s.cur_key.b[14] = s.chunk_len & 0xFF;
  s.cur_key.b[15] = (s.chunk_len >> 8) & 0xFF;
  std::memset(s.digest_buf, 0, sizeof s.digest_buf);
  s.chunk_len = 0;
}

}  // namespace dupcut
