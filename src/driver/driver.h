// The process side: command line, files, the buffer-exchange loop that runs
// the codec, and the closing statistics.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "dupcut.h"
#include "driver/progress.h"

namespace dupcut {

struct driver_files {
  std::FILE* in;
  std::FILE* out;
  uint64_t bytes_read;
  uint64_t bytes_written;
  int err;        // errno of the failed read or write
  progress* prog;  // ticked once per buffer exchange; may be null
  dupcut_out_buffer obuf;  // the output buffer being filled, for a verifier
  uint32_t threads;        // 2 or more: output is written behind the codec
  // A decoder's input that is a regular file: its descriptor and the
  // offset where the stream starts; -1: read through `in` only. A stream
  // no longer than its window is then read whole into memory the run
  // keeps, and the decoder takes its copies from there.
  int keep_fd = -1;
  uint64_t keep_at = 0;
  // A decoder's input that is not a regular file (a pipe): its stream is
  // kept in memory for a while (see driver.cc). A file longer than its
  // window is read the plain way: keeping part of it would cost memory on
  // top of the window it needs anyway.
  bool keep_pipe = false;
};

enum class run_result { ok, read_error, write_error, codec_error };

// Serves the context until its stream is complete or fails: reads the
// input 64 KiB at a time (a file's 1 MiB, into kept memory: see keep_fd), writes each full output buffer, then the partly
// filled last one. Stops at the first read or write error; the context's
// own verdict (an error status and its message) is the caller's to read:
// codec_error is never returned here.
run_result driver_loop(dupcut_ctx* c, driver_files& f, dupcut_status& status);

// "sum=%i x=%i avglen=%i.%i\n" with the mean cut to one decimal.
void format_stats(char* buf, size_t size, uint64_t total, uint64_t count);

// Flushes standard output, whose write errors stay unseen until then: 0, or
// the errno value of the write that failed.
int flush_stdout();

// Threads for a run: -T's count when given (0: one per core), else
// DUPCUT_THREADS's (the same numbers), else one per core; at most 2, the
// most a run uses (the encoder's worker or the decoder's helpers, and the
// writer of the output).
uint32_t run_threads(bool given, uint32_t n);
// The same count before that limit, for a run that shares it with zstd.
uint32_t threads_asked(bool given, uint32_t n);

// The whole program; returns the exit status.
int driver_main(int argc, char** argv);

// A context of the library as the program uses one: to decode (going on
// past damage to restore all it can), or to encode with the divisor, table
// and window (MiB) given; on `threads` threads. Null when the table cannot
// be had, with the message in err. Released with dupcut_free.
dupcut_ctx* ctx_new(bool decode, uint32_t chunkdiv, uint32_t table_mib, uint32_t window_mib, uint32_t threads,
                    char* err, size_t err_size);

// The encoder's first console line ("sizeof(this)=...").
void print_setup_line(std::FILE* to, dupcut_ctx* c);
// Where the context's start-up line ("len=...") goes; null: nowhere.
void set_console(dupcut_ctx* c, std::FILE* to);

// The current stream's counters.
dupcut_counters counters_of(const dupcut_ctx* c);

}  // namespace dupcut
