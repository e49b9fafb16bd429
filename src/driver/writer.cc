#include "driver/writer.h"

#include <cerrno>

#include "core/alloc.h"

namespace dupcut {

namespace {

constexpr uint64_t total = uint64_t(write_behind::nbuf) * write_behind::buf_size;

void writer_main(write_behind* wp) {
  write_behind& w = *wp;
  std::unique_lock lk(w.m);
  for (;;) {
    w.cv.wait(lk, [&] { return w.queued > 0 || w.closing; });
    if (w.queued == 0) return;
    const uint32_t i = w.head;
    const size_t n = w.len[i];
    const bool failed = w.err != 0;
    lk.unlock();
    // After a failure the rest is dropped: the run is over.
    int err = 0;
    size_t done = 0;
    if (!failed && n) {
      errno = 0;
      done = std::fwrite(w.buf[i], 1, n, w.out);
      if (done != n) err = errno ? errno : EIO;
    }
    lk.lock();
    w.written += done;
    if (err && !w.err) w.err = err;
    w.head = (w.head + 1) % write_behind::nbuf;
    w.queued--;
    w.cv.notify_all();
  }
}

void queue(write_behind& w, uint32_t i, size_t n) {
  w.len[i] = n;
  w.queued++;
  w.cv.notify_all();
}

}  // namespace

bool wb_start(write_behind& w, std::FILE* out) {
  auto* p = static_cast<uint8_t*>(alloc_pages(total));
  if (!p) return false;
  for (uint32_t i = 0; i < write_behind::nbuf; i++) w.buf[i] = p + i * write_behind::buf_size;
  w.out = out;
  w.head = w.queued = 0;
  w.closing = false;
  w.err = 0;
  w.written = 0;
  try {
    w.th = std::thread(writer_main, &w);
  } catch (...) {
    free_pages(p, total);
    return false;
  }
  return true;
}

int wb_swap(write_behind& w, uint32_t i, size_t n) {
  std::unique_lock lk(w.m);
  queue(w, i, n);
  w.cv.wait(lk, [&] { return w.queued < write_behind::nbuf || w.err; });
  if (w.err) return -1;
  return int((w.head + w.queued) % write_behind::nbuf);
}

int wb_finish(write_behind& w, uint32_t i, size_t n) {
  {
    std::lock_guard lk(w.m);
    queue(w, i, n);
    w.closing = true;
  }
  w.th.join();
  free_pages(w.buf[0], total);
  return w.err;
}

uint64_t wb_written(write_behind& w) {
  std::lock_guard lk(w.m);
  return w.written;
}

}  // namespace dupcut
