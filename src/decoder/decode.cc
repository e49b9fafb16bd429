#include "decoder/decode.h"

#include <cstring>

#include "chunking/chunker.h"
#include "driver/alloc.h"
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

constexpr uint64_t none = ~uint64_t(0);

// Entries keep the low 32 bits of a position; the full one follows from
// the oldest entry's, kept exactly as entries fall out (every chunk but the
// last is below 64 KiB, so differences of neighbours are exact).
inline void log_add(chunk_log& g, uint64_t pos) {
  const uint64_t size = uint64_t(g.mask) + 1;
  if (g.n == 0)
    g.oldest = pos;
  else if (g.n >= size)
    g.oldest += uint32_t(g.start[(g.n + 1) & g.mask] - g.start[g.n & g.mask]);
  g.start[g.n & g.mask] = uint32_t(pos);
  g.n++;
}

// The chunk that starts at pos, among those still logged, or none: first
// the one after the last copy's source (a run of continue codes), else a
// search. Starts rise with the index, nearly in proportion: the search
// begins where the log's mean chunk length puts pos and widens its steps
// until pos is bracketed. With more than 4 GiB logged the low 32 bits
// would be ambiguous, and only the run is followed.
inline uint64_t log_find(chunk_log& g, uint64_t pos, uint64_t total) {
  const uint32_t* const st = g.start;
  const uint64_t m = g.mask;
  const uint64_t size = m + 1;
  const uint64_t next = g.last + 1;
  if (g.last != none && next < g.n && g.n - g.last <= size &&
      g.last_pos + uint32_t(st[next & m] - st[g.last & m]) == pos)
    return next;
  if (g.n == 0 || total - g.oldest >= (uint64_t(1) << 32)) return none;
  auto at = [&](uint64_t i) { return total - uint32_t(uint32_t(total) - st[i & m]); };
  const uint64_t lo = g.n > size ? g.n - size : 0, hi = g.n;
  if (pos < g.oldest || pos > at(hi - 1)) return none;
  const uint64_t span = total - g.oldest;
  uint64_t i = lo + (pos - g.oldest) * (hi - lo) / (span ? span : 1);
  if (i >= hi) i = hi - 1;
  uint64_t a, b;  // at(a) <= pos < at(b), b == hi standing for beyond the end
  if (at(i) <= pos) {
    a = i;
    uint64_t step = 1;
    while (a + step < hi && at(a + step) <= pos) a += step, step *= 2;
    b = a + step < hi ? a + step : hi;
  } else {
    b = i;
    uint64_t step = 1;
    while (b - lo > step && at(b - step) > pos) b -= step, step *= 2;
    a = b - lo > step ? b - step : lo;
  }
  while (b - a > 1) {
    const uint64_t c = a + (b - a) / 2;
    (at(c) <= pos ? a : b) = c;
  }
  return at(a) == pos ? a : none;
}

// A known chunk's copy: len bytes from src to win_pos. Source and
// destination are apart in the ring (distance + len <= window), so
// plain copies in ring-end pieces are the byte route's result.
inline void ring_copy(codec_state& s, uint32_t src, uint32_t len) {
  const uint32_t w = s.tbl.cfg_decwinsize;
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

}  // namespace

void chunk_log_alloc(codec_state& s) {
  chunk_log& g = s.log;
  const uint32_t order = g.order ? g.order : 21;
  g.start = static_cast<uint32_t*>(alloc_pages(uint64_t(4) << order));
  g.order = order;
  g.mask = (uint32_t(1) << order) - 1;
  g.n = 0;
  g.oldest = 0;
  g.last = none;
}

void chunk_log_free(codec_state& s) {
  free_pages(s.log.start, uint64_t(4) << s.log.order);
  s.log.start = nullptr;
}

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
  // Where a chunk copied straight into the ring begins there, else none_pos.
  constexpr uint32_t none_pos = ~uint32_t(0);
  uint32_t ring_from = none_pos;
  // chunk_buf up to here has gone out (the span route sends literal bytes
  // as it takes them); 0 at each chunk start.
  uint32_t sent = 0;
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
        // The bytes go from the input buffer to the ring and the output
        // (the driver refills it only on request 1); chunk_buf keeps the
        // held bytes and what the cuts read back.
        uint8_t* const data = s.chunk_buf + emit_from;
        uint32_t f = s.chunk_fill - emit_from;
        const uint8_t* const p0 = s.in_cur;
        closed = chunker_cut(s, data, f, s.in_cur, s.in_end);
        const uint32_t took = uint32_t(s.in_cur - p0);
        ring_write(s, p0, took);
        const uint32_t from = sent > emit_from ? sent : emit_from;
        if (!put_fast(s, s.chunk_buf + from, s.chunk_fill - from))
          co_await put_bytes(s, s.chunk_buf + from, s.chunk_fill - from);
        s.chunk_fill = emit_from + f;
        sent = s.chunk_fill;
        if (!put_fast(s, p0, took)) co_await put_bytes(s, p0, took);
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
        chunk_log& g = s.log;
        uint64_t i = none;
        uint32_t len = 0;
        if (g.start && d != 0 && d < winsize && d <= s.total_bytes) {
          i = log_find(g, s.total_bytes - d, s.total_bytes);
          if (i != none) len = (i + 1 < g.n ? g.start[(i + 1) & g.mask] : uint32_t(s.total_bytes)) - g.start[i & g.mask];
        }
        g.last = i;
        g.last_pos = s.total_bytes - d;
        if (i != none && uint64_t(d) + len <= winsize) {
          ring_from = s.win_pos;
          ring_copy(s, src, len);
          s.byte_count += len;
          s.chunk_len = len;
          s.chunk_fill = len;
        } else {
          copy_span(s, src);
        }
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
    if (ring_from != none_pos) {
      // A known chunk's copy went straight into the ring: send it from there.
      const uint32_t k = winsize - ring_from < len ? winsize - ring_from : len;
      if (!put_fast(s, s.win_buf + ring_from, k)) co_await put_bytes(s, s.win_buf + ring_from, k);
      if (!put_fast(s, s.win_buf, len - k)) co_await put_bytes(s, s.win_buf, len - k);
      ring_from = none_pos;
    } else {
      const uint32_t from = sent > emit_from ? sent : emit_from;
      if (!put_fast(s, s.chunk_buf + from, s.chunk_fill - from))
        co_await put_bytes(s, s.chunk_buf + from, s.chunk_fill - from);
    }
    if (s.log.start) log_add(s.log, s.total_bytes);
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
    sent = 0;
  }
}

}  // namespace dupcut
