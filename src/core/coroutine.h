// The codec runs as a C++20 coroutine on its caller's thread. It suspends
// with a request code when the input buffer is empty (1), the output buffer
// is full (2) or the run is over (0); the caller serves the request and
// resumes it. Nested codec functions are codec_task coroutines awaited by
// their caller; every frame comes from the codec's own arena in codec_io,
// never from the heap, so several codecs can run side by side.
#pragma once

#include <coroutine>
#include <cstddef>
#include <cstdint>

// GCC 12 takes a coroutine frame's sized delete for a mismatch with the
// promise's placement-form new, which C++ pairs with it; it stays off in
// the files that define coroutines, which all include this header.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace dupcut {

constexpr uint32_t io_buf_size = 65536;
constexpr uint32_t frame_arena_size = 1 << 16;

// What passes between a codec and its caller.
struct codec_io {
  // Buffer cursors, owned by the caller. The codec only advances in_cur
  // and out_cur.
  const uint8_t* in_cur;
  const uint8_t* in_start;
  const uint8_t* in_end;
  uint8_t* out_cur;
  uint8_t* out_start;
  uint8_t* out_end;

  int32_t request;  // the code of the latest suspension
  uint32_t in_eof;  // set by the caller once the input has ended
  // Set by the caller while the input buffer is memory that stays in place
  // and unchanged until the stream ends, so the codec may keep pointers
  // into it.
  uint32_t in_kept;

  std::coroutine_handle<> codec_ctx;   // innermost suspended frame, resumed next
  std::coroutine_handle<> codec_root;  // the entry frame

  // Frames are few and shallow (entry, loop, a helper or two) and freed in
  // reverse order: a bump arena with LIFO release covers them.
  uint32_t arena_top;  // bytes in use
  alignas(std::max_align_t) unsigned char arena[frame_arena_size];
};

inline codec_io& io_of(codec_io& io) { return io; }

void* frame_alloc(codec_io& io, size_t size);
void frame_free(void* p, size_t size);

// A lazily started coroutine whose completion resumes its awaiter. Its
// first parameter names the codec whose arena holds the frame, through
// io_of (codec_io itself, or a part that refers to one).
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

    template <class A, class... R>
    static void* operator new(size_t size, A& a, R&...) {
      return frame_alloc(io_of(a), size);
    }
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

// Suspends the codec with `code`; returns when the caller resumes it.
struct codec_yield {
  codec_io& io;
  int32_t code;
  bool await_ready() const noexcept { return false; }
  void await_suspend(std::coroutine_handle<> h) noexcept {
    io.request = code;
    io.codec_ctx = h;
  }
  void await_resume() const noexcept {}
};

// co_await wait_input{io}: true once the input buffer holds bytes, false at
// the end of input; suspends with request 1 while the buffer is empty.
struct wait_input {
  codec_io& io;
  bool await_ready() const noexcept { return io.in_cur < io.in_end; }
  void await_suspend(std::coroutine_handle<> h) noexcept {
    io.request = 1;
    io.codec_ctx = h;
  }
  bool await_resume() const noexcept { return io.in_cur < io.in_end; }
};

// co_await get_byte{io}: the next input byte 0..255, or -1 at end of input
// (only ever after a suspension with request 1). It waits as wait_input
// does; the caller resumes after request 1 only once the buffer holds bytes
// or in_eof is set (codec_resume enforces it).
struct get_byte : wait_input {
  int await_resume() noexcept { return io.in_cur < io.in_end ? *io.in_cur++ : -1; }
};

// co_await put_byte{io, b}: stores b, suspending with request 2 the moment
// the output buffer is full.
struct put_byte {
  codec_io& io;
  uint8_t b;
  bool await_ready() const noexcept {
    *io.out_cur++ = b;
    return io.out_cur != io.out_end;
  }
  void await_suspend(std::coroutine_handle<> h) noexcept {
    io.request = 2;
    io.codec_ctx = h;
  }
  void await_resume() const noexcept {}
};

// co_await put_bytes(io, p, n): the requests and bytes of n put_byte calls,
// copied a buffer's worth at a time.
codec_task put_bytes(codec_io& io, const uint8_t* p, uint32_t n);

// put_bytes without a coroutine call where nothing can suspend: when the n
// bytes leave room in the output buffer. False (and nothing written)
// otherwise.
inline bool put_fast(codec_io& io, const uint8_t* p, uint32_t n) {
  if (uint64_t(io.out_end - io.out_cur) <= n) return false;
  if (n) __builtin_memcpy(io.out_cur, p, n);
  io.out_cur += n;
  return true;
}

// Makes `entry` (not yet started, its frame in io's arena) the codec of io;
// the first codec_resume starts it. A codec started before must have been
// released first (before entry was called, which allocated its frame).
void codec_start(codec_io& io, codec_task entry);

// Runs the codec until its next request and returns the code; 0 once it
// has finished (or when none was started).
int32_t codec_resume(codec_io& io);

// Destroys the codec's frames; the caller does once the run is over.
void codec_release(codec_io& io);

}  // namespace dupcut
