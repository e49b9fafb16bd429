#include "encoder/encode.h"

#include "chunking/chunker.h"
#include "encoder/table.h"
#include "stream/stream.h"

namespace dupcut {


codec_task encode_loop(codec_state& s) {
  s.total_bytes = 0;
  s.chunk_count = 0;
  s.match_bytes = 0;
  s.cur_pos = 0;
  match_track mt;
  uint32_t fill = 0;

  for (;;) {
    bool at_end = false;
    if (s.span_io) {
      if (s.in_cur == s.in_end && !co_await wait_input{s}) {
        at_end = true;
      } else if (!chunker_scan(s, s.chunk_buf, fill, s.in_cur, s.in_end)) {
        continue;
      }
      chunk_finish_buf(s, s.chunk_buf, fill);
    } else {
      int b = co_await get_byte{s};
      at_end = b < 0;
      if (!at_end) {
        bool boundary = chunker_feed(s, uint8_t(b));
        s.chunk_buf[fill++] = uint8_t(b);
        if (!boundary) continue;
      }
      chunk_finish(s);
    }
    const uint32_t len = key_len(s.cur_key);
    bool matched = false;
    if (tbl_find_or_add(s.tbl, s.cur_key, s.cur_pos)) {
      const uint32_t t = s.tbl.found_pos;
      const uint32_t d = pos_distance(s.cur_pos, t);
      if (d < s.tbl.cfg_decwinsize) {
        matched = true;
        co_await put_byte{s, esc0};
        co_await put_byte{s, esc1};
        co_await put_byte{s, esc2};
        if (t == mt.expected_pos) {
          co_await put_byte{s, code_continue};
        } else {
          co_await put_byte{s, code_match};
          co_await put_byte{s, uint8_t(d)};
          co_await put_byte{s, uint8_t(d >> 8)};
          co_await put_byte{s, uint8_t(d >> 16)};
          co_await put_byte{s, uint8_t(d >> 24)};
        }
        mt.match_src = t;
        s.match_bytes += len;
      }
    }
    if (!matched) {
      if (needs_escape(s.chunk_buf, len)) {
        co_await put_byte{s, esc0};
        co_await put_byte{s, esc1};
        co_await put_byte{s, esc2};
        co_await put_byte{s, code_escape};
      }
      if (s.span_io)
        co_await put_bytes(s, s.chunk_buf, len);
      else
        for (uint32_t i = 0; i < len; i++) co_await put_byte{s, s.chunk_buf[i]};
    }

    s.cur_pos = pos_advance(s.cur_pos, len);
    s.total_bytes += len;
    mt.chunk_done(len);
    s.chunk_count++;
    if (at_end) {
      co_await codec_yield{s, 0};
      co_return;
    }
    tbl_sweep(s.tbl, len, s.cur_pos);
    fill = 0;
  }
}

}  // namespace dupcut
