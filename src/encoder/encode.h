// The encoder: reads data, writes one record per chunk. Two routes give the
// same bytes: encode_bytes takes the data one get_byte at a time and is the
// reference; encode_spans takes whole buffers and works a stage at a time.
#pragma once

#include "chunking/chunker.h"
#include "chunking/dispatch.h"
#include "core/coroutine.h"
#include "encoder/table.h"
#include "stream/stream.h"

namespace dupcut {

// The span route gathers input in a stage and cuts, digests and codes the
// chunks that end in it together; long chunks need a stage of many buffers
// to keep the digest lanes busy. At most one chunk per 64 bytes, plus a
// short last one.
constexpr uint32_t stage_size = 16 * io_buf_size;
constexpr uint32_t batch_max = stage_size / 64 + 1;
struct chunk_batch {
  const uint8_t* ptr[batch_max];  // chunk i's first byte, in stage
  uint32_t len[batch_max];        // chunk i's length, bytes
  chunk_key key[batch_max];
  uint32_t n;                       // chunks in the batch
  uint64_t cand[stage_size / 64];   // boundary candidates of the stage, a bit a byte
  uint8_t stage[stage_size];        // input not yet coded
};

// The encoder's part of a codec's state.
struct encoder {
  chunk_table tbl;
  uint8_t chunk_buf[chunk_buf_size];  // byte route: the open chunk's bytes
  chunk_batch batch;                  // span route
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
