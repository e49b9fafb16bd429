#include "decoder/decode.h"

#include <cstring>

#include "core/alloc.h"

namespace dupcut {

namespace {

constexpr uint64_t none = ~uint64_t(0);  // no mark for the helper
constexpr uint32_t none_pos = ~uint32_t(0);
// The bytes a record's head is held for: a control code's first four.
constexpr uint32_t head_len = 4;
// The ring's helper faults in up to fill_lead bytes past the data, moving
// its goal every fill_step bytes, so the ring's resident part stays within
// 14 MiB of what the data reached. Streams and rings of fill_step or less
// start no helper.
constexpr uint64_t fill_lead = uint64_t(12) << 20;
constexpr uint64_t fill_step = uint64_t(2) << 20;

// One restored byte into the chunker and the ring; true at a boundary.
inline bool restore(dec_view& v, uint8_t y) {
  decoder& d = v.part;
  const bool end = chunker_roll(v.ck, y);
  d.win_buf[d.win_pos] = y;
  if (++d.win_pos == d.cfg_decwinsize) d.win_pos = 0;
  return end;
}

// n bytes into the ring at `at`, wrapping as often as they need; returns
// where they end.
inline uint32_t ring_put_at(decoder& s, uint32_t at, const uint8_t* p, uint32_t n) {
  const uint32_t w = s.cfg_decwinsize;
  while (n) {
    uint32_t k = w - at < n ? w - at : n;
    std::memcpy(s.win_buf + at, p, k);
    at += k;
    if (at == w) at = 0;
    p += k;
    n -= k;
  }
  return at;
}

// n restored bytes into the ring, in at most two copies.
inline void ring_write(decoder& s, const uint8_t* p, uint32_t n) { s.win_pos = ring_put_at(s, s.win_pos, p, n); }

// n restored bytes that stay out of the ring.
inline void ring_skip(decoder& s, uint32_t n) { s.win_pos = uint32_t((uint64_t(s.win_pos) + n) % s.cfg_decwinsize); }

// The bytes held back from the ring go in after all; the chunk is no
// longer kept.
inline void run_flush(decoder& s) {
  kept_refs& r = s.refs;
  if (r.run_len) ring_put_at(s, r.run_at, r.run_src, r.run_len);
  r.run_len = 0;
  r.run_ok = false;
}

// n restored bytes of the open chunk, read at p (in the input buffer when
// in_input). With refs on, bytes of kept input that go on from the chunk's
// first byte are held back from the ring; any others end the run.
inline void ring_put(dec_view& v, const uint8_t* p, uint32_t n, bool in_input) {
  decoder& s = v.part;
  kept_refs& r = s.refs;
  if (r.run_ok && in_input && v.io.in_kept && (r.run_len == 0 || uintptr_t(r.run_src) + r.run_len == uintptr_t(p))) {
    if (r.run_len == 0) {
      r.run_src = p;
      r.run_at = s.win_pos;
    }
    r.run_len += n;
    ring_skip(s, n);
    return;
  }
  run_flush(s);
  ring_write(s, p, n);
}

// Feeds and stores the chunk_fill held bytes of chunk_buf; src is where
// they were read in the input buffer, or null. The span route's cuts read
// windows from the bytes themselves, so it only counts them.
inline void replay_held(dec_view& v, bool span, const uint8_t* src) {
  decoder& d = v.part;
  if (!span) {
    for (uint32_t i = 0; i < d.chunk_fill; i++) restore(v, d.chunk_buf[i]);
    return;
  }
  v.ck.chunk_len += d.chunk_fill;
  v.ck.byte_count += d.chunk_fill;
  ring_put(v, src ? src : d.chunk_buf, d.chunk_fill, src != nullptr);
}

// The span route of a copy: pieces that neither cross the end of the ring
// nor reach bytes this copy writes, so each piece reads what the byte route
// would read.
inline void copy_span(dec_view& v, uint32_t src) {
  decoder& s = v.part;
  const uint32_t w = s.cfg_decwinsize;
  uint32_t ahead = uint32_t((uint64_t(s.win_pos) + w - src) % w);
  if (ahead == 0) ahead = w;
  uint32_t f = 0;
  for (;;) {
    uint32_t k = w - src < ahead ? w - src : ahead;
    const uint8_t* p = s.win_buf + src;
    const uint32_t f0 = f;
    const bool end = chunker_scan(v.ck, s.chunk_buf, f, p, p + k);
    ring_write(s, s.chunk_buf + f0, f - f0);
    if (end) break;
    src += f - f0;
    if (src == w) src = 0;
  }
  s.chunk_fill = f;
}

// A known chunk's copy: len bytes from src to win_pos. Source and
// destination are apart in the ring (distance + len <= window), so
// plain copies in ring-end pieces are the byte route's result.
inline void ring_copy(decoder& s, uint32_t src, uint32_t len) {
  const uint32_t w = s.cfg_decwinsize;
  while (len) {
    uint32_t k = len;
    if (w - src < k) k = w - src;
    if (w - s.win_pos < k) k = w - s.win_pos;
    std::memcpy(s.win_buf + s.win_pos, s.win_buf + src, k);
    s.win_pos += k;
    if (s.win_pos == w) s.win_pos = 0;
    src += k;
    if (src == w) src = 0;
    len -= k;
  }
}

// A new stream: counters, held bytes and the copy rule start afresh.
match_track start(dec_view& v) {
  v.cnt = {};
  v.part.chunk_fill = 0;
  refs_off(v.part.refs);
  v.part.refs.held_end = 0;
  return {};
}

enum class head { more, data, escape, match, cont, end };

// The record being read, as both routes track it.
struct record_at {
  uint32_t data_from = 0;  // chunk_buf index of the record's first data byte
  bool at_end = false;     // the input has ended
};

// What a full head of four bytes in chunk_buf opens. Four data bytes are
// restored at once (they cannot end a chunk); an escape code is dropped,
// the data following it at chunk_buf[head_len].
// src: where the head was read in the input buffer, or null.
inline head head_kind(dec_view& v, record_at& r, bool span, const uint8_t* src) {
  const uint8_t* c = v.part.chunk_buf;
  if (c[0] != esc0 || c[1] != esc1 || c[2] != esc2 || c[3] > code_continue) {
    replay_held(v, span, src);
    return head::data;
  }
  if (c[3] == code_escape) {
    r.data_from = head_len;
    return head::escape;
  }
  return c[3] == code_match ? head::match : head::cont;
}

// Takes a byte of a record's head (x, or -1 at the end of input) into
// chunk_buf. At the end of input, held bytes are data.
inline head take_head(dec_view& v, record_at& r, int x, bool span, const uint8_t* src) {
  decoder& d = v.part;
  if (x < 0) {
    r.at_end = true;
    if (d.chunk_fill < head_len) replay_held(v, span, src);
    return head::end;
  }
  d.chunk_buf[d.chunk_fill++] = uint8_t(x);
  return d.chunk_fill < head_len ? head::more : head_kind(v, r, span, src);
}

// A match or continue of distance dist opens: the damage checks, and where
// the copy starts in the ring.
inline uint32_t match_begin(dec_view& v, match_track& mt, uint32_t dist) {
  decoder& d = v.part;
  if (!d.damage.msg) {
    if (dist == 0 || dist >= d.cfg_decwinsize)
      d.damage = {fault::damaged, "damaged stream: match distance outside the window"};
    else if (dist > v.cnt.total_bytes)
      d.damage = {fault::damaged, "damaged stream: match reaches before the start of the data"};
  }
  mt.match_src = pos_distance(v.cnt.cur_pos, dist);
  d.chunk_fill = 0;
  return copy_source(d.win_pos, d.cfg_decwinsize, dist);
}

// The copy of chunk_fill bytes is done.
inline void match_end(dec_view& v, uint32_t dist) {
  decoder& d = v.part;
  v.cnt.match_bytes += d.chunk_fill;
  // An encoder's source chunk ends before the copy begins.
  if (dist < d.chunk_fill && !d.damage.msg) d.damage = {fault::damaged, "damaged stream: match overlaps its own chunk"};
}

// The data has reached `total` bytes: the helper's goal moves ahead of it,
// until the goal is the ring's end. The first call starts the helper.
void fill_ahead(decoder& d, uint64_t total) {
  const uint64_t goal = total + fill_lead;
  if (d.fill)
    prefault_to(d.fill, goal);
  else if (d.helper)
    d.fill = prefault_start(d.win_buf, d.cfg_decwinsize, goal);
  d.fill_mark = d.fill && goal < d.cfg_decwinsize ? total + fill_step : none;
}

// refs end for the stream at data position total. The ring fills from
// here on: its helper may start.
void refs_done(decoder& d, uint64_t total) {
  refs_off(d.refs);
  if (d.helper && d.cfg_decwinsize > fill_step && d.fill_mark == none) d.fill_mark = total;
}

void refs_end(dec_view& v);
void refs_wind_down(dec_view& v);

inline void chunk_done(dec_view& v, match_track& mt, uint32_t len) {
  stream_counts& n = v.cnt;
  decoder& d = v.part;
  kept_refs& r = d.refs;
  if (r.order) {
    const uint8_t* at = r.state != refs_state::off && r.run_ok && r.run_len == len ? r.run_src : nullptr;
    if (!refs_put(r, d.log.n, at) || !at)
      run_flush(d);
    else
      r.held_end = n.total_bytes + len;
    r.run_len = 0;
    r.run_ok = r.state == refs_state::on;
  }
  if (d.log.start) chunk_log_add(d.log, n.total_bytes);
  n.total_bytes += len;
  if (n.total_bytes >= v.part.fill_mark) fill_ahead(v.part, n.total_bytes);
  n.chunk_count++;
  n.cur_pos = pos_advance(n.cur_pos, len);
  mt.chunk_done(len);
  v.part.chunk_fill = 0;
  if (r.state == refs_state::winding_down) refs_wind_down(v);
}

// A match code's distance, one get_byte at a time. A stream that ends
// inside it fails: everything before this record is out already, and the
// code is not data. whole is false then, and the caller returns.
codec_task read_distance(dec_view v, uint32_t& dist, bool& whole) {
  dist = 0;
  whole = false;
  for (int k = 0; k < 4; k++) {
    const int y = co_await get_byte{v.io};
    if (y < 0) {
      v.part.fail = {fault::truncated, "stream truncated inside a match code"};
      v.part.chunk_fill = 0;
      co_await codec_yield{v.io, 0};
      co_return;
    }
    dist |= uint32_t(y) << (8 * k);
  }
  whole = true;
}

// Every chunk still in the window whose bytes were held back goes into the
// ring at its place, so that the ring holds what it would without refs;
// refs end for the stream. The log holds every chunk of the window.
void refs_end(dec_view& v) {
  decoder& d = v.part;
  chunk_log& g = d.log;
  const uint64_t total = v.cnt.total_bytes, w = d.cfg_decwinsize;
  const uint64_t low = total > w ? total - w : 0;  // the oldest position the ring holds
  const uint64_t first = chunk_log_first(g);
  uint64_t end = total;
  for (uint64_t i = g.n; i > first && end > low; i--) {
    const uint64_t begin = chunk_log_start(g, i - 1, end);
    if (const uint8_t* p = refs_get(d.refs, i - 1)) {
      const uint64_t from = begin > low ? begin : low;
      ring_put_at(d, uint32_t(from % w), p + (from - begin), uint32_t(end - from));
    }
    end = begin;
  }
  refs_done(d, total);
}

// Input is no longer kept. Nothing is written back: chunks held back stay
// where they lie while they are within reach, and copies of them go into
// the ring like every new chunk, so that once the newest held-back chunk
// is a window behind, the ring holds what it would without refs, and refs
// end for free.
void refs_wind_down(dec_view& v) {
  decoder& d = v.part;
  const uint64_t total = v.cnt.total_bytes, w = d.cfg_decwinsize;
  // The ring starts filling at this stream's place in it: the helper
  // leaves the part before alone until the data wraps round to it.
  if (d.helper && w > fill_step && d.fill_mark == none) {
    if (!d.fill) d.fill = prefault_start(d.win_buf, w, 0);
    prefault_skip_to(d.fill, total % w);
    d.fill_mark = total;
  }
  if (d.refs.held_end == 0 || total - d.refs.held_end >= w) refs_done(d, total);
}

// Where a copy's bytes come from, for its output.
struct copy_from {
  uint32_t ring;      // where it begins in the ring, or none_pos
  const uint8_t* at;  // where they lie in kept input, or null
};

// The span route's copy: a logged chunk start takes its length from the
// log and goes straight into the ring (or, when the log knows where its
// bytes lie in kept input, stays out of it). Any other copy is scanned into
// chunk_buf; it has neither source then.
copy_from copy_chunk(dec_view& v, match_track& mt, uint32_t dist) {
  decoder& d = v.part;
  const uint32_t src = match_begin(v, mt, dist);
  const uint64_t total = v.cnt.total_bytes;
  chunk_log& g = d.log;
  uint64_t i = chunk_none;
  uint32_t len = 0;
  if (g.start && dist != 0 && dist < d.cfg_decwinsize && dist <= total) {
    i = chunk_log_find(g, total - dist, total);
    if (i != chunk_none) len = chunk_log_len(g, i, total);
  } else {
    g.last = chunk_none;
  }
  const bool refs = d.refs.state != refs_state::off;
  copy_from from{none_pos, nullptr};
  // A kept source is read where it lies, so it may also reach the bytes
  // this copy overwrites in the ring: every byte is read before the copy
  // would overwrite it, as on the byte route.
  const uint8_t* const at = i != chunk_none && refs ? refs_get(d.refs, i) : nullptr;
  if (at || (i != chunk_none && uint64_t(dist) + len <= d.cfg_decwinsize)) {
    if (at) {
      d.refs.run_src = at;
      d.refs.run_at = d.win_pos;
      d.refs.run_len = len;
      ring_skip(d, len);
      from.at = at;
    } else {
      if (refs) run_flush(d);
      from.ring = d.win_pos;
      ring_copy(d, src, len);
    }
    v.ck.byte_count += len;
    v.ck.chunk_len = len;
    d.chunk_fill = len;
  } else {
    // A logged chunk's bytes are in the ring (it is not held back), and
    // its copy reads only them; any other copy may read held-back places.
    if (refs && i == chunk_none) refs_end(v);
    copy_span(v, src);
  }
  match_end(v, dist);
  return from;
}

// The span route's literal piece: what the input buffer holds of the
// record goes to the ring, up to the chunk's end; the data starts at
// chunk_buf[from]. chunk_buf keeps the held bytes and what the cuts read
// back. True when the chunk ends.
inline bool take_literal(dec_view& v, uint32_t from) {
  decoder& d = v.part;
  const uint8_t* const p0 = v.io.in_cur;
  uint32_t f = d.chunk_fill - from;
  const bool closed = chunker_cut(v.ck, d.chunk_buf + from, f, v.io.in_cur, v.io.in_end);
  ring_put(v, p0, uint32_t(v.io.in_cur - p0), true);
  d.chunk_fill = from + f;
  return closed;
}

}  // namespace

bool window_open(decoder& d) {
  if (!d.win_buf) d.win_buf = static_cast<uint8_t*>(alloc_pages(d.cfg_decwinsize));
  d.win_pos = 0;
  // A helper kept from an earlier stream has faulted in what that stream
  // reached and goes on from there.
  d.fill_mark = d.helper && d.cfg_decwinsize > fill_step ? fill_step : none;
  return d.win_buf != nullptr;
}

void window_free(decoder& d) {
  prefault_stop(d.fill);
  free_pages(d.win_buf, d.cfg_decwinsize);
  d.win_buf = nullptr;
}

void decoder_log_open(decoder& d) {
  uint32_t order = d.log_order ? d.log_order : chunk_log_order;
  if (d.refs.wanted) {
    // Every chunk but a stream's last has min_chunk bytes or more.
    while ((uint64_t(1) << order) < d.cfg_decwinsize / min_chunk + 2) order++;
  }
  const bool logged = chunk_log_reset(d.log, order, d.cfg_decwinsize);
  if (!logged || !d.refs.wanted || !refs_alloc(d.refs, d.log.order)) refs_free(d.refs);
}

void decoder_log_free(decoder& d) {
  chunk_log_free(d.log);
  refs_free(d.refs);
}

// Exactly the record rules, one get_byte and put_byte at a time.
codec_task decode_bytes(dec_view v) {
  decoder& d = v.part;
  match_track mt = start(v);
  for (bool done = false; !done;) {
    // One record: hold up to four bytes, then copy or pass data through
    // until the chunker closes the chunk (or the stream ends).
    record_at rec;
    for (bool closed = false; !closed;) {
      const int x = co_await get_byte{v.io};
      if (x >= 0 && d.chunk_fill >= head_len) {
        d.chunk_buf[d.chunk_fill++] = uint8_t(x);
        closed = restore(v, uint8_t(x));
        continue;
      }
      const head h = take_head(v, rec, x, false, nullptr);
      if (h == head::end) break;
      if (h != head::match && h != head::cont) continue;
      uint32_t dist = pos_distance(v.cnt.cur_pos, mt.expected_pos);
      if (h == head::match) {
        bool whole;
        co_await read_distance(v, dist, whole);
        if (!whole) co_return;
      }
      for (uint32_t src = match_begin(v, mt, dist);;) {
        const uint8_t y = d.win_buf[src];
        d.chunk_buf[d.chunk_fill++] = y;
        if (restore(v, y)) break;
        if (++src == d.cfg_decwinsize) src = 0;
      }
      match_end(v, dist);
      closed = true;
    }
    const uint32_t len = chunk_finish_len(v.ck);
    for (uint32_t i = rec.data_from; i < d.chunk_fill; i++) co_await put_byte{v.io, d.chunk_buf[i]};
    chunk_done(v, mt, len);
    done = rec.at_end;
  }
  co_await codec_yield{v.io, 0};
}

// Literal data goes from the input buffer straight to the ring and the
// output (the caller refills the buffer only on request 1); copies from a
// logged chunk start go from ring to ring.
codec_task decode_spans(dec_view v) {
  codec_io& io = v.io;
  decoder& d = v.part;
  match_track mt = start(v);
  refs_begin(d.refs);
  if (d.refs.state == refs_state::on) d.fill_mark = none;  // the ring fills only once refs wind down or end
  for (bool done = false; !done;) {
    record_at rec;
    uint32_t sent = 0;  // chunk_buf up to here has gone out
    copy_from from{none_pos, nullptr};
    const uint8_t* head_at = nullptr;  // where the head's first byte was read
    for (bool closed = false; !closed;) {
      if (d.chunk_fill >= head_len) {
        if (io.in_cur == io.in_end && !co_await wait_input{io}) {
          rec.at_end = true;
          break;
        }
        const uint8_t* const p0 = io.in_cur;
        const uint32_t from = sent > rec.data_from ? sent : rec.data_from, held = d.chunk_fill;
        closed = take_literal(v, rec.data_from);
        const uint32_t took = uint32_t(io.in_cur - p0);
        if (!put_fast(io, d.chunk_buf + from, held - from)) co_await put_bytes(io, d.chunk_buf + from, held - from);
        sent = d.chunk_fill;
        if (!put_fast(io, p0, took)) co_await put_bytes(io, p0, took);
        continue;
      }
      head h;
      if (d.chunk_fill == 0 && io.in_end - io.in_cur >= head_len) {
        // The whole head is in the buffer: taken as four get_byte would.
        std::memcpy(d.chunk_buf, io.in_cur, head_len);
        io.in_cur += head_len;
        d.chunk_fill = head_len;
        h = head_kind(v, rec, true, io.in_cur - head_len);
      } else {
        // A head split between buffers is still one piece of kept input
        // when the buffers are adjacent.
        const int x = co_await get_byte{io};
        const uint8_t* const a = io.in_kept ? io.in_cur - 1 : nullptr;
        if (x >= 0 && d.chunk_fill == 0)
          head_at = a;
        else if (x >= 0 && (!a || !head_at || head_at + d.chunk_fill != a))
          head_at = nullptr;
        h = take_head(v, rec, x, true, head_at);
      }
      if (h == head::end) break;
      if (h != head::match && h != head::cont) continue;
      uint32_t dist = pos_distance(v.cnt.cur_pos, mt.expected_pos);
      if (h == head::match && io.in_end - io.in_cur >= 4) {
        std::memcpy(&dist, io.in_cur, 4);  // little-endian host, as the digest
        io.in_cur += 4;
      } else if (h == head::match) {
        bool whole;
        co_await read_distance(v, dist, whole);
        if (!whole) co_return;
      }
      from = copy_chunk(v, mt, dist);
      closed = true;
    }
    const uint32_t len = chunk_finish_len(v.ck);
    if (from.at) {
      if (!put_fast(io, from.at, len)) co_await put_bytes(io, from.at, len);
    } else if (from.ring != none_pos) {
      const uint32_t ring_from = from.ring;
      const uint32_t k = d.cfg_decwinsize - ring_from < len ? d.cfg_decwinsize - ring_from : len;
      if (!put_fast(io, d.win_buf + ring_from, k)) co_await put_bytes(io, d.win_buf + ring_from, k);
      if (!put_fast(io, d.win_buf, len - k)) co_await put_bytes(io, d.win_buf, len - k);
    } else {
      const uint32_t from = sent > rec.data_from ? sent : rec.data_from;
      if (!put_fast(io, d.chunk_buf + from, d.chunk_fill - from))
        co_await put_bytes(io, d.chunk_buf + from, d.chunk_fill - from);
    }
    chunk_done(v, mt, len);
    done = rec.at_end;
  }
  co_await codec_yield{io, 0};
}

}  // namespace dupcut
