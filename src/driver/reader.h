// A regular file read ahead into memory by a thread of its own, so that
// the kernel's copying and the faulting of fresh pages run on the other
// core while the decoder works on what is already there.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace dupcut {

struct read_ahead {
  int fd;
  uint64_t at;    // file offset of the first byte
  uint8_t* p;     // memory for cap bytes
  uint64_t cap;
  uint64_t ready;  // bytes read so far, under m
  bool done;       // no more will come: all read, the file ended, a read failed or a stop
  bool stop;
  int err;         // errno of the failed read, or 0
  uint64_t helped;  // the waiting side has faulted in memory up to here
  std::mutex m;
  std::condition_variable cv;
  std::thread th;
};

// Starts reading cap bytes from fd at offset `at` into p; false when no
// thread can be had.
bool ra_start(read_ahead& r, int fd, uint64_t at, uint8_t* p, uint64_t cap);
// Waits until more than `from` bytes are read, or no more will come;
// returns the bytes read (from when none came), err set if a read failed.
// While it waits, it faults in fresh memory a little ahead of the reads,
// so that both cores zero pages when the reads cannot keep up.
uint64_t ra_wait(read_ahead& r, uint64_t from, int& err);
// Stops the thread and waits for it.
void ra_stop(read_ahead& r);

}  // namespace dupcut
