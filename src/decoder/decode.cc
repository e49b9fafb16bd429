#include "decoder/decode.h"

#include <cstring>

#include "chunking/chunker.h"
#include "stream/stream.h"

namespace dupcut {

namespace {

// One restored byte into the chunker and the ring; true at a boundary.
inline bool restore(codec_state& s, uint8_t y) {
  bool end = chunker_roll(s, y);
  s.win_buf[s.win_pos] = y;
  if (++s.win_pos == s.tbl.cfg_decwinsize) s.win_pos = 0;
  return end;
}

// n restored bytes into the ring, in at most two copies.
inline void ring_write(codec_state& s, const uint8_t* p, uint32_t n) {
  const uint32_t w = s.tbl.cfg_decwinsize;
  while (n) {
    uint32_t k = w - s.win_pos < n ? w - s.win_pos : n;
    std::memcpy(s.win_buf + s.win_pos, p, k);
    s.win_pos += k;
    if (s.win_pos == w) s.win_pos = 0;
    p += k;
    n -= k;
  }
}

// The span route of a copy: pieces that neither cross the end of the ring
// nor reach bytes this copy writes, so each piece reads what the byte route
// would read.
inline void copy_span(codec_state& s, uint32_t src) {
  const uint32_t w = s.tbl.cfg_decwinsize;
  uint32_t ahead = uint32_t((uint64_t(s.win_pos) + w - src) % w);
  if (ahead == 0) ahead = w;
  uint32_t f = 0;
  for (;;) {
    uint32_t k = w - src < ahead ? w - src : ahead;
    const uint8_t* p = s.win_buf + src;
    const uint32_t f0 = f;
    const bool end = chunker_scan(s, s.chunk_buf, f, p, p + k);
    ring_write(s, s.chunk_buf + f0, f - f0);
    if (end) break;
    src += f - f0;
    if (src == w) src = 0;
  }
  s.chunk_fill = f;
}

}  // namespace

void replay_held(codec_state& s) {
  for (uint32_t i = 0; i < s.chunk_fill; i++) restore(s, s.chunk_buf[i]);
}

codec_task decode_loop(codec_state& s) {
  s.total_bytes = 0;
  s.chunk_count = 0;
  s.match_bytes = 0;
  s.cur_pos = 0;
  s.chunk_fill = 0;
  const uint32_t winsize = s.tbl.cfg_decwinsize;
  uint32_t emit_from = 0;
  match_track mt;
  bool at_end = false;

  for (;;) {
    // One record: hold up to four bytes, then copy or pass data through
    // until the chunker closes the chunk (or the stream ends).
    bool closed = false;
    while (!closed) {
      if (s.span_io && s.chunk_fill >= 4) {
        // Inside a literal record: take the buffered bytes as they stand.
        if (s.in_cur == s.in_end && !co_await wait_input{s}) {
          at_end = true;
          break;
        }
        uint8_t* const data = s.chunk_buf + emit_from;
        uint32_t f = s.chunk_fill - emit_from;
        const uint32_t f0 = f;
        closed = chunker_scan(s, data, f, s.in_cur, s.in_end);
        ring_write(s, data + f0, f - f0);
        s.chunk_fill = emit_from + f;
        continue;
      }
      int x = co_await get_byte{s};
      if (x < 0) {
        at_end = true;
        if (s.chunk_fill < 4) replay_held(s);
        break;
      }
      s.chunk_buf[s.chunk_fill++] = uint8_t(x);
      if (s.chunk_fill > 4) {
        closed = restore(s, uint8_t(x));
        continue;
      }
      if (s.chunk_fill < 4) continue;

      const uint8_t* c = s.chunk_buf;
      if (c[0] != esc0 || c[1] != esc1 || c[2] != esc2 || c[3] > code_continue) {
        replay_held(s);  // four data bytes; they cannot end a chunk
        continue;
      }
      if (c[3] == code_escape) {
        s.chunk_fill = 5;
        emit_from = 5;
        continue;
      }
      uint32_t d;
      if (c[3] == code_match) {
        d = 0;
        for (int k = 0; k < 4; k++) {
          int y = co_await get_byte{s};
          if (y < 0) {
            // Everything before this record is out already; the code is not data.
            s.fail_msg = "stream truncated inside a match code";
            s.chunk_fill = 0;
            co_await codec_yield{s, 0};
            co_return;
          }
          d |= uint32_t(y) << (8 * k);
        }
      } else {
        d = pos_distance(s.cur_pos, mt.expected_pos);
      }
      if (!s.damage_msg) {
        if (d == 0 || d >= winsize)
          s.damage_msg = "damaged stream: match distance outside the window";
        else if (d > s.total_bytes)
          s.damage_msg = "damaged stream: match reaches before the start of the data";
      }
      mt.match_src = pos_distance(s.cur_pos, d);
      s.chunk_fill = 0;
      uint32_t src = copy_source(s.win_pos, winsize, d);
      if (s.span_io) {
        copy_span(s, src);
      } else {
        for (;;) {
          uint8_t y = s.win_buf[src];
          s.chunk_buf[s.chunk_fill++] = y;
          if (restore(s, y)) break;
          if (++src == winsize) src = 0;
        }
      }
      s.match_bytes += s.chunk_fill;
      // An encoder's source chunk ends before the copy begins.
      if (d < s.chunk_fill && !s.damage_msg) s.damage_msg = "damaged stream: match overlaps its own chunk";
      closed = true;
    }

    const uint32_t len = chunk_finish_len(s);
    if (s.chunk_fill > emit_from) co_await put_bytes(s, s.chunk_buf + emit_from, s.chunk_fill - emit_from);
    s.total_bytes += len;
    s.chunk_count++;
    s.cur_pos = pos_advance(s.cur_pos, len);
    mt.chunk_done(len);
    s.chunk_fill = 0;
    if (at_end) {
      co_await codec_yield{s, 0};
      co_return;
    }
    emit_from = 0;
  }
}

}  // namespace dupcut
