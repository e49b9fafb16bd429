#include "driver/coroutine.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace dupcut {

namespace {

// Codec frames are few and shallow (entry, loop, a helper or two), freed in
// reverse order; a bump arena with LIFO release covers them. Two codecs that
// take turns on one thread (encoder and verifying decoder) each get their
// own arena, or their frames would be freed out of order.
constexpr size_t arena_size = 1 << 16;
struct frame_arena {
  alignas(std::max_align_t) unsigned char mem[arena_size];
  size_t top;
};
frame_arena arenas[2];
int arena_in_use = 0;

constexpr size_t round_up(size_t n) {
  return (n + alignof(std::max_align_t) - 1) & ~(alignof(std::max_align_t) - 1);
}

}  // namespace

void* frame_alloc(size_t size) {
  frame_arena& a = arenas[arena_in_use];
  size = round_up(size);
  if (size > arena_size - a.top) {
    std::fputs("dupcut: internal error: codec frame arena exhausted\n", stderr);
    std::abort();
  }
  void* p = a.mem + a.top;
  a.top += size;
  return p;
}

void frame_free(void* p, size_t size) {
  size = round_up(size);
  for (frame_arena& a : arenas)
    if (static_cast<unsigned char*>(p) + size == a.mem + a.top) a.top -= size;
}

int frame_arena_select(int i) {
  const int old = arena_in_use;
  arena_in_use = i;
  return old;
}

void codec_task::promise_type::unhandled_exception() noexcept {
  std::fputs("dupcut: internal error: exception in codec\n", stderr);
  std::abort();
}

codec_task put_bytes(codec_state& s, const uint8_t* p, uint32_t n) {
  if (!s.span_io) {
    for (uint32_t i = 0; i < n; i++) co_await put_byte{s, p[i]};
    co_return;
  }
  while (n) {
    uint32_t k = uint32_t(s.out_end - s.out_cur);
    if (k > n) k = n;
    std::memcpy(s.out_cur, p, k);
    s.out_cur += k;
    p += k;
    n -= k;
    if (s.out_cur == s.out_end) co_await codec_yield{s, 2};
  }
}

int32_t codec_resume(codec_state& s, codec_entry entry) {
  if (!s.codec_root) {
    if (s.request != 0) return s.request;
    auto root = entry(s).release();
    s.codec_root = root;
    s.codec_ctx = root;
  } else if (s.request == 1 && s.in_cur == s.in_end && !s.in_eof) {
    // Nothing to read yet: the codec would only ask again.
    return 1;
  }
  s.codec_ctx.resume();
  if (s.codec_root.done()) s.request = 0;  // an entry that returned has finished
  return s.request;
}

void codec_release(codec_state& s) {
  if (s.codec_root) s.codec_root.destroy();
  s.codec_root = {};
  s.codec_ctx = {};
}

}  // namespace dupcut
