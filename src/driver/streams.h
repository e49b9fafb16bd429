// The byte streams of a run in the option form: the input as the driver
// reads it (read ahead first, for the probe or a pipe's size), and stdio
// streams over functions of ours for sinks and tees.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "driver/verify.h"

namespace dupcut {

// Read ahead from an input that is not a regular file, to be encoded: one
// that ends within it has a known size.
inline constexpr size_t ahead_size = size_t(1) << 20;
extern uint8_t ahead_buf[ahead_size];

// The input as the driver reads it: first the bytes read ahead, then the
// rest of the file; every byte also goes to the verifier.
struct source {
  int fd;
  uint8_t* head;  // ahead_buf
  size_t head_n;
  size_t head_used;
  verifier* tap;
};

// A cookie read over a source.
ssize_t source_read(void* cookie, char* buf, size_t size);

// Fills head with up to `want` bytes, as far as the input goes; 0 or an
// errno value.
int read_head(source& s, size_t want);

// Where -t and -l send the restored data: into the sha256 at cookie, if any.
ssize_t sink_write(void* cookie, const char* p, size_t n);

// The output of an encoding with --verify: to the file, then to the verifier.
struct tee {
  std::FILE* out;
  verifier* v;
};
ssize_t tee_write(void* cookie, const char* p, size_t n);

// A stdio stream over the cookie: read ("r") through a buffer as large as
// the driver's reads (one stream at a time), written ("w") unbuffered.
std::FILE* open_cookie(void* cookie, const char* mode, cookie_io_functions_t io);

}  // namespace dupcut
