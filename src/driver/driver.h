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

// The whole program; returns the exit status.
int driver_main(int argc, char** argv);

}  // namespace dupcut
