// Content-defined chunking. A boundary falls where the CRC-32 of the last 16
// bytes is below roll_threshold, no earlier than the 64th byte of a chunk
// and no later than the 65535th, so boundaries depend on the chunk's own
// bytes only. Every chunk gets a key: 14 bytes of a digest built on the MD5
// compression function, then its length.
#pragma once

#include <cstdint>


namespace dupcut {

constexpr uint32_t min_chunk = 64;
constexpr uint32_t max_chunk = 65535;
constexpr uint32_t roll_bytes = 16;
// Room for a chunk and the code bytes held in front of it.
constexpr uint32_t chunk_buf_size = 69632;

// 14 digest bytes, then the chunk length as u16 little-endian.
struct chunk_key {
  uint8_t b[16];
};

struct chunker {
  uint32_t roll_hash;       // CRC-32 of the last roll_window bytes
  uint32_t chunk_len;       // bytes of the open chunk
  uint32_t byte_count;      // bytes rolled in; only the low 8 bits are used
  uint32_t roll_window;     // bytes, roll_bytes
  uint32_t roll_threshold;  // a boundary where roll_hash is below it
  // The open chunk's digest: 63 bytes absorbed, fill count in byte 63.
  alignas(16) uint8_t digest_buf[64];
  uint32_t crc_table[256];
  uint32_t drop_table[256];     // cancels a byte leaving the window
  uint8_t roll_history[256];    // the last bytes, at byte_count & 0xFF
  chunk_key cur_key;            // the key of the chunk closed last
};

// The rolling hash's CRC-32 step table (256 entries).
void crc_table_fill(uint32_t* t);
void chunker_init(chunker& s, uint32_t chunkdiv);

// MD5 compression of a 64-byte digest buffer from the initial values, the
// result XORed into its first 16 bytes; clears the fill count in byte 63.
void digest_block(uint8_t* buf);
void digest_compress(chunker& s);

inline void digest_absorb(chunker& s, uint8_t g) {
  uint32_t n = s.digest_buf[63];
  if (n == 63) {
    digest_compress(s);
    n = 0;
  }
  s.digest_buf[n] ^= g;
  s.digest_buf[63] = static_cast<uint8_t>(n + 1);
}

inline bool chunk_boundary(const chunker& s) {
  return s.chunk_len >= min_chunk && (s.roll_hash < s.roll_threshold || s.chunk_len >= max_chunk);
}

// The rolling hash, history ring and counters without the digest: all the
// decoder needs to find boundaries.
inline bool chunker_roll(chunker& s, uint8_t g) {
  uint8_t out = s.roll_history[(s.byte_count - s.roll_window) & 0xFF];
  s.roll_hash = (s.roll_hash >> 8) ^ s.crc_table[(s.roll_hash & 0xFF) ^ g] ^ s.drop_table[out];
  s.roll_history[s.byte_count & 0xFF] = g;
  s.chunk_len++;
  s.byte_count++;
  return chunk_boundary(s);
}

// One data byte through hash and digest; true when the chunk ends with it.
inline bool chunker_feed(chunker& s, uint8_t g) {
  digest_absorb(s, g);
  return chunker_roll(s, g);
}

// Closes the chunk: cur_key = digest bytes 0..13 + length; clears the
// digest buffer and chunk_len. The rolling hash runs on.
void chunk_finish(chunker& s);

// Closes the chunk without digest work, for a caller that fed with
// chunker_roll and needs only the length; returns it.
inline uint32_t chunk_finish_len(chunker& s) {
  uint32_t len = s.chunk_len;
  s.cur_key.b[14] = len & 0xFF;
  s.cur_key.b[15] = (len >> 8) & 0xFF;
  s.chunk_len = 0;
  return len;
}

// Window-hash scans and whole-chunk digests over spans are kernels of their
// own (kernels.h); dispatch.h runs the ones in use.

// The whole-buffer route to chunker_feed's boundaries: appends bytes from
// [*p, e) to the chunk in buf, which holds `fill` bytes, and returns true
// when the chunk ends. buf keeps the chunk's bytes, so windows that reach
// back before *p are read there; neither roll_hash nor roll_history is
// kept on this route. buf needs room for max_chunk bytes.
bool chunker_scan(chunker& s, uint8_t* buf, uint32_t& fill, const uint8_t*& p, const uint8_t* e);
// chunker_scan for a caller that keeps the bytes where they are: buf gets
// only the chunk's last 15 bytes (at their places) when the chunk goes on.
bool chunker_cut(chunker& s, uint8_t* buf, uint32_t& fill, const uint8_t*& p, const uint8_t* e);

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

// chunk_finish for a chunk whose bytes are all in buf and that was never
// absorbed byte by byte: the same key, built 63 bytes at a time.
void chunk_finish_buf(chunker& s, const uint8_t* buf, uint32_t len);

inline uint32_t key_len(const chunk_key& k) { return k.b[14] | (uint32_t(k.b[15]) << 8); }

}  // namespace dupcut
