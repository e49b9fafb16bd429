#include "decoder/decode.h"

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
      if (s.span_io && s.chunk_fill >= 4 && s.in_cur < s.in_end) {
        // Inside a literal record: take the buffered bytes as they stand.
        const uint8_t* p = s.in_cur;
        const uint8_t* const e = s.in_end;
        while (p < e && !closed) {
          uint8_t y = *p++;
          s.chunk_buf[s.chunk_fill++] = y;
          closed = restore(s, y);
        }
        s.in_cur = p;
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
      for (;;) {
        uint8_t y = s.win_buf[src];
        s.chunk_buf[s.chunk_fill++] = y;
        if (restore(s, y)) break;
        if (++src == winsize) src = 0;
      }
      s.match_bytes += s.chunk_fill;
      // An encoder's source chunk ends before the copy begins.
      if (d < s.chunk_fill && !s.damage_msg) s.damage_msg = "damaged stream: match overlaps its own chunk";
      closed = true;
    }

    const uint32_t len = chunk_finish_len(s);
    if (s.span_io && s.chunk_fill > emit_from)
      co_await put_bytes(s, s.chunk_buf + emit_from, s.chunk_fill - emit_from);
    else
      for (uint32_t i = emit_from; i < s.chunk_fill; i++) co_await put_byte{s, s.chunk_buf[i]};
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
