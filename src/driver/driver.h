// The process side: command line, files, the buffer-exchange loop that runs
// the codec, and the closing statistics.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "core/coroutine.h"
#include "driver/progress.h"

namespace dupcut {

struct driver_files {
  std::FILE* in;
  std::FILE* out;
  uint64_t bytes_read;
  uint64_t bytes_written;
  int err;        // errno of the failed read or write
  progress* prog;  // ticked once per buffer exchange; may be null
};

enum class run_result { ok, read_error, write_error, codec_error };

// Sets up the buffers, serves the codec's requests until it finishes, then
// writes the partly filled output buffer. Stops at the first read or write
// error. Releases the codec's frames. A codec's own verdict (fail_msg,
// damage) is the caller's to read: codec_error is never returned here.
run_result driver_loop(codec_io& io, driver_files& f);

// "sum=%i x=%i avglen=%i.%i\n" with the mean cut to one decimal.
void format_stats(char* buf, size_t size, uint64_t total, uint64_t count);

// Flushes standard output, whose write errors stay unseen until then: 0, or
// the errno value of the write that failed.
int flush_stdout();

// The whole program; returns the exit status.
int driver_main(int argc, char** argv);

struct codec_state;

// The encoder's first console line ("sizeof(this)=...").
void print_setup_line(std::FILE* to, const codec_state& s);

// Threads for an encoder: -T's count when given (0: one per core), else
// DUPCUT_THREADS's (the same numbers), else one per core; at most 2, the
// most the encoder uses.
uint32_t encoder_threads(bool given, uint32_t asked);

// A codec on the heap, for the option form's runs and its verifier: to
// decode, or to encode with the divisor, table and window (MiB) and
// threads given. Null when the table cannot be had, with the message in
// err.
codec_state* codec_new(bool decode, uint32_t chunkdiv, uint32_t table_mib, uint32_t window_mib, uint32_t threads,
                       char* err, size_t err_size);
void codec_delete(codec_state* s);

// Glue for the option form (driver/cli.cc): driver_main's set-up and
// clean-up of a codec, as functions.

// A fresh codec state set up as driver_main sets one up (DUPCUT_PATH
// included): to decode, or to encode with the given divisor, chunk table
// and window (MiB), its table opened. Null when the table cannot be had,
// with the message in err.
codec_state* codec_open(bool decode, uint32_t chunkdiv, uint32_t table_mib, uint32_t window_mib, char* err,
                        size_t err_size);
// Releases the codec's frames, window, chunk log or table, and the state.
void codec_close(codec_state* s);
// The encoder's first console line ("sizeof(this)=...").
void print_setup_line(std::FILE* to, const codec_state& s);

}  // namespace dupcut
