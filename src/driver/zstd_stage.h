// The zstd stage: a dupcut stream written as standard zstd frames by
// libzstd in this process (--zstd), and such frames read back when
// decoding, so that one command gives a compressed file that every zstd
// tool can still open. The library stays the format alone; this is the
// program's.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "driver/sha256.h"

struct ZSTD_CCtx_s;
struct ZSTD_DCtx_s;

namespace dupcut {

// --zstd's levels: 1..19, 3 by default, up to 22 with --ultra.
inline constexpr int zstd_level_default = 3, zstd_level_max = 19, zstd_level_ultra = 22;

// True when p starts with a zstd frame's magic number, 28 B5 2F FD. No
// valid stream header can be taken for it: a header's byte 3 is the top
// of its window in MiB (1..4095), so at most 15, and the magic's is 0xFD.
bool zstd_frame_start(const uint8_t* p, size_t n);

// The window a decoder of the frame starting at p keeps, from the frame's
// header; false when the n bytes hold no whole frame header.
bool zstd_frame_window(const uint8_t* p, size_t n, uint64_t& window);

// The run's threads shared out: dupcut's own and zstd's
// workers, at least one, so that the frames are the same for every count.
struct zstd_split {
  uint32_t dupcut;
  uint32_t workers;
};
zstd_split zstd_share(uint32_t threads);

// The encoding side: the stream goes in through zstd_out_write (a stdio
// cookie's write, unbuffered, so each write is the driver's), its frames
// out to `to`.
struct zstd_out {
  ZSTD_CCtx_s* cc = nullptr;
  std::FILE* to = nullptr;
  uint8_t* buf = nullptr;  // compressed bytes on their way to `to`
  size_t buf_size = 0;
  // --verify: zstd's decoding of every compressed byte, whose digest must
  // be the digest of the stream that went in.
  ZSTD_DCtx_s* check = nullptr;
  uint8_t* check_buf = nullptr;
  size_t check_size = 0;
  size_t check_left = 0;  // the last decompression's return: 0 at a frame's end
  sha256 fed, decoded;
  uint64_t fed_bytes = 0, decoded_bytes = 0;
  uint64_t written = 0;  // compressed bytes written to `to`
  std::string problem;   // zstd's own failure, or a verification mismatch
};

// Level 1..22 on `workers` worker threads (at least 1); false with the
// message in err.
bool zstd_out_open(zstd_out& z, std::FILE* to, int level, uint32_t workers, bool verify, char* err, size_t err_size);
ssize_t zstd_out_write(void* cookie, const char* p, size_t n);
// Ends the frame and checks it: 0, an errno value of a failed write to
// `to`, or -1 with z.problem set.
int zstd_out_finish(zstd_out& z);
void zstd_out_close(zstd_out& z);

// The decoding side: a reader of compressed bytes (as read(2) returns:
// bytes, 0 at the end, -1 with errno) whose frames are handed out
// decompressed through zstd_in_read (a stdio cookie's read). A damaged or cut frame ends the data there,
// as the end of the input would, with `problem` set: the dupcut decoder
// then restores all that came before it.
using byte_source = ssize_t (*)(void* cookie, char* buf, size_t size);

struct zstd_in {
  ZSTD_DCtx_s* dc = nullptr;
  byte_source src = nullptr;
  void* src_cookie = nullptr;
  uint8_t* buf = nullptr;  // compressed bytes read ahead
  size_t buf_size = 0, pos = 0, filled = 0;
  bool ended = false;   // the source has no more
  size_t left = 0;      // the last decompression's return: 0 at a frame's end
  uint8_t head[4];      // the first bytes decompressed, handed out first
  size_t head_n = 0, head_used = 0;
  uint64_t window = 0;  // the first frame's window
  uint64_t memory = 0;  // what zstd's decoder holds for it
  std::string problem;
};

// Opens the decoder and decompresses the stream's first bytes for its
// header (into head); false with the message in err for a source that
// fails or no memory; a damaged frame sets problem instead. window: the
// first frame's, from zstd_frame_window.
bool zstd_in_open(zstd_in& z, byte_source src, void* cookie, uint64_t window, char* err, size_t err_size);
ssize_t zstd_in_read(void* cookie, char* buf, size_t size);
void zstd_in_close(zstd_in& z);

}  // namespace dupcut
