// The encoded stream's vocabulary, shared by the writer and the reader:
// header, control codes and the position space.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dupcut {

constexpr uint32_t header_size = 4;

// Every control code opens with this marker; the fourth byte names it.
constexpr uint8_t esc0 = 0xEF, esc1 = 0x4D, esc2 = 0xB6;
constexpr uint8_t code_match = 0x00;     // + 4-byte distance, little-endian
constexpr uint8_t code_escape = 0x01;    // a literal record follows
constexpr uint8_t code_continue = 0x02;  // distance follows from expected_pos
constexpr uint32_t match_code_len = 8;
constexpr uint32_t short_code_len = 4;

// Positions count data bytes modulo 0xFFFF0000, skipping the top 64 Ki
// values so that position + 2 always fits a table tag.
constexpr uint32_t pos_limit = 0xFFFF0000u;

constexpr uint32_t pos_advance(uint32_t p, uint32_t n) {
  uint32_t r = p + n;
  return r >= pos_limit ? r + 0x10000u : r;
}

// Bytes from b forward to a; 0xFFFF0000 when a == b.
constexpr uint32_t pos_distance(uint32_t a, uint32_t b) {
  return a > b ? a - b : a - b - 0x10000u;
}

// True when the first four bytes of a literal record would read as a code,
// so the record needs an escape code in front.
constexpr bool needs_escape(const uint8_t* p, uint32_t len) {
  return len >= 4 && p[0] == esc0 && p[1] == esc1 && p[2] == esc2 && p[3] <= code_continue;
}

// match_src / expected_pos, kept in step by writer and reader.
struct match_track {
  uint32_t match_src = 0;
  uint32_t expected_pos = 0;
  // After every chunk, whatever its record; a plain sum, no position skip.
  void chunk_done(uint32_t len) { expected_pos = match_src + len; }
};

// Where the data stands; writer and reader count alike.
struct stream_counts {
  uint64_t total_bytes;  // data bytes so far
  uint64_t chunk_count;  // chunks closed so far
  uint64_t match_bytes;  // data bytes in match and continue records
  uint32_t cur_pos;      // total_bytes in the position space
};

struct codec_io;
struct chunker;

// What the writer's and the reader's loops work on: the codec's I/O,
// chunker and counters, and the side's own part of the state.
template <class Part>
struct loop_view {
  codec_io& io;
  chunker& ck;
  Part& part;
  stream_counts& cnt;
};

// The arena of a loop's coroutine frames (see codec_task).
template <class Part>
codec_io& io_of(const loop_view<Part>& v) {
  return v.io;
}

// Why reading a stream stopped, or what it found; each comes with the
// sentence a user reads.
enum class fault : uint8_t {
  none,
  truncated,   // the stream ends inside its header or a code
  damaged,     // not an encoder's output
  window_cap,  // the header's window is above what the reader allows
  memory,      // the window cannot be had
};

struct stream_status {
  fault code;
  const char* msg;  // null with fault::none
};

// A stream's header as read from its first n bytes, checked: problem and
// code say why it is refused (fault::none and null when it is not).
struct stream_header {
  uint32_t chunkdiv;
  uint32_t window_mib;
  uint64_t decoder_memory;  // bytes of window a reader must allocate
  const char* problem;
  fault code;
};

constexpr stream_header read_header(const uint8_t* p, size_t n) {
  stream_header h{0, 0, 0, nullptr, fault::none};
  if (n < header_size) {
    h.problem = "stream too short for its header";
    h.code = fault::truncated;
    return h;
  }
  h.chunkdiv = uint32_t(p[0] | p[1] << 8);
  h.window_mib = uint32_t(p[2] | p[3] << 8);
  h.decoder_memory = uint64_t(h.window_mib) << 20;
  if (h.chunkdiv == 0)
    h.problem = "bad stream header: chunk divisor 0";
  else if (h.window_mib == 0 || h.window_mib > 4095)
    h.problem = "bad stream header: window size out of range";
  if (h.problem) h.code = fault::damaged;
  return h;
}

// Header bytes from the configuration: divisor low 16 bits, window in MiB
// as 12 bits, both little-endian.
inline void header_bytes(uint32_t chunkdiv, uint32_t decwinsize, uint8_t out[4]) {
  out[0] = chunkdiv & 0xFF;
  out[1] = (chunkdiv >> 8) & 0xFF;
  out[2] = (decwinsize >> 20) & 0xFF;
  out[3] = decwinsize >> 28;
}

}  // namespace dupcut
