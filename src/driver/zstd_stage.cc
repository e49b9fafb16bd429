#include "driver/zstd_stage.h"

#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace dupcut {

namespace {

// The largest window a zstd frame can ask for (2 GiB, --long=31); the
// decoder's default stops at 128 MiB. -M is what caps it, as it caps
// dupcut's own window.
constexpr int window_log_limit = 31;

void set_err(char* err, size_t size, const char* what) { std::snprintf(err, size, "%s", what); }

// Compressed bytes out to the file, and with --verify through zstd's own
// decoder, whose output is hashed against what went in.
bool emit(zstd_out& z, size_t n) {
  if (n == 0) return true;
  errno = 0;
  if (std::fwrite(z.buf, 1, n, z.to) != n) {
    if (!errno) errno = EIO;
    return false;
  }
  z.written += n;
  if (!z.check || !z.problem.empty()) return true;
  ZSTD_inBuffer in{z.buf, n, 0};
  ZSTD_outBuffer out{z.check_buf, z.check_size, 0};
  do {
    out.pos = 0;
    const size_t before = in.pos;
    const size_t r = ZSTD_decompressStream(z.check, &out, &in);
    if (ZSTD_isError(r)) {
      z.problem = std::string("verification failed: zstd cannot decode what it wrote: ") + ZSTD_getErrorName(r) + "; output removed";
      return true;
    }
    if (in.pos > before || out.pos > 0) z.check_left = r;
    z.decoded.update(z.check_buf, out.pos);
    z.decoded_bytes += out.pos;
  } while (in.pos < in.size || out.pos == out.size);
  return true;
}

// Compressed bytes from the source, decompressed into dst: the count, 0
// at the end (or where a frame is damaged or cut: problem tells), -1 on a
// read error with errno set.
ssize_t pull(zstd_in& z, uint8_t* dst, size_t size) {
  if (!z.problem.empty() || size == 0) return 0;
  ZSTD_outBuffer out{dst, size, 0};
  for (;;) {
    if (z.pos == z.filled && !z.ended) {
      const ssize_t r = z.src(z.src_cookie, reinterpret_cast<char*>(z.buf), z.buf_size);
      if (r < 0) return -1;
      z.pos = 0;
      z.filled = size_t(r);
      z.ended = r == 0;
    }
    ZSTD_inBuffer in{z.buf, z.filled, z.pos};
    const size_t r = ZSTD_decompressStream(z.dc, &out, &in);
    if (ZSTD_isError(r)) {
      z.problem = std::string("damaged zstd frame: ") + ZSTD_getErrorName(r);
      return ssize_t(out.pos);
    }
    // A call that moves nothing after a frame's end asks for the next
    // frame's header: the frame still counts as complete.
    if (in.pos > z.pos || out.pos > 0) z.left = r;
    z.pos = in.pos;
    if (out.pos > 0) return ssize_t(out.pos);
    // Nothing more can come out: the input is used up.
    if (z.pos == z.filled && z.ended) {
      if (z.left != 0) z.problem = "zstd frame cut short";
      return 0;
    }
  }
}

}  // namespace

bool zstd_frame_start(const uint8_t* p, size_t n) {
  return n >= 4 && p[0] == 0x28 && p[1] == 0xB5 && p[2] == 0x2F && p[3] == 0xFD;
}

bool zstd_frame_window(const uint8_t* p, size_t n, uint64_t& window) {
  if (!zstd_frame_start(p, n) || n < 5) return false;
  const uint8_t fhd = p[4];
  const bool single = fhd >> 5 & 1;
  static const uint8_t did_bytes[4] = {0, 1, 2, 4}, fcs_bytes[4] = {0, 2, 4, 8};
  const size_t did = did_bytes[fhd & 3], fcs = (fhd >> 6) == 0 ? (single ? 1 : 0) : fcs_bytes[fhd >> 6];
  const size_t at = 5 + (single ? 0 : 1);
  if ((fhd & 8) || n < at + did + fcs) return false;  // a reserved bit set: not a frame zstd can read
  if (!single) {
    const uint64_t base = uint64_t(1) << (10 + (p[5] >> 3));
    window = base + base / 8 * (p[5] & 7);
    return true;
  }
  // One segment: the window is the content.
  uint64_t size = 0;
  for (size_t i = 0; i < fcs; i++) size |= uint64_t(p[at + did + i]) << (8 * i);
  window = size + (fcs == 2 ? 256 : 0);
  return true;
}

zstd_split zstd_share(uint32_t threads) {
  // zstd's workers compress whole jobs of 1 to 32 MiB (by level) while
  // the caller's thread only copies the stream into them.
  zstd_split s;
  s.dupcut = threads >= 2 ? 2 : 1;
  s.workers = threads >= 2 ? threads - 1 : 1;
  return s;
}

