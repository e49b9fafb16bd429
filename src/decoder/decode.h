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
#include "decoder/chunk_log.h"
#include "decoder/kept_refs.h"
#include "stream/stream.h"

namespace dupcut {

// The decoder's part of a codec's state.
struct decoder {
  uint32_t cfg_decwinsize;  // bytes of the ring
  uint8_t* win_buf;         // the ring: restored bytes, the latest before win_pos
  uint32_t win_pos;         // where the next restored byte goes
  uint32_t chunk_fill;      // bytes of the open record held in chunk_buf
  // Why the run failed, set before its final suspension when it does.
  stream_status fail;
  // The first sign that the stream cannot be an encoder's output
  // (fault::damaged); decoding goes on as defined and the run ends as a
  // failure.
  stream_status damage;
  chunk_log log;     // span route: where recent chunks start
  uint32_t log_order;  // log2 of the log's entries; 0: chunk_log_order
  kept_refs refs;    // span route: chunks left where they lie in kept input
  // With helper set, a thread faults the ring in a bounded distance ahead
  // of the data, so that the kernel zeroes fresh pages while this thread
  // decodes; fill_mark is the data position at which its goal moves next.
  uint32_t helper;
  prefault* fill;
  uint64_t fill_mark;
  uint8_t chunk_buf[chunk_buf_size];
};

using dec_view = loop_view<decoder>;

// Restore the data of a stream whose header has been read; win_buf holds
// cfg_decwinsize bytes and the chunker is set up. Finish with request code
// 0 (fail set when the stream ended inside a match code).
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

// The chunk log of the span route: 2^log_order entries (a default when 0),
// emptied; its memory is kept from an earlier stream. Without one, or when
// allocation fails, every copy is scanned. With refs wanted it holds every
// chunk of the window and their places, or refs stay off.
void decoder_log_open(decoder& d);
void decoder_log_free(decoder& d);

// Where a copy of distance d starts in the ring. Valid distances
// (1..cfg_decwinsize-1) land exactly d bytes back; others keep the
// stream-defined formula with its 32-bit wrap.
inline uint32_t copy_source(uint32_t win_pos, uint32_t winsize, uint32_t d) {
  if (d != 0 && d < winsize) return win_pos >= d ? win_pos - d : win_pos + (winsize - d);
  return (winsize + win_pos - d) % winsize;
}

}  // namespace dupcut
