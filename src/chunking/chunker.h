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

// MD5 compression of digest_buf from the initial values, result XORed into
// its first 16 bytes; clears the fill count in byte 63.
void digest_compress(codec_state& s);

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

inline uint32_t key_len(const chunk_key& k) { return k.b[14] | (uint32_t(k.b[15]) << 8); }

}  // namespace dupcut