bool zstd_out_open(zstd_out& z, std::FILE* to, int level, uint32_t workers, bool verify, char* err,
                   size_t err_size) {
  z.to = to;
  z.cc = ZSTD_createCCtx();
  z.buf_size = ZSTD_CStreamOutSize();
  z.buf = static_cast<uint8_t*>(std::malloc(z.buf_size));
  if (!z.cc || !z.buf) {
    set_err(err, err_size, "cannot allocate zstd's compressor");
    return false;
  }
  // Streaming multi-threaded frames are the same for any number of
  // workers, but not the same as single-threaded ones: always at least
  // one worker, so the output never depends on -T.
  if (ZSTD_isError(ZSTD_CCtx_setParameter(z.cc, ZSTD_c_compressionLevel, level)) ||
      ZSTD_isError(ZSTD_CCtx_setParameter(z.cc, ZSTD_c_checksumFlag, 1)) ||
      ZSTD_isError(ZSTD_CCtx_setParameter(z.cc, ZSTD_c_nbWorkers, int(std::max<uint32_t>(workers, 1))))) {
    set_err(err, err_size, "libzstd refuses the level, the checksum or worker threads");
    return false;
  }
  if (verify) {
    z.check = ZSTD_createDCtx();
    z.check_size = ZSTD_DStreamOutSize();
    z.check_buf = static_cast<uint8_t*>(std::malloc(z.check_size));
    if (!z.check || !z.check_buf || ZSTD_isError(ZSTD_DCtx_setParameter(z.check, ZSTD_d_windowLogMax, window_log_limit))) {
      set_err(err, err_size, "cannot allocate zstd's decoder");
      return false;
    }
  }
  return true;
}

ssize_t zstd_out_write(void* cookie, const char* p, size_t n) {
  zstd_out& z = *static_cast<zstd_out*>(cookie);
  if (z.check) z.fed.update(p, n);
  z.fed_bytes += n;
  ZSTD_inBuffer in{p, n, 0};
  while (in.pos < in.size) {
    ZSTD_outBuffer out{z.buf, z.buf_size, 0};
    const size_t r = ZSTD_compressStream2(z.cc, &out, &in, ZSTD_e_continue);
    if (ZSTD_isError(r)) {
      z.problem = std::string("zstd: ") + ZSTD_getErrorName(r);
      errno = EIO;
      return -1;
    }
    if (!emit(z, out.pos)) return -1;
  }
  return ssize_t(n);
}

int zstd_out_finish(zstd_out& z) {
  for (;;) {
    ZSTD_inBuffer in{nullptr, 0, 0};
    ZSTD_outBuffer out{z.buf, z.buf_size, 0};
    const size_t r = ZSTD_compressStream2(z.cc, &out, &in, ZSTD_e_end);
    if (ZSTD_isError(r)) {
      z.problem = std::string("zstd: ") + ZSTD_getErrorName(r);
      return -1;
    }
    if (!emit(z, out.pos)) return errno;
    if (r == 0) break;
  }
  if (!z.check || !z.problem.empty()) return z.problem.empty() ? 0 : -1;
  if (z.check_left != 0)
    z.problem = "verification failed: zstd's decoding of what it wrote ends inside its frame; output removed";
  else if (z.decoded_bytes != z.fed_bytes || z.decoded.hex() != z.fed.hex())
    z.problem = "verification failed: zstd's decoding of what it wrote differs from the stream; output removed";
  return z.problem.empty() ? 0 : -1;
}

void zstd_out_close(zstd_out& z) {
  ZSTD_freeCCtx(z.cc);
  ZSTD_freeDCtx(z.check);
  std::free(z.buf);
  std::free(z.check_buf);
  z.cc = nullptr;
  z.check = nullptr;
  z.buf = z.check_buf = nullptr;
}

bool zstd_in_open(zstd_in& z, byte_source src, void* cookie, uint64_t window, char* err, size_t err_size) {
  z.src = src;
  z.src_cookie = cookie;
  z.window = window;
  z.dc = ZSTD_createDCtx();
  z.buf_size = ZSTD_DStreamInSize();
  z.buf = static_cast<uint8_t*>(std::malloc(z.buf_size));
  if (!z.dc || !z.buf || ZSTD_isError(ZSTD_DCtx_setParameter(z.dc, ZSTD_d_windowLogMax, window_log_limit))) {
    set_err(err, err_size, "cannot allocate zstd's decoder");
    return false;
  }
  // The stream's header, for the listing and the memory cap.
  while (z.head_n < sizeof z.head) {
    const ssize_t r = pull(z, z.head + z.head_n, sizeof z.head - z.head_n);
    if (r < 0) {
      std::snprintf(err, err_size, "%s", std::strerror(errno));
      return false;
    }
    if (r == 0) break;
    z.head_n += size_t(r);
  }
  z.memory = ZSTD_sizeof_DStream(z.dc) + z.buf_size;
  return true;
}

ssize_t zstd_in_read(void* cookie, char* buf, size_t size) {
  zstd_in& z = *static_cast<zstd_in*>(cookie);
  if (z.head_used < z.head_n) {
    const size_t n = std::min(size, z.head_n - z.head_used);
    std::memcpy(buf, z.head + z.head_used, n);
    z.head_used += n;
    return ssize_t(n);
  }
  return pull(z, reinterpret_cast<uint8_t*>(buf), size);
}

void zstd_in_close(zstd_in& z) {
  ZSTD_freeDCtx(z.dc);
  std::free(z.buf);
  z.dc = nullptr;
  z.buf = nullptr;
}

}  // namespace dupcut
