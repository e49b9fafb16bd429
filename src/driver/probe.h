// What the first bytes of a stream say before decoding starts: the header's
// numbers for -l and the memory cap, and whether the bytes rather look like
// another compressor's output. The format has no magic number, so the
// latter is only a hint: such bytes can also open a valid stream.
#pragma once

#include <cstddef>
#include <cstdint>

#include "stream/stream.h"  // read_header: the header's numbers, or why it is refused

namespace dupcut {

// Bytes to look at for both answers.
constexpr size_t probe_size = 6;

// "gzip", "zip", "zstd", "xz" or "bzip2" when p starts with that format's
// magic number, else null; for a warning such as "looks like a gzip file;
// decompress it first?".
const char* foreign_format(const uint8_t* p, size_t n);

}  // namespace dupcut
