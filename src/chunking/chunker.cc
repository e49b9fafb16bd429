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

bool chunker_cut(chunker& s, uint8_t* buf, uint32_t& fill, const uint8_t*& p, const uint8_t* e) {
  const uint32_t f = fill;
  uint32_t k = uint32_t(e - p) < max_chunk - f ? uint32_t(e - p) : max_chunk - f;
  // Candidate positions, as indices of the chunk's last byte: from the
  // 64th byte on, among the k bytes taken here.
  const uint32_t lo = f > min_chunk - 1 ? f : min_chunk - 1;
  uint32_t j = f + k;
  if (lo < f + k) {
    // Windows of the first 15 new positions reach back into buf.
    const uint32_t near = k < roll_bytes - 1 ? k : roll_bytes - 1;
    std::memcpy(buf + f, p, near);
    j = lo < f + near ? cut_find(s, buf, lo, f + near) : f + near;
    if (j == f + near) {
      const uint32_t from = lo > f + near ? lo : f + near;
      j = f + cut_find(s, p, from - f, k);
    }
  }
  bool end;
  if (j < f + k) {
    k = j + 1 - f;
    end = true;
  } else {
    end = f + k == max_chunk;
    // The windows of the next call's first positions reach back here.
    const uint32_t h = k < roll_bytes - 1 ? k : roll_bytes - 1;
    std::memcpy(buf + f + k - h, p + k - h, h);
  }
  p += k;
  s.byte_count += k;
  fill = f + k;
  s.chunk_len = fill;
  return end;
}

bool chunker_scan(chunker& s, uint8_t* buf, uint32_t& fill, const uint8_t*& p, const uint8_t* e) {
  const uint8_t* const p0 = p;
  const uint32_t f = fill;
  const bool end = chunker_cut(s, buf, fill, p, e);
  std::memcpy(buf + f, p0, fill - f);
  return end;
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
