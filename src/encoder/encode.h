// The encoder: reads data, writes one record per chunk. Two routes give the
// same bytes: encode_bytes takes the data one get_byte at a time and is the
// reference; encode_spans takes whole buffers and works a stage at a time.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

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

// The span route's second thread, owned by one codec: while the codec's
// own thread codes a stage, it cuts and digests the next one, in a batch of
// its own. It touches only the job's batch and the chunker, which outlive
// the codec's frames; a frame that posted a job withdraws it, or waits for
// it, before it goes.
struct stage_worker {
  std::thread th;
  std::mutex m;
  std::condition_variable cv;
  chunk_batch* spare;  // the second batch; null: no worker
  // The job, under m: cut the first `have` bytes of bt's stage (all of
  // them at the end of input); `taken` is the answer.
  chunk_batch* bt;
  chunker* ck;
  uint32_t have, taken;
  bool eof;
  bool posted;   // a job waits for the worker
  bool cutting;  // the worker has taken it and not finished
  bool quit;
};

// The encoder's part of a codec's state.
struct encoder {
  chunk_table tbl;
  uint8_t chunk_buf[chunk_buf_size];  // byte route: the open chunk's bytes
  chunk_batch batch;                  // span route
  stage_worker wk;                    // span route with a second thread
};

// Starts the second thread and its batch unless running; false when either
// is refused, and the encoder stays on one thread then.
bool worker_start(encoder& e);
// Withdraws or waits for any job, ends the thread and frees its batch.
void worker_stop(encoder& e);

using enc_view = loop_view<encoder>;

// Read the input to its end and write one record per chunk; finish with
// request code 0. The header has been written and the chunker set up.
codec_task encode_bytes(enc_view v);
codec_task encode_spans(enc_view v);

inline codec_task encode_loop(enc_view v, path route) {
  return route == path::byte ? encode_bytes(v) : encode_spans(v);
}

}  // namespace dupcut
