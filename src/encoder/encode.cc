#include "encoder/encode.h"

#include <cstring>

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
inline record make_record(enc_view& v, match_track& mt, const uint8_t* data, const chunk_key& key, bool last) {
  chunk_table& tbl = v.part.tbl;
  stream_counts& n = v.cnt;
  const uint32_t len = key_len(key);
  record r{{esc0, esc1, esc2}, 0, len};
  // The table decides on true distances (total_bytes is the chunk's true
  // position); below 0xFFFF0000 bytes back that is pos_distance.
  if (tbl_find_or_add(tbl, key, n.total_bytes) && tbl.found_dist < tbl.cfg_decwinsize) {
    const uint32_t t = tbl.found_pos;
    const uint32_t d = uint32_t(tbl.found_dist);
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
    n.match_bytes += len;
  }
  if (r.lit_len && needs_escape(data, len)) {
    r.code[3] = code_escape;
    r.code_len = short_code_len;
  }
  n.cur_pos = pos_advance(n.cur_pos, len);
  n.total_bytes += len;
  mt.chunk_done(len);
  n.chunk_count++;
  if (!last) tbl_sweep(tbl, len, n.total_bytes);
  return r;
}

void start(enc_view& v) { v.cnt = {}; }

// Fills the next free stage from the input and posts it; eof true at the
// end of input.
codec_task fill_stage(enc_view v, bool& eof) {
  codec_io& io = v.io;
  pipeline& p = v.part.pl;
  stage& s = stage_free(p);
  uint8_t* const d = s.buf + stage_lead;
  uint32_t have = 0;
  while (have < stage_size) {
    if (io.in_cur == io.in_end && !co_await wait_input{io}) {
      eof = true;
      break;
    }
    uint32_t k = stage_size - have;
    if (uint64_t(io.in_end - io.in_cur) < k) k = uint32_t(io.in_end - io.in_cur);
    std::memcpy(d + have, io.in_cur, k);
    io.in_cur += k;
    have += k;
  }
  s.fresh = have;
  s.eof = eof;
  stage_post(p, s);
}

// Lives in the frame that posts stages: a frame destroyed mid-stream (the
// codec closed or rewound while suspended) settles their parts first.
struct settle_guard {
  pipeline& p;
  ~settle_guard() { pipeline_settle(p); }
};

// One stage's table calls, records and output.
codec_task code_batch(enc_view v, match_track& mt, const stage& bt) {
  codec_io& io = v.io;
  // Table calls stay in chunk order (a chunk may hit an earlier one of the
  // same batch); only their home slots are fetched ahead, a group at a
  // time, so that their address translations (mostly TLB misses over a
  // large table) overlap instead of stalling one after another.
  constexpr uint32_t group = 32;
  for (uint32_t i = 0; i < group && i < bt.n; i++) tbl_prefetch(v.part.tbl, bt.key[i]);
  for (uint32_t i = 0; i < bt.n; i++) {
    if (i % group == 0)
      for (uint32_t j = i + group; j < i + 2 * group && j < bt.n; j++) tbl_prefetch(v.part.tbl, bt.key[j]);
    const record r = make_record(v, mt, bt.ptr[i], bt.key[i], bt.eof && i + 1 == bt.n);
    if (!put_fast(io, r.code, r.code_len)) co_await put_bytes(io, r.code, r.code_len);
    if (!put_fast(io, bt.ptr[i], r.lit_len)) co_await put_bytes(io, bt.ptr[i], r.lit_len);
  }
}

}  // namespace

codec_task encode_bytes(enc_view v) {
  codec_io& io = v.io;
  uint8_t* const buf = v.part.chunk_buf;
  start(v);
  match_track mt;
  uint32_t fill = 0;
  for (;;) {
    const int b = co_await get_byte{io};
    const bool at_end = b < 0;
    if (!at_end) {
      const bool boundary = chunker_feed(v.ck, uint8_t(b));
      buf[fill++] = uint8_t(b);
      if (!boundary) continue;
    }
    chunk_finish(v.ck);
    const record r = make_record(v, mt, buf, v.ck.cur_key, at_end);
    for (uint32_t i = 0; i < r.code_len; i++) co_await put_byte{io, r.code[i]};
    for (uint32_t i = 0; i < r.lit_len; i++) co_await put_byte{io, buf[i]};
    if (at_end) break;
    fill = 0;
  }
  co_await codec_yield{io, 0};
}

// Input is gathered a stage at a time; while the codec's thread codes one
// stage, the stages after it are filled and their parts run on the
// workers (or here, when the codec waits for one). A stage is filled again
// once it is coded and the stage after it walked, which has copied the
// open chunk's head out of it.
codec_task encode_spans(enc_view v) {
  pipeline& p = v.part.pl;
  const settle_guard guard{p};
  start(v);
  pipeline_start(p, v.ck);
  match_track mt;
  bool eof = false;
  while (!eof && p.next - p.first < p.stages) co_await fill_stage(v, eof);
  for (;;) {
    const stage& s = stage_wait(p);
    if (!eof && p.next - p.first < p.stages) co_await fill_stage(v, eof);
    co_await code_batch(v, mt, s);
    stage_done(p);
    if (s.eof) break;
  }
  co_await codec_yield{v.io, 0};
}

}  // namespace dupcut
