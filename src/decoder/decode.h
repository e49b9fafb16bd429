#pragma once

#include "driver/coroutine.h"

namespace dupcut {

// Restores the data of a stream whose header has been read; win_buf holds
// cfg_decwinsize zero bytes and the chunker is set up. Finishes with
// request code 0 (fail_msg set when the stream ended inside a match code).
codec_task decode_loop(codec_state& s);

// Feeds and stores the chunk_fill held bytes of chunk_buf.
void replay_held(codec_state& s);

// The chunk log of the span route: 2^s.log.order entries (a default when
// 0); without one, or when allocation fails, every copy is scanned.
void chunk_log_alloc(codec_state& s);
void chunk_log_free(codec_state& s);

// Where a copy of distance d starts in the ring. Valid distances
// (1..cfg_decwinsize-1) land exactly d bytes back; others keep the
// stream-defined formula with its 32-bit wrap.
inline uint32_t copy_source(uint32_t win_pos, uint32_t winsize, uint32_t d) {
  if (d != 0 && d < winsize) return win_pos >= d ? win_pos - d : win_pos + (winsize - d);
  return (winsize + win_pos - d) % winsize;
}

}  // namespace dupcut
