#include "driver/reader.h"

#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>

namespace dupcut {

namespace {

constexpr uint64_t piece = uint64_t(1) << 20;
// The waiting side faults in huge pages from this far past the reads on,
// where the reader will not be for a while.
constexpr uint64_t help_gap = uint64_t(4) << 20;
constexpr uint64_t huge = uint64_t(2) << 20;

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23  // Linux 5.14
#endif

void run(read_ahead* r) {
  uint64_t got = 0;
  for (;;) {
    {
      const std::lock_guard lk(r->m);
      if (r->stop || got == r->cap) {
        r->done = true;
        break;
      }
    }
    const uint64_t n = r->cap - got < piece ? r->cap - got : piece;
    const ssize_t k = pread(r->fd, r->p + got, size_t(n), off_t(r->at + got));
    if (k < 0 && errno == EINTR) continue;
    {
      const std::lock_guard lk(r->m);
      if (k <= 0) {
        // A file cut short ends the stream where it ends now, as a read
        // would.
        r->err = k < 0 ? errno : 0;
        r->done = true;
      } else {
        got += uint64_t(k);
        r->ready = got;
      }
    }
    r->cv.notify_all();
    if (k <= 0) return;
  }
  r->cv.notify_all();
}

}  // namespace

bool ra_start(read_ahead& r, int fd, uint64_t at, uint8_t* p, uint64_t cap) {
  r.fd = fd;
  r.at = at;
  r.p = p;
  r.cap = cap;
  r.ready = 0;
  r.done = r.stop = false;
  r.err = 0;
  r.helped = 0;
  // Signals stay with the program's own threads, where its handlers
  // expect them.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  bool ok = true;
  try {
    r.th = std::thread(run, &r);
  } catch (...) {
    ok = false;
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return ok;
}

uint64_t ra_wait(read_ahead& r, uint64_t from, int& err) {
  std::unique_lock lk(r.m);
  while (r.ready <= from && !r.done) {
    uint64_t h = r.ready + help_gap;
    if (h < r.helped) h = r.helped;
    h &= ~(huge - 1);
    if (h >= r.cap) {
      r.cv.wait(lk, [&] { return r.ready > from || r.done; });
      break;
    }
    lk.unlock();
    // Only page tables change: the bytes, read or not, stay as they are.
    const uint64_t n = r.cap - h < huge ? r.cap - h : huge;
    if (madvise(r.p + h, size_t(n), MADV_POPULATE_WRITE) != 0) h = r.cap;
    lk.lock();
    r.helped = h + n;
  }
  err = r.err;
  return r.ready;
}

void ra_stop(read_ahead& r) {
  if (!r.th.joinable()) return;
  {
    const std::lock_guard lk(r.m);
    r.stop = true;
  }
  r.th.join();
}

}  // namespace dupcut
