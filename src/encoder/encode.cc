#include "encoder/encode.h"

#include <cstring>
#include <system_error>
#include <utility>

#include "core/alloc.h"

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

// Fills bt's stage from the input; true at the end of input.
codec_task fill_stage(enc_view v, chunk_batch& bt, uint32_t& have, bool& eof) {
  codec_io& io = v.io;
  while (have < stage_size) {
    if (io.in_cur == io.in_end && !co_await wait_input{io}) {
      eof = true;
      co_return;
    }
    uint32_t k = stage_size - have;
    if (uint64_t(io.in_end - io.in_cur) < k) k = uint32_t(io.in_end - io.in_cur);
    std::memcpy(bt.stage + have, io.in_cur, k);
    io.in_cur += k;
    have += k;
  }
}

// Cuts the stage's first `have` bytes into the batch: every chunk that ends
// in it, and at the end of input the rest as the last chunk, with their
// keys. Returns the bytes taken. Runs on either thread.
uint32_t cut_stage(chunker& ck, chunk_batch& bt, uint32_t have, bool eof) {
  uint8_t* const st = bt.stage;
  chunker_candidates(ck, st, have, bt.cand);
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
    ck.byte_count += len;
    c += len;
  }
  digest_keys(bt.ptr, bt.len, bt.key, bt.n);
  if (eof) {
    ck.byte_count += have - c;
    chunk_finish_buf(ck, st + c, have - c);
    bt.ptr[bt.n] = st + c;
    bt.len[bt.n] = have - c;
    bt.key[bt.n++] = ck.cur_key;
    c = have;
  }
  return c;
}

void worker_main(stage_worker* w) {
  std::unique_lock lk(w->m);
  for (;;) {
    w->cv.wait(lk, [w] { return w->posted || w->quit; });
    if (w->quit) return;
    w->posted = false;
    w->cutting = true;
    chunker& ck = *w->ck;
    chunk_batch& bt = *w->bt;
    const uint32_t have = w->have;
    const bool eof = w->eof;
    lk.unlock();
    const uint32_t taken = cut_stage(ck, bt, have, eof);
    lk.lock();
    w->taken = taken;
    w->cutting = false;
    w->cv.notify_all();
  }
}

void worker_post(stage_worker& w, chunker& ck, chunk_batch& bt, uint32_t have, bool eof) {
  {
    const std::lock_guard lk(w.m);
    w.ck = &ck;
    w.bt = &bt;
    w.have = have;
    w.eof = eof;
    w.posted = true;
  }
  w.cv.notify_all();
}

// The bytes the posted job took. A job the worker has not started yet is
// cut here: on a busy machine the worker may wait long for a core, and the
// codec should never wait longer than it would have taken itself.
uint32_t worker_wait(stage_worker& w) {
  std::unique_lock lk(w.m);
  if (w.posted) {
    w.posted = false;
    lk.unlock();
    return cut_stage(*w.ck, *w.bt, w.have, w.eof);
  }
  w.cv.wait(lk, [&w] { return !w.cutting; });
  return w.taken;
}

// Withdraws a job not started, or waits for the one being cut.
void worker_idle(stage_worker& w) {
  std::unique_lock lk(w.m);
  w.posted = false;
  w.cv.wait(lk, [&w] { return !w.cutting; });
}

// Lives in the frame that posts jobs: a frame destroyed mid-stream (the
// codec closed or rewound while suspended) settles its job first.
struct job_guard {
  stage_worker& w;
  ~job_guard() {
    if (w.spare) worker_idle(w);
  }
};

// One batch's table calls, records and output.
codec_task code_batch(enc_view v, match_track& mt, const chunk_batch& bt, bool eof) {
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
    const record r = make_record(v, mt, bt.ptr[i], bt.key[i], eof && i + 1 == bt.n);
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

// Input is gathered in the stage; the chunks that end in it are cut first,
// their keys computed together, then coded in order. The bytes after the
// last cut start the next stage. With a worker the two batches take turns:
// the next stage is filled, then cut on the worker while this one is coded.
codec_task encode_spans(enc_view v) {
  stage_worker& w = v.part.wk;
  chunk_batch* bt = &v.part.batch;
  chunk_batch* nx = w.spare ? w.spare : bt;
  const job_guard guard{w};
  start(v);
  match_track mt;
  uint32_t have = 0, nx_have = 0;
  bool eof = false, nx_eof = false;
  co_await fill_stage(v, *bt, have, eof);
  uint32_t c = cut_stage(v.ck, *bt, have, eof);
  for (;;) {
    if (nx != bt && !eof) {
      nx_have = have - c;
      std::memcpy(nx->stage, bt->stage + c, nx_have);
      co_await fill_stage(v, *nx, nx_have, nx_eof);
      worker_post(w, v.ck, *nx, nx_have, nx_eof);
    }
    co_await code_batch(v, mt, *bt, eof);
    if (eof) break;
    if (nx != bt) {
      c = worker_wait(w);
      std::swap(bt, nx);
      have = nx_have;
      eof = nx_eof;
    } else {
      std::memmove(bt->stage, bt->stage + c, have - c);
      have -= c;
      co_await fill_stage(v, *bt, have, eof);
      c = cut_stage(v.ck, *bt, have, eof);
    }
  }
  co_await codec_yield{v.io, 0};
}

bool worker_start(encoder& e) {
  stage_worker& w = e.wk;
  if (w.spare) return true;
  w.spare = static_cast<chunk_batch*>(alloc_pages(sizeof(chunk_batch)));
  if (!w.spare) return false;
  w.posted = w.cutting = w.quit = false;
  try {
    w.th = std::thread(worker_main, &w);
  } catch (const std::system_error&) {
    free_pages(w.spare, sizeof(chunk_batch));
    w.spare = nullptr;
    return false;
  }
  return true;
}

void worker_stop(encoder& e) {
  stage_worker& w = e.wk;
  if (!w.spare) return;
  worker_idle(w);
  {
    const std::lock_guard lk(w.m);
    w.quit = true;
  }
  w.cv.notify_all();
  w.th.join();
  free_pages(w.spare, sizeof(chunk_batch));
  w.spare = nullptr;
}

}  // namespace dupcut
