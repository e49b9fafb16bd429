#include "encoder/encode.h"

#include <cstring>

#include "chunking/chunker.h"
#include "encoder/table.h"
#include "stream/stream.h"

namespace dupcut {

namespace {

// One chunk's record: the table call, a match, continue or literal record,
// then positions and counters; the sweep follows every chunk but the last.
codec_task emit_chunk(codec_state& s, match_track& mt, const uint8_t* data, const chunk_key& key, bool last) {
  const uint32_t len = key_len(key);
  bool matched = false;
  if (tbl_find_or_add(s.tbl, key, s.cur_pos)) {
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
    if (needs_escape(data, len)) {
      co_await put_byte{s, esc0};
      co_await put_byte{s, esc1};
      co_await put_byte{s, esc2};
      co_await put_byte{s, code_escape};
    }
    co_await put_bytes(s, data, len);
  }

  s.cur_pos = pos_advance(s.cur_pos, len);
  s.total_bytes += len;
  mt.chunk_done(len);
  s.chunk_count++;
  if (!last) tbl_sweep(s.tbl, len, s.cur_pos);
}

}  // namespace

codec_task encode_loop(codec_state& s) {
  s.total_bytes = 0;
  s.chunk_count = 0;
  s.match_bytes = 0;
  s.cur_pos = 0;
  match_track mt;
  uint32_t fill = 0;

  if (!s.span_io) {
    for (;;) {
      int b = co_await get_byte{s};
      const bool at_end = b < 0;
      if (!at_end) {
        bool boundary = chunker_feed(s, uint8_t(b));
        s.chunk_buf[fill++] = uint8_t(b);
        if (!boundary) continue;
      }
      chunk_finish(s);
      co_await emit_chunk(s, mt, s.chunk_buf, s.cur_key, at_end);
      if (at_end) {
        co_await codec_yield{s, 0};
        co_return;
      }
      fill = 0;
    }
  }

  // Span route: all the chunks that end in one input buffer are cut first,
  // their keys computed together, then coded in order. Chunks that lie
  // wholly in the buffer are read where they are; only a chunk that spans
  // buffers is gathered in chunk_buf. The input buffer stays untouched while
  // the records go out (the driver refills it only on request 1).
  chunk_batch& bt = s.batch;
  for (;;) {
    if (s.in_cur == s.in_end && !co_await wait_input{s}) {
      chunk_finish_buf(s, s.chunk_buf, fill);
      co_await emit_chunk(s, mt, s.chunk_buf, s.cur_key, true);
      co_await codec_yield{s, 0};
      co_return;
    }
    bt.n = 0;
    const uint8_t* const base = s.in_cur;
    uint32_t n = uint32_t(s.in_end - base);
    if (n > io_buf_size) n = io_buf_size;
    uint32_t c = 0;  // bytes of base taken by whole chunks so far
    if (fill > 0) {
      // A chunk begun in an earlier buffer; its windows reach back into
      // chunk_buf.
      const uint8_t* p = base;
      const bool end = chunker_scan(s, s.chunk_buf, fill, p, base + n);
      c = uint32_t(p - base);
      if (!end) {
        s.in_cur = p;
        continue;
      }
      bt.ptr[0] = s.chunk_buf;
      bt.len[0] = fill;
      bt.n = 1;
    }
    chunker_candidates(s, base, n, bt.cand);
    while (bt.n < batch_max && c + min_chunk <= n) {
      const uint32_t hi = n - c < max_chunk ? n : c + max_chunk;
      const uint32_t j = next_candidate(bt.cand, c + min_chunk - 1, hi);
      uint32_t len;
      if (j < hi)
        len = j - c + 1;
      else if (n - c >= max_chunk)
        len = max_chunk;
      else
        break;
      bt.ptr[bt.n] = base + c;
      bt.len[bt.n] = len;
      bt.n++;
      s.byte_count += len;
      c += len;
    }
    s.in_cur = base + c;
    digest_keys(bt.ptr, bt.len, bt.key, bt.n);
    // Table calls stay in chunk order (a chunk may hit an earlier one of the
    // same batch); only their home slots are fetched ahead.
    constexpr uint32_t ahead = 8;
    for (uint32_t i = 0; i < ahead && i < bt.n; i++) tbl_prefetch(s.tbl, bt.key[i]);
    for (uint32_t i = 0; i < bt.n; i++) {
      if (i + ahead < bt.n) tbl_prefetch(s.tbl, bt.key[i + ahead]);
      co_await emit_chunk(s, mt, bt.ptr[i], bt.key[i], false);
    }
    fill = 0;
    // The rest of the buffer starts a chunk that ends in a later one; it has
    // no boundary here, so it is only gathered.
    if (c < n && bt.n < batch_max) {
      fill = n - c;
      std::memcpy(s.chunk_buf, base + c, fill);
      s.byte_count += fill;
      s.chunk_len = fill;
      s.in_cur = base + n;
    }
  }
}

}  // namespace dupcut
