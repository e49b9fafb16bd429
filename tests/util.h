// Shared by the tests, the fuzz targets and the micro-benchmarks: random
// data, an in-memory pump that serves a codec's requests, and whole runs
// of an encoder or decoder set up through the codec's own open calls.
// Header-only, so that each user links it against its own build of the
// core (the fuzz targets' is instrumented).
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "codec/codec.h"

namespace tu {

using bytes = std::vector<uint8_t>;
using namespace dupcut;

[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "fail: %s\n", what);
  std::abort();
}

inline void check(bool ok, const char* what) {
  if (!ok) fail(what);
}

struct rng {  // splitmix64
  uint64_t x;
  uint64_t next() {
    uint64_t z = (x += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
};

inline bytes noise(size_t n, uint64_t seed) {
  rng r{seed};
  bytes v(n);
  for (auto& b : v) b = uint8_t(r.next());
  return v;
}

inline bytes cat(std::initializer_list<bytes> parts) {
  bytes v;
  for (const auto& p : parts) v.insert(v.end(), p.begin(), p.end());
  return v;
}

struct pump_opts {
  size_t in_piece = io_buf_size;   // input bytes per refill
  size_t out_piece = io_buf_size;  // bytes of the output buffer
  size_t out_cap = SIZE_MAX;       // stop once the output passes this
  // Input pieces in heap blocks of exactly their size, so that a sanitizer
  // sees any read past in_end; else the codec reads the input in place.
  bool fence = true;
  bool keep = true;  // keep the output (else only count it)
  void (*on_request)(int32_t) = nullptr;  // sees every request code
};

struct pumped {
  bytes out;
  size_t out_bytes;  // what went out, kept or not
  bool finished;     // ended with request 0 (not cut off at out_cap)
  size_t fed;        // input bytes handed over
  size_t last_fill;  // bytes in the output buffer at the end
};

// A heap block of exactly n bytes, aligned as the program's buffers are
// (copies into it run at the program's speed).
struct block_free {
  void operator()(uint8_t* p) const { ::operator delete[](p, std::align_val_t{64}); }
};
using block = std::unique_ptr<uint8_t[], block_free>;
inline block new_block(size_t n) { return block(static_cast<uint8_t*>(::operator new[](n, std::align_val_t{64}))); }

// Serves the requests of the codec started on io until it finishes. The
// output buffer is a heap block of exactly out_piece bytes, so a write past
// out_end is seen too.
inline pumped pump(codec_io& io, const uint8_t* in, size_t n, const pump_opts& o = {}) {
  pumped r{{}, 0, false, 0, 0};
  block ib;
  block ob = new_block(o.out_piece);
  io.out_cur = io.out_start = ob.get();
  io.out_end = ob.get() + o.out_piece;
  io.in_cur = io.in_start = io.in_end = nullptr;
  auto take = [&](const uint8_t* p, size_t k) {
    r.out_bytes += k;
    if (o.keep) r.out.insert(r.out.end(), p, p + k);
  };
  // Every request but the last few consumes or produces a piece.
  const uint64_t limit = n / o.in_piece + (o.out_cap == SIZE_MAX ? uint64_t(1) << 40 : o.out_cap / o.out_piece) + 16;
  for (uint64_t steps = 0;; steps++) {
    check(steps <= limit, "codec keeps suspending without progress");
    const int32_t req = codec_resume(io);
    if (o.on_request) o.on_request(req);
    if (req == 0) {
      r.finished = true;
      break;
    }
    if (req == 1) {
      check(io.in_cur == io.in_end, "request 1 with unread input");
      const size_t k = std::min(o.in_piece, n - r.fed);
      const uint8_t* p = in + r.fed;
      if (o.fence) {
        if (!ib || k != o.in_piece) ib = new_block(k);
        if (k) std::memcpy(ib.get(), p, k);
        p = ib.get();
      }
      r.fed += k;
      if (k == 0) io.in_eof = 1;
      io.in_cur = io.in_start = p;
      io.in_end = p + k;
    } else if (req == 2) {
      check(io.out_cur == io.out_end, "request 2 with room left");
      take(ob.get(), o.out_piece);
      if (r.out_bytes > o.out_cap) break;
      io.out_cur = io.out_start = ob.get();
    } else {
      fail("unknown request code");
    }
  }
  r.last_fill = size_t(io.out_cur - ob.get());
  if (r.finished) take(ob.get(), r.last_fill);
  return r;
}

// A whole run's settings; what is not used by one side is ignored there.
struct codec_cfg {
  uint32_t chunkdiv = 1;  // every chunk but the last is 64 bytes
  uint32_t encmem = 4096 * 20;  // table bytes, 20 a slot
  uint32_t decwin = 1u << 20;   // window bytes; whole MiB with a header
  bool header = true;           // else records only
  path route = path::simd;      // forced before opening
  uint32_t features = ~0u;      // the CPU features the route may use
  uint32_t threads = 1;         // codec_state::threads
  uint32_t log_order = 0;       // the decoder's chunk log, 0: default
  pump_opts io;
};

struct run {
  bytes out;
  bool finished;
  stream_counts cnt;
  const char* fail;    // why the decoder failed
  const char* damage;  // the decoder's first damage
  bool allocated;      // the decoder had a window
  uint32_t chunkdiv, decwin;  // as the decoder read them
};

inline run finish(codec_state& s, const pumped& p) {
  const decoder* d = dec_of(s);
  if (!d) return {p.out, p.finished, s.cnt, nullptr, nullptr, false, s.cfg_chunkdiv, 0};
  return {p.out, p.finished, s.cnt, d->fail.msg, d->damage.msg, d->win_buf != nullptr, s.cfg_chunkdiv,
          d->cfg_decwinsize};
}

inline run encode(const uint8_t* in, size_t n, const codec_cfg& c) {
  auto s = std::make_unique<codec_state>();
  s->threads = c.threads;
  dispatch_force(c.route, c.features);
  check(codec_open_encoder(*s, c.chunkdiv, c.encmem, c.decwin, c.header), "table allocation failed");
  const run r = finish(*s, pump(s->io, in, n, c.io));
  codec_close(*s);
  return r;
}

inline run encode(const bytes& in, const codec_cfg& c) { return encode(in.data(), in.size(), c); }

// With a header the stream's numbers count, else c's.
inline run decode(const uint8_t* in, size_t n, const codec_cfg& c) {
  auto s = std::make_unique<codec_state>();
  s->threads = c.threads;
  dispatch_force(c.route, c.features);
  if (c.header)
    codec_open_decoder(*s);
  else
    codec_open_decoder(*s, c.chunkdiv, c.decwin);
  dec_of(*s)->log_order = c.log_order;
  const pumped p = pump(s->io, in, n, c.io);
  const run r = finish(*s, p);
  codec_close(*s);
  return r;
}

inline run decode(const bytes& in, const codec_cfg& c) { return decode(in.data(), in.size(), c); }

}  // namespace tu
