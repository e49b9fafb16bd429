// Content-defined chunking. A boundary falls where the CRC-32 of the last 16
// bytes is below roll_threshold, no earlier than the 64th byte of a chunk
// and no later than the 65535th, so boundaries depend on the chunk's own
// bytes only. Every chunk gets a key: 14 bytes of a digest built on the MD5
// compression function, then its length.
#pragma once

#include <cstdint>

#include "driver/codec_state.h"

namespace dupcut {

constexpr uint32_t min_chunk = 64;
constexpr uint32_t max_chunk = 65535;
constexpr uint32_t roll_bytes = 16;

void chunker_init(codec_state& s, uint32_t chunkdiv);

// MD5 compression of a 64-byte digest buffer from the initial values, the
// result XORed into its first 16 bytes; clears the fill count in byte 63.
void digest_block(uint8_t* buf);
void digest_compress(codec_state& s);

// Keys of n whole chunks (chunk i: len[i] bytes at p[i]), the same as
// feeding and closing each. digest_keys is the fastest route this CPU has.
void digest_keys_scalar(const uint8_t* const* p, const uint32_t* len, chunk_key* out, uint32_t n);
void digest_keys_avx512(const uint8_t* const* p, const uint32_t* len, chunk_key* out, uint32_t n);
using digest_keys_fn = void (*)(const uint8_t* const*, const uint32_t*, chunk_key*, uint32_t);
extern digest_keys_fn digest_keys;
// Picks digest_keys once: "scalar" forces the portable code.
void digest_select(const char* path);
bool cpu_has_avx512();

inline void digest_absorb(codec_state& s, uint8_t g) {
  uint32_t n = s.digest_buf[63];
  if (n == 63) {
    digest_compress(s);
    n = 0;
  }
  s.digest_buf[n] ^= g;
  s.digest_buf[63] = static_cast<uint8_t>(n + 1);
}

inline bool chunk_boundary(const codec_state& s) {
  return s.chunk_len >= min_chunk && (s.roll_hash < s.roll_threshold || s.chunk_len >= max_chunk);
}

// The rolling hash, history ring and counters without the digest: all the
// decoder needs to find boundaries.
inline bool chunker_roll(codec_state& s, uint8_t g) {
  uint8_t out = s.roll_history[(s.byte_count - s.roll_window) & 0xFF];
  s.roll_hash = (s.roll_hash >> 8) ^ s.crc_table[(s.roll_hash & 0xFF) ^ g] ^ s.drop_table[out];
  s.roll_history[s.byte_count & 0xFF] = g;
  s.chunk_len++;
  s.byte_count++;
  return chunk_boundary(s);
}

// One data byte through hash and digest; true when the chunk ends with it.
inline bool chunker_feed(codec_state& s, uint8_t g) {
  digest_absorb(s, g);
  return chunker_roll(s, g);
}

// Closes the chunk: cur_key = digest bytes 0..13 + length; clears the
// digest buffer and chunk_len. The rolling hash runs on.
void chunk_finish(codec_state& s);

// Closes the chunk without digest work, for a caller that fed with
// chunker_roll and needs only the length; returns it.
inline uint32_t chunk_finish_len(codec_state& s) {
  uint32_t len = s.chunk_len;
  s.cur_key.b[14] = len & 0xFF;
  s.cur_key.b[15] = (len >> 8) & 0xFF;
  s.chunk_len = 0;
  return len;
}

// The whole-buffer route to the same boundaries: appends bytes from
// [*p, e) to the chunk in buf, which holds `fill` bytes, and returns true
// when the chunk ends. A boundary test looks only at the chunk's own last 16
// bytes, so the hash starts from scratch at the 49th byte; the first 48
// bytes are only copied. roll_hash carries the partial hash between calls;
// roll_history is not kept on this route.
inline bool chunker_scan(codec_state& s, uint8_t* buf, uint32_t& fill, const uint8_t*& p, const uint8_t* e) {
  const uint32_t* const crc = s.crc_table;
  const uint32_t* const drop = s.drop_table;
  const uint32_t thr = s.roll_threshold;
  const uint8_t* const p0 = p;
  uint32_t f = fill, h = s.roll_hash;
  bool end = false;
  if (f < 48) {
    uint32_t k = 48 - f;
    if (uint64_t(e - p) < k) k = uint32_t(e - p);
    __builtin_memcpy(buf + f, p, k);
    f += k;
    p += k;
  }
  while (p < e) {
    const uint8_t g = *p++;
    if (f >= min_chunk) {
      h = (h >> 8) ^ crc[(h ^ g) & 0xFF] ^ drop[buf[f - roll_bytes]];
    } else {
      if (f == min_chunk - roll_bytes) h = 0;
      h = (h >> 8) ^ crc[(h ^ g) & 0xFF];
    }
    buf[f++] = g;
    if (f >= min_chunk && (h < thr || f >= max_chunk)) {
      end = true;
      break;
    }
  }
  s.roll_hash = h;
  s.byte_count += uint32_t(p - p0);
  s.chunk_len = f;
  fill = f;
  return end;
}

// Boundary candidates of a whole block, in place: bit j of bits is set when
// the CRC of d[j-15..j] is below roll_threshold (for 15 <= j < n). Such a
// hash depends on those 16 bytes only, so eight independent lanes each roll
// over an eighth of the block; the serial pass that picks boundaries from
// the bits (no earlier than the 64th byte of a chunk) is cheap.
void chunker_candidates(const codec_state& s, const uint8_t* d, uint32_t n, uint64_t* bits);

// The first set bit in [lo, hi), or hi when there is none.
inline uint32_t next_candidate(const uint64_t* bits, uint32_t lo, uint32_t hi) {
  uint32_t w = lo >> 6;
  uint64_t m = bits[w] & (~uint64_t(0) << (lo & 63));
  for (;;) {
    if (m) {
      uint32_t j = (w << 6) + uint32_t(__builtin_ctzll(m));
      return j < hi ? j : hi;
    }
    if ((++w << 6) >= hi) return hi;
    m = bits[w];
  }
}

// The state chunker_scan would carry after taking the `fill` bytes of buf
// without a boundary, for a chunk gathered by other means.
inline void chunker_resume(codec_state& s, const uint8_t* buf, uint32_t fill) {
  const uint32_t* const crc = s.crc_table;
  uint32_t h = 0;
  if (fill > min_chunk - roll_bytes) {
    const uint32_t from = fill > min_chunk ? fill - roll_bytes : min_chunk - roll_bytes;
    for (uint32_t i = from; i < fill; i++) h = (h >> 8) ^ crc[(h ^ buf[i]) & 0xFF];
  }
  s.roll_hash = h;
  s.chunk_len = fill;
}

// chunk_finish for a chunk whose bytes are all in buf and that was never
// absorbed byte by byte: the same key, built 63 bytes at a time.
void chunk_finish_buf(codec_state& s, const uint8_t* buf, uint32_t len);

inline uint32_t key_len(const chunk_key& k) { return k.b[14] | (uint32_t(k.b[15]) << 8); }

}  // namespace dupcut
