// The codec runs as a C++20 coroutine on the driver's thread. It suspends
// with a request code when the input buffer is empty (1), the output buffer
// is full (2) or the run is over (0); the driver serves the request and
// resumes it. Nested codec functions are codec_task coroutines awaited by
// their caller; every frame comes from a fixed arena, never from the heap.
#pragma once

#include <coroutine>
#include <cstddef>
#include <cstdint>

#include "driver/codec_state.h"

namespace dupcut {

void* frame_alloc(size_t size);
void frame_free(void* p, size_t size);
// Frames of codecs started or resumed from now on come from arena i (0 or
// 1); returns the arena in use before. Frees find their arena themselves.
int frame_arena_select(int i);

// A lazily started coroutine whose completion resumes its awaiter.
class [[nodiscard]] codec_task {
 public:
  struct promise_type {
    std::coroutine_handle<> cont;
    bool inline_run = false;  // resumed from its awaiter's await_suspend

    codec_task get_return_object() noexcept {
      return codec_task(std::coroutine_handle<promise_type>::from_promise(*this));
    }
    std::suspend_always initial_suspend() noexcept { return {}; }
    struct final_awaiter {
      bool await_ready() noexcept { return false; }
      std::coroutine_handle<> await_suspend(std::coroutine_handle<promise_type> h) noexcept {
        auto& p = h.promise();
        // Run through without a suspension: back to the awaiter's
        // await_suspend, which carries on in place.
        if (p.inline_run || !p.cont) return std::noop_coroutine();
        return p.cont;
      }
      void await_resume() noexcept {}
    };
    final_awaiter final_suspend() noexcept { return {}; }
    void return_void() noexcept {}
    void unhandled_exception() noexcept;

    static void* operator new(size_t size) { return frame_alloc(size); }
    static void operator delete(void* p, size_t size) { frame_free(p, size); }
  };

  codec_task(codec_task&& o) noexcept : h_(o.h_) { o.h_ = {}; }
  codec_task(const codec_task&) = delete;
  codec_task& operator=(const codec_task&) = delete;
  ~codec_task() {
    if (h_) h_.destroy();
  }

  // Awaiting a task runs it; when it finishes without suspending, the
  // awaiter goes on without suspending either, so a loop over many such
  // tasks keeps a flat stack whether or not the compiler turns resumption
  // into a tail call. A task that suspends resumes its awaiter when done.
  bool await_ready() const noexcept { return false; }
  bool await_suspend(std::coroutine_handle<> awaiting) noexcept {
    auto& p = h_.promise();
    p.cont = awaiting;
    p.inline_run = true;
    h_.resume();
    p.inline_run = false;
    return !h_.done();
  }
  void await_resume() const noexcept {}

  std::coroutine_handle<promise_type> release() noexcept {
    auto h = h_;
    h_ = {};
    return h;
  }

 private:
  explicit codec_task(std::coroutine_handle<promise_type> h) : h_(h) {}
  std::coroutine_handle<promise_type> h_;
};

using codec_entry = codec_task (*)(codec_state&);

// Suspends the codec with `code`; returns when the driver resumes it.
struct codec_yield {
  codec_state& s;
  int32_t code;
  bool await_ready() const noexcept { return false; }
  void await_suspend(std::coroutine_handle<> h) noexcept {
    s.request = code;
    s.codec_ctx = h;
  }
  void await_resume() const noexcept {}
};

// co_await wait_input{s}: true once the input buffer holds bytes, false at
// the end of input; suspends with request 1 while the buffer is empty.
struct wait_input {
  codec_state& s;
  bool await_ready() const noexcept { return s.in_cur < s.in_end; }
  void await_suspend(std::coroutine_handle<> h) noexcept {
    s.request = 1;
    s.codec_ctx = h;
  }
  bool await_resume() const noexcept { return s.in_cur < s.in_end; }
};

// co_await get_byte{s}: the next input byte 0..255, or -1 at end of input
// (only ever after a suspension with request 1). It waits as wait_input
// does; the driver resumes after request 1 only once the buffer holds bytes
// or in_eof is set (codec_resume enforces it).
struct get_byte : wait_input {
  int await_resume() noexcept { return s.in_cur < s.in_end ? *s.in_cur++ : -1; }
};

// co_await put_byte(s, b): stores b, suspending with request 2 the moment
// the output buffer is full.
struct put_byte {
  codec_state& s;
  uint8_t b;
  bool await_ready() const noexcept {
    *s.out_cur++ = b;
    return s.out_cur != s.out_end;
  }
  void await_suspend(std::coroutine_handle<> h) noexcept {
    s.request = 2;
    s.codec_ctx = h;
  }
  void await_resume() const noexcept {}
};

// co_await put_bytes(s, p, n): n bytes as by n put_byte calls; on the span
// route copied a buffer's worth at a time, on the byte route one put_byte
// per byte.
codec_task put_bytes(codec_state& s, const uint8_t* p, uint32_t n);

// put_bytes without a coroutine call where nothing can suspend: on the span
// route, when the n bytes leave room in the output buffer. False (and
// nothing written) otherwise.
inline bool put_fast(codec_state& s, const uint8_t* p, uint32_t n) {
  if (!s.span_io || uint64_t(s.out_end - s.out_cur) <= n) return false;
  if (n) __builtin_memcpy(s.out_cur, p, n);
  s.out_cur += n;
  return true;
}

// Starts the codec with `entry` on the first call (request 0, not started),
// otherwise resumes it where it last suspended. Returns the request code.
int32_t codec_resume(codec_state& s, codec_entry entry);

// Destroys the codec's frames; the driver calls it once the run is over.
void codec_release(codec_state& s);

}  // namespace dupcut
