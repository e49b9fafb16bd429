// The decoder: restores the data of a stream's records. It keeps a ring of
// the last cfg_decwinsize restored bytes and runs the chunker over what it
// restores, since the stream carries no lengths. Two routes give the same
// bytes, counters and verdicts: decode_bytes takes and gives one byte at a
// time and is the reference; decode_spans works on whole buffer spans.
#pragma once

#include "chunking/chunker.h"
#include "chunking/dispatch.h"
#include "core/coroutine.h"
#include "core/prefault.h"
#include "stream/stream.h"

namespace dupcut {

// log2 of the chunk log's entries unless a caller sets another: 2 Mi
// starts in 8 MiB.
constexpr uint32_t chunk_log_order = 21;

// Where the decoder's recent chunks start (span route only). A chunk's end
// depends on its own bytes alone, so a copy from a logged chunk start that
// is still in the ring takes that chunk's length without scanning it.
struct chunk_log {
  uint32_t* start;  // start[i & mask]: low 32 bits of chunk i's first position
  uint32_t order;   // log2 of the entries; 0: chunk_log_order
  uint32_t mask;
  uint64_t n;       // chunks logged so far
  uint64_t oldest;  // first position of the oldest chunk still logged
  // The oldest chunk less than 4 GiB before the data's end, as last seen,
  // and its first position: starts from there on are told apart by their
  // low 32 bits.
  uint64_t near;
  uint64_t near_pos;
  uint64_t last;    // the last copy's source chunk, ~0 when not known,
  uint64_t last_pos;  // and its first position
  // With kept input, where chunk i's bytes lie in that input: at_base of
  // its group of 4096 entries plus at[i & mask], or 0 when they were
  // written to the ring.
  uint32_t* at;
  uintptr_t* at_base;
  uint32_t at_order;  // log2 of at's entries; 0: none
  // A hint for the search: dir[(p >> dir_shift) & dir mask] holds the low
  // 32 bits of the index of the first chunk that starts in the 2 KiB block
  // of positions p, when one does; stale entries are told by their start.
  uint32_t* dir;
  uint32_t dir_order;  // log2 of dir's entries; 0: none
};

// The decoder's part of a codec's state.
struct decoder {
  uint32_t cfg_decwinsize;  // bytes of the ring
  uint8_t* win_buf;         // the ring: restored bytes, the latest before win_pos
  uint32_t win_pos;         // where the next restored byte goes
  uint32_t chunk_fill;      // bytes of the open record held in chunk_buf
  // The first sign that the stream cannot be an encoder's output; decoding
  // goes on as defined and the run ends as a failure.
  const char* damage_msg;
  chunk_log log;
  // With helper set, a thread faults the ring in a bounded distance ahead
  // of the data, so that the kernel zeroes fresh pages while this thread
  // decodes; fill_mark is the data position at which its goal moves next.
  uint32_t helper;
  prefault* fill;
  uint64_t fill_mark;
  // keep_refs (set by the caller): streams whose input is kept (see
  // codec_io::in_kept) leave chunks read from it out of the ring, and the
  // log keeps where they are; copies of them are taken from there. refs is
  // on while a stream does so: a copy the log cannot place first writes
  // every such chunk still in the window to the ring and ends it.
  uint32_t keep_refs;
  bool refs;
  // Set by the caller once it keeps no more input: from the next chunk on,
  // chunks and copies of held-back ones go into the ring, and refs end
  // once no held-back chunk is within reach.
  bool refs_stop;
  bool span_route;  // the stream runs decode_spans
  // The open chunk's bytes held back from the ring: run_len bytes at
  // run_src in kept input, which belong at ring position run_at. run_ok
  // while every byte of the chunk so far is in the run.
  bool run_ok;
  const uint8_t* run_src;
  uint32_t run_len;
  uint32_t run_at;
  uint64_t held_end;  // where the latest chunk logged in kept input ends; 0: none
  uint8_t chunk_buf[chunk_buf_size];
};

using dec_view = loop_view<decoder>;

// Restore the data of a stream whose header has been read; win_buf holds
// cfg_decwinsize bytes and the chunker is set up. Finish with request code
// 0 (io.fail_msg set when the stream ended inside a match code).
codec_task decode_bytes(dec_view v);
codec_task decode_spans(dec_view v);

inline codec_task decode_loop(dec_view v, path route) {
  return route == path::byte ? decode_bytes(v) : decode_spans(v);
}

// The ring for a new stream, kept from an earlier stream when there is one
// (its size is cfg_decwinsize); false when memory is refused.
bool window_open(decoder& d);
// Stops the ring's helper and releases the ring.
void window_free(decoder& d);

// The chunk log of the span route: 2^log.order entries (a default when 0),
// emptied; its memory is kept from an earlier stream. Without one, or when
// allocation fails, every copy is scanned. With keep_refs it holds every
// chunk of the window and their places, or refs stay off.
void chunk_log_alloc(decoder& d);
void chunk_log_free(decoder& d);

// Where a copy of distance d starts in the ring. Valid distances
// (1..cfg_decwinsize-1) land exactly d bytes back; others keep the
// stream-defined formula with its 32-bit wrap.
inline uint32_t copy_source(uint32_t win_pos, uint32_t winsize, uint32_t d) {
  if (d != 0 && d < winsize) return win_pos >= d ? win_pos - d : win_pos + (winsize - d);
  return (winsize + win_pos - d) % winsize;
}

}  // namespace dupcut
