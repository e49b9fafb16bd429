// The span route's stages: input gathered a stage at a time, cut into
// chunks and digested there, by the codec's thread and by workers of the
// encoder's own, several stages ahead of the table calls.
//
// Only one step is serial: a stage's chunks start where the last chunk of
// the stage before ended. A position's boundary verdict depends on its own
// 16 bytes and a chunk's key on its own bytes, so the two costly steps are
// split into parts that any thread runs in any order:
//   candidates  the window-hash bits of a quarter of a stage's fresh bytes
//               (of all of them without workers);
//   walk        the cuts, from the chunk the stage before left open (its
//               head is copied into this stage's lead first), by the
//               candidate bits: cheap, stage after stage in stream order;
//   digest      the keys of a quarter of the stage's chunks (of all).
// The codec's thread takes the stages in order and makes the table calls;
// while it waits for one it runs that stage's parts itself, so it never
// waits for a worker that has not started them.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "chunking/chunker.h"
#include "core/coroutine.h"

namespace dupcut {

// Fresh input bytes a stage holds, and the room before them for the open
// chunk's head (less than max_chunk bytes). Long chunks need a stage of
// many buffers to keep the digest lanes busy.
constexpr uint32_t stage_size = 16 * io_buf_size;
constexpr uint32_t stage_lead = 65536;
// At most one chunk per 64 bytes, plus a short last one.
constexpr uint32_t batch_max = (stage_lead + stage_size) / 64 + 1;
// Candidates and digests of a stage come in up to this many parts when
// there are workers to share them.
constexpr uint32_t stage_parts = 4;
// The table calls cap the gain long before (see README): more threads
// than this are not started.
constexpr uint32_t max_threads = 16;
constexpr uint32_t max_workers = max_threads - 1;
// A stage being coded, one per worker and one more being filled or
// waiting, so that a worker never waits for the codec to post one.
constexpr uint32_t max_stages = max_workers + 2;

struct stage {
  alignas(64) uint8_t buf[stage_lead + stage_size];  // fresh input at buf + stage_lead
  uint64_t cand[stage_size / 64];  // bit i: the window ending at fresh byte i is a candidate
  const uint8_t* ptr[batch_max];   // chunk i's first byte, in buf
  uint32_t len[batch_max];         // chunk i's length, bytes
  chunk_key key[batch_max];
  // Set when the stage is posted.
  uint64_t seq;    // its place in the stream, from 0
  uint32_t fresh;  // input bytes at buf + stage_lead; stage_size unless eof
  bool eof;        // the input ends with them
  bool split;      // its steps come in parts, for workers
  // Set by the walk: the chunks (the last one, at eof, keyed already) and
  // the bytes after the last cut, which the next stage carries.
  uint32_t n, cut_n, tail;
  // Parts handed out and finished, under the pipeline's lock.
  uint8_t cand_parts, cand_next, cand_done;
  uint8_t dig_parts, dig_next, dig_done;
  bool walking;
};

// The stages of one encoder and its workers. Stages and threads outlive
// the codec's frames; a frame that posted stages settles them before it
// goes (pipeline_settle), so no worker runs a part of a stream that is
// gone.
struct pipeline {
  stage* ring[max_stages];  // stage seq lives in ring[seq % stages]
  uint32_t stages;          // allocated: 2 or more once open
  std::thread th[max_workers];
  uint32_t workers;
  std::mutex m;
  std::condition_variable cv;
  // Under m.
  chunker* ck;      // the stream's chunker: read by candidates, the walk moves its count
  uint64_t first;   // the oldest stage not yet coded
  uint64_t next;    // the seq the next posted stage gets; [first, next) are live
  uint64_t walked;  // stages walked, from the stream's first
  uint32_t busy;    // parts being run outside the lock
  bool quit;
};

// Stages and workers for `threads` threads (one: none of its own; at most
// max_threads). Allocates what is missing; a stage or thread that cannot
// be had leaves fewer workers. False, and nothing held, when not even the
// two stages that one thread needs can be had. Only between streams.
bool pipeline_open(pipeline& p, uint32_t threads);
// Ends the workers and frees the stages.
void pipeline_close(pipeline& p);

// A new stream over chunker ck: nothing live.
void pipeline_start(pipeline& p, chunker& ck);
// The stage the next post fills; free once the stage `stages` before it
// is coded and the one after that walked (stage_wait saw to that).
stage& stage_free(pipeline& p);
// Hands the filled stage over to the parts.
void stage_post(pipeline& p, stage& s);
// Runs or waits for the parts of the oldest live stage until its chunks
// and keys are ready, and returns it.
stage& stage_wait(pipeline& p);
// The oldest live stage has been coded.
void stage_done(pipeline& p);
// Withdraws the parts not started and waits for those being run.
void pipeline_settle(pipeline& p);

// The three steps, for whoever runs them (and for benchmarks): the
// candidate bits of fresh bytes [a, b) of s (a a multiple of 64, b too
// unless it is the end); the walk of s after prev (null for a stream's
// first); the keys of chunks [a, b) of s.
void stage_candidates(const chunker& ck, stage& s, uint32_t a, uint32_t b);
void stage_walk(chunker& ck, stage& s, const stage* prev);
void stage_digest(stage& s, uint32_t a, uint32_t b);

}  // namespace dupcut
