#include "core/coroutine.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace dupcut {

namespace {

constexpr size_t align = alignof(std::max_align_t);
// Each frame is preceded by its arena's owner, for frame_free.
constexpr size_t head = align;

constexpr size_t round_up(size_t n) { return (n + align - 1) & ~(align - 1); }

}  // namespace

void* frame_alloc(codec_io& io, size_t size) {
  size = head + round_up(size);
  if (size > frame_arena_size - io.arena_top) {
    std::fputs("dupcut: internal error: codec frame arena exhausted\n", stderr);
    std::abort();
  }
  unsigned char* p = io.arena + io.arena_top;
  io.arena_top += uint32_t(size);
  codec_io* owner = &io;
  std::memcpy(p, &owner, sizeof owner);
  return p + head;
}

void frame_free(void* p, size_t size) {
  unsigned char* block = static_cast<unsigned char*>(p) - head;
  codec_io* io;
  std::memcpy(&io, block, sizeof io);
  size = head + round_up(size);
  if (block + size == io->arena + io->arena_top) io->arena_top -= uint32_t(size);
}

void codec_task::promise_type::unhandled_exception() noexcept {
  std::fputs("dupcut: internal error: exception in codec\n", stderr);
  std::abort();
}

codec_task put_bytes(codec_io& io, const uint8_t* p, uint32_t n) {
  while (n) {
    uint32_t k = uint32_t(io.out_end - io.out_cur);
    if (k > n) k = n;
    std::memcpy(io.out_cur, p, k);
    io.out_cur += k;
    p += k;
    n -= k;
    if (io.out_cur == io.out_end) co_await codec_yield{io, 2};
  }
}

void codec_start(codec_io& io, codec_task entry) {
  io.codec_root = entry.release();
  io.codec_ctx = io.codec_root;
  io.request = 0;
}

int32_t codec_resume(codec_io& io) {
  if (!io.codec_root) return 0;
  // Nothing to read yet: the codec would only ask again.
  if (io.request == 1 && io.in_cur == io.in_end && !io.in_eof) return 1;
  io.codec_ctx.resume();
  if (io.codec_root.done()) io.request = 0;  // an entry that returned has finished
  return io.request;
}

void codec_release(codec_io& io) {
  if (io.codec_root) io.codec_root.destroy();
  io.codec_root = {};
  io.codec_ctx = {};
  io.arena_top = 0;
}

}  // namespace dupcut
