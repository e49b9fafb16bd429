#include "chunking/chunker.h"

#include <cstring>

#include "chunking/dispatch.h"

namespace dupcut {

namespace {

uint32_t zero_steps(const uint32_t* crc, uint32_t h, uint32_t n) {
  for (uint32_t i = 0; i < n; i++) h = (h >> 8) ^ crc[h & 0xFF];
  return h;
}

}  // namespace

void crc_table_fill(uint32_t* t) {
  // Indexed by the complemented byte and offset so that a register starting
  // at 0 holds the finished CRC-32 of the bytes stepped in.
  for (uint32_t i = 0; i < 256; i++) {
    uint32_t v = i;
    for (int k = 0; k < 8; k++) v = (v & 1) ? (v >> 1) ^ 0xEDB88320u : v >> 1;
    t[i ^ 0xFF] = v ^ 0xFF000000u;
  }
}

void chunker_init(chunker& s, uint32_t chunkdiv) {
  crc_table_fill(s.crc_table);
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

void chunk_finish_buf(chunker& s, const uint8_t* buf, uint32_t len) {
  digest_keys_portable(&buf, &len, &s.cur_key, 1);
  s.chunk_len = 0;
}

void chunk_finish(chunker& s) {
  digest_compress(s);
  std::memcpy(s.cur_key.b, s.digest_buf, 14);
  s.cur_key.b[14] = s.chunk_len & 0xFF;
  s.cur_key.b[15] = (s.chunk_len >> 8) & 0xFF;
  std::memset(s.digest_buf, 0, sizeof s.digest_buf);
  s.chunk_len = 0;
}

}  // namespace dupcut
