// What the first bytes of a stream say before decoding starts: the header's
// numbers for -l and the memory cap, and whether the bytes rather look like
// another compressor's output. The format has no magic number, so the
// latter is only a hint: such bytes can also open a valid stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "stream/stream.h"  // read_header: the header's numbers, or why it is refused

namespace dupcut {

// Bytes to look at for both answers.
constexpr size_t probe_size = 6;

// A header as the program probes it: the stream's numbers, and what zstd's
// decoder holds for a stream read out of zstd frames, else 0.
struct probed_header : stream_header {
  uint64_t zstd_memory = 0;
};


// "gzip", "zip", "zstd", "xz" or "bzip2" when p starts with that format's
// magic number, else null; for a warning such as "looks like a gzip file;
// decompress it first?".
const char* foreign_format(const uint8_t* p, size_t n);

// -l's rows on standard output, after one heading (head_done records it):
// the header's numbers, and with the full scan the stream's counts. The
// memory column is all a decoder needs; the zstd column the part of it
// that is zstd's decoder, for a stream in zstd frames.
void list_row(const probed_header& h, const std::string& name, bool& head_done);
void list_row_full(const probed_header& h, uint64_t stream, uint64_t data, uint64_t chunks, bool damaged,
                   const std::string& name, bool& head_done);

}  // namespace dupcut
