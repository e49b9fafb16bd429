#include "driver/streams.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "driver/driver.h"
#include "driver/sha256.h"

namespace dupcut {

uint8_t ahead_buf[ahead_size];

namespace {

ssize_t read_some(int fd, void* p, size_t n) {
  for (;;) {
    const ssize_t r = read(fd, p, n);
    if (r >= 0 || errno != EINTR) return r;
  }
}

// Reading, a buffer as large as the driver's lets its 64 KiB reads go
// straight through; unbuffered, stdio would read a byte at a time, and
// setvbuf without a buffer of ours gives 8 KiB. Writing, unbuffered hands
// each of the driver's writes over whole and at once, as the verifier needs.
char in_stdio_buf[driver_buf_size];

}  // namespace

ssize_t source_read(void* cookie, char* buf, size_t size) {
  source& s = *static_cast<source*>(cookie);
  ssize_t n;
  if (s.head_used < s.head_n) {
    n = ssize_t(std::min(size, s.head_n - s.head_used));
    std::memcpy(buf, s.head + s.head_used, size_t(n));
    s.head_used += size_t(n);
  } else {
    // The encoder asks for input: what it made of the input so far is
    // decoded first, which keeps the verifier's queue short.
    if (s.tap) s.tap->catch_up();
    n = read_some(s.fd, buf, size);
  }
  if (n > 0 && s.tap) s.tap->took(reinterpret_cast<const uint8_t*>(buf), size_t(n));
  return n;
}

int read_head(source& s, size_t want) {
  while (s.head_n < want) {
    const ssize_t r = read_some(s.fd, s.head + s.head_n, want - s.head_n);
    if (r < 0) return errno;
    if (r == 0) break;
    s.head_n += size_t(r);
  }
  return 0;
}

ssize_t sink_write(void* cookie, const char* p, size_t n) {
  if (cookie) static_cast<sha256*>(cookie)->update(p, n);
  return ssize_t(n);
}

ssize_t tee_write(void* cookie, const char* p, size_t n) {
  tee& t = *static_cast<tee*>(cookie);
  if (std::fwrite(p, 1, n, t.out) != n) return -1;
  t.v->written(reinterpret_cast<const uint8_t*>(p), n);
  return ssize_t(n);
}

std::FILE* open_cookie(void* cookie, const char* mode, cookie_io_functions_t io) {
  std::FILE* f = fopencookie(cookie, mode, io);
  if (f && *mode == 'r') std::setvbuf(f, in_stdio_buf, _IOFBF, driver_buf_size);
  if (f && *mode == 'w') std::setvbuf(f, nullptr, _IONBF, 0);
  return f;
}

}  // namespace dupcut
