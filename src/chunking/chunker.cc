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

void chunk_finish_buf(codec_state& s, const uint8_t* buf, uint32_t len) {
  uint8_t* d = s.digest_buf;
  uint32_t i = 0;
  for (;;) {
    uint32_t k = len - i < 63 ? len - i : 63;
    for (uint32_t j = 0; j < k; j++) d[j] ^= buf[i + j];
    d[63] = uint8_t(k);
    i += k;
    if (i == len) break;
    digest_compress(s);
  }
  s.chunk_len = len;
  chunk_finish(s);
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
