#include "encoder/encode.h"

#include <cstring>

#include "chunking/chunker.h"
#include "encoder/table.h"
#include "stream/stream.h"

namespace dupcut {

namespace {

// One chunk's record, ready to go out: a control code (a match, continue
// or escape code, or none) and the literal bytes (none after a match).
struct record {
  uint8_t code[match_code_len];
  uint32_t code_len;
  uint32_t lit_len;
};

// The table call, the record, then positions and counters; the sweep
// follows every chunk but the last.
inline record make_record(codec_state& s, match_track& mt, const uint8_t* data, const chunk_key& key, bool last) {
  const uint32_t len = key_len(key);
  record r{{esc0, esc1, esc2}, 0, len};
  // The table decides on true distances (total_bytes is the chunk's true
  // position); below 0xFFFF0000 bytes back that is pos_distance.
  if (tbl_find_or_add(s.tbl, key, s.total_bytes) && s.tbl.found_dist < s.tbl.cfg_decwinsize) {
    const uint32_t t = s.tbl.found_pos;
    const uint32_t d = uint32_t(s.tbl.found_dist);
    r.lit_len = 0;
    if (t == mt.expected_pos) {
      r.code[3] = code_continue;
      r.code_len = short_code_len;
    } else {
      r.code[3] = code_match;
      for (int k = 0; k < 4; k++) r.code[4 + k] = uint8_t(d >> (8 * k));
      r.code_len = match_code_len;
    }
    mt.match_src = t;
    s.match_bytes += len;
  }
  if (r.lit_len && needs_escape(data, len)) {
    r.code[3] = code_escape;
    r.code_len = short_code_len;
  }
  s.cur_pos = pos_advance(s.cur_pos, len);
  s.total_bytes += len;
  mt.chunk_done(len);
  s.chunk_count++;
  if (!last) tbl_sweep(s.tbl, len, s.total_bytes);
  return r;
}

codec_task emit_chunk(codec_state& s, match_track& mt, const uint8_t* data, const chunk_key& key, bool last) {
  const record r = make_record(s, mt, data, key, last);
  if (!put_fast(s, r.code, r.code_len)) co_await put_bytes(s, r.code, r.code_len);
  if (!put_fast(s, data, r.lit_len)) co_await put_bytes(s, data, r.lit_len);
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

  // Span route: input is gathered in the stage; the chunks that end in it
  // are cut first, their keys computed together, then coded in order. The
  // bytes after the last cut start the next stage.
  chunk_batch& bt = s.batch;
  uint8_t* const st = bt.stage;
  uint32_t have = 0;
  bool eof = false;
  for (;;) {
    while (!eof && have < stage_size) {
      if (s.in_cur == s.in_end && !co_await wait_input{s}) {
        eof = true;
        break;
      }
      uint32_t k = stage_size - have;
      if (uint64_t(s.in_end - s.in_cur) < k) k = uint32_t(s.in_end - s.in_cur);
      std::memcpy(st + have, s.in_cur, k);
      s.in_cur += k;
      have += k;
    }
    chunker_candidates(s, st, have, bt.cand);
    bt.n = 0;
    uint32_t c = 0;
    while (c + min_chunk <= have) {
      const uint32_t hi = have - c < max_chunk ? have : c + max_chunk;
      const uint32_t j = next_candidate(bt.cand, c + min_chunk - 1, hi);
      uint32_t len;
      if (j < hi)
        len = j - c + 1;
      else if (have - c >= max_chunk)
        len = max_chunk;
      else
        break;
      bt.ptr[bt.n] = st + c;
      bt.len[bt.n] = len;
      bt.n++;
      s.byte_count += len;
      c += len;
    }
    digest_keys(bt.ptr, bt.len, bt.key, bt.n);
    // Table calls stay in chunk order (a chunk may hit an earlier one of the
    // same batch); only their home slots are fetched ahead.
    constexpr uint32_t ahead = 8;
    for (uint32_t i = 0; i < ahead && i < bt.n; i++) tbl_prefetch(s.tbl, bt.key[i]);
    for (uint32_t i = 0; i < bt.n; i++) {
      if (i + ahead < bt.n) tbl_prefetch(s.tbl, bt.key[i + ahead]);
      // emit_chunk written out, so that most chunks need no coroutine call.
      const record r = make_record(s, mt, bt.ptr[i], bt.key[i], false);
      if (!put_fast(s, r.code, r.code_len)) co_await put_bytes(s, r.code, r.code_len);
      if (!put_fast(s, bt.ptr[i], r.lit_len)) co_await put_bytes(s, bt.ptr[i], r.lit_len);
    }
    if (eof) {
      s.byte_count += have - c;
      chunk_finish_buf(s, st + c, have - c);
      co_await emit_chunk(s, mt, st + c, s.cur_key, true);
      co_await codec_yield{s, 0};
      co_return;
    }
    std::memmove(st, st + c, have - c);
    have -= c;
  }
}

}  // namespace dupcut
