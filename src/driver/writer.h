// Output written behind the codec: full buffers go to a thread of its own,
// so that the kernel's copying (and a digest of restored data) runs on the
// other core while the codec fills the next buffer. The order of bytes and
// the buffers' contents are what a plain loop would write.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <thread>

namespace dupcut {

struct write_behind {
  static constexpr uint32_t nbuf = 4;
  static constexpr size_t buf_size = size_t(512) << 10;

  std::FILE* out;
  uint8_t* buf[nbuf];   // one block of nbuf * buf_size bytes
  size_t len[nbuf];     // bytes queued in each
  uint32_t head;        // the oldest queued buffer
  uint32_t queued;      // buffers waiting for the writer
  bool closing;         // no more buffers will come
  int err;              // errno of the first failed write; nothing is written after it
  uint64_t written;     // bytes written so far
  std::mutex m;
  std::condition_variable cv;
  std::thread th;
};

// Sets up buffers and thread; false (nothing held) when either is refused.
bool wb_start(write_behind& w, std::FILE* out);
// Queues buffer i with n bytes and returns the index of a free buffer,
// waiting for the writer when all are queued. -1 once a write has failed.
int wb_swap(write_behind& w, uint32_t i, size_t n);
// Queues the last n bytes of buffer i, waits for every write, stops the
// thread and frees the buffers. Returns 0 or the errno value of the first
// failed write.
int wb_finish(write_behind& w, uint32_t i, size_t n);
// What has reached the file so far; for progress.
uint64_t wb_written(write_behind& w);

}  // namespace dupcut
