#include "core/prefault.h"

#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23  // Linux 5.14
#endif

namespace dupcut {

struct prefault {
  uint8_t* base;
  uint64_t size;
  std::mutex m;
  std::condition_variable cv;
  uint64_t goal = 0;  // under m
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> floor{0};  // the caller faults in what lies before it
  std::thread th;
};

namespace {

constexpr uint64_t page = 4096;
// One huge page a step: a stop waits for at most this much faulting, and
// each step maps whole huge pages where the block has them.
constexpr uint64_t step = uint64_t(2) << 20;

// Faults [p, p + n) in; false when the kernel refuses, which ends the
// helper's work. Before Linux 5.14 one byte of each page is touched
// instead, with an atomic add of zero: the codec may be writing the same
// byte at that moment, and neither write can undo the other.
bool populate(uint8_t* p, uint64_t n, bool& touch) {
  const uintptr_t a = uintptr_t(p) & ~(page - 1), e = uintptr_t(p + n);
  if (!touch) {
    if (madvise(reinterpret_cast<void*>(a), e - a, MADV_POPULATE_WRITE) == 0) return true;
    if (errno != EINVAL) return false;
    touch = true;
  }
  for (uintptr_t q = a; q < e; q += page) {
    uint8_t* b = q < uintptr_t(p) ? p : reinterpret_cast<uint8_t*>(q);
    __atomic_fetch_add(b, 0, __ATOMIC_RELAXED);
  }
  return true;
}

// Once the block is in, or the kernel refuses, the thread waits for the
// stop without work: it ends only when joined, so that a program ended by
// a signal with the codec open leaves no finished thread unjoined.
void run(prefault* f) {
  uint64_t done = 0;
  bool touch = false;
  for (;;) {
    uint64_t goal;
    {
      std::unique_lock<std::mutex> lk(f->m);
      f->cv.wait(lk, [&] { return f->stop.load(std::memory_order_relaxed) || f->goal > done; });
      if (f->stop.load(std::memory_order_relaxed)) return;
      goal = f->goal;
    }
    while (done < goal) {
      if (f->stop.load(std::memory_order_relaxed)) return;
      if (const uint64_t fl = f->floor.load(std::memory_order_relaxed); done < fl) {
        done = fl < goal ? fl : goal;
        continue;
      }
      // Steps end on huge-page boundaries of the address.
      uint64_t end = ((uintptr_t(f->base) + done + step) & ~(step - 1)) - uintptr_t(f->base);
      if (end > goal) end = goal;
      if (!populate(f->base + done, end - done, touch)) {
        done = f->size;
        break;
      }
      done = end;
    }
  }
}

}  // namespace

prefault* prefault_start(void* p, uint64_t size, uint64_t goal) {
  auto* f = new (std::nothrow) prefault;
  if (!f) return nullptr;
  f->base = static_cast<uint8_t*>(p);
  f->size = size;
  f->goal = goal < size ? goal : size;
  // The thread starts with every signal blocked, so that signals reach the
  // program's own threads, where its handlers expect them.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  try {
    f->th = std::thread(run, f);
  } catch (...) {
    delete f;
    f = nullptr;
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return f;
}

void prefault_to(prefault* f, uint64_t goal) {
  if (!f) return;
  if (goal > f->size) goal = f->size;
  {
    std::lock_guard<std::mutex> lk(f->m);
    if (goal <= f->goal) return;
    f->goal = goal;
  }
  f->cv.notify_one();
}

void prefault_skip_to(prefault* f, uint64_t from) {
  if (f && from > f->floor.load(std::memory_order_relaxed)) f->floor.store(from, std::memory_order_relaxed);
}

void prefault_stop(prefault*& f) {
  if (!f) return;
  {
    std::lock_guard<std::mutex> lk(f->m);
    f->stop.store(true, std::memory_order_relaxed);
  }
  f->cv.notify_one();
  f->th.join();
  delete f;
  f = nullptr;
}

}  // namespace dupcut
