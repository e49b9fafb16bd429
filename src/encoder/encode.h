// The encoder: reads data, writes one record per chunk. Two routes give the
// same bytes: encode_bytes takes the data one get_byte at a time and is the
// reference; encode_spans takes whole buffers and works a stage at a time.
#pragma once

#include "chunking/chunker.h"
#include "chunking/dispatch.h"
#include "core/coroutine.h"
#include "encoder/stages.h"
#include "encoder/table.h"
#include "stream/stream.h"

namespace dupcut {

// The encoder's part of a codec's state.
struct encoder {
  chunk_table tbl;
  uint8_t chunk_buf[chunk_buf_size];  // byte route: the open chunk's bytes
  pipeline pl;                        // span route: stages and workers
};

using enc_view = loop_view<encoder>;

// Read the input to its end and write one record per chunk; finish with
// request code 0. The header has been written and the chunker set up.
codec_task encode_bytes(enc_view v);
codec_task encode_spans(enc_view v);

inline codec_task encode_loop(enc_view v, path route) {
  return route == path::byte ? encode_bytes(v) : encode_spans(v);
}

}  // namespace dupcut
