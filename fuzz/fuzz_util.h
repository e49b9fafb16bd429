// Shared by the fuzz targets: an in-memory driver loop, the window and table
// set-up that bypasses the MiB-granular header, and the seed hook that the
// replay program uses.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "chunking/chunker.h"
#include "decoder/decode.h"
#include "driver/alloc.h"
#include "driver/codec_main.h"
#include "driver/coroutine.h"
#include "encoder/encode.h"
#include "encoder/table.h"

namespace fz {

using bytes = std::vector<uint8_t>;
using namespace dupcut;

// Built-in seed inputs of a target (valid streams, parameter blocks); the
// replay program runs them and mutates them into generated inputs.
void seeds(std::vector<bytes>& out);

[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "fuzz: %s\n", what);
  std::abort();
}

inline void check(bool ok, const char* what) {
  if (!ok) fail(what);
}

inline void quiet_console() {
  static std::FILE* null = std::fopen("/dev/null", "w");
  if (null) console = null;
}

struct run_result {
  bytes out;
  bool finished;  // ended with request 0 (not cut off at out_cap)
};

// Serves the codec's requests from memory: input in pieces of `in_piece`
// bytes, output through a buffer of `out_piece` bytes. Buffers are heap
// blocks of exactly the piece size (a shorter last piece gets its own) so
// that the sanitizer sees any read past in_end or write past out_end. Stops
// (and abandons the codec) once the output passes out_cap.
inline run_result run_codec(codec_state& s, codec_entry entry, const uint8_t* in, size_t n, size_t in_piece,
                            size_t out_piece, size_t out_cap) {
  run_result r{{}, false};
  std::unique_ptr<uint8_t[]> ib;
  std::unique_ptr<uint8_t[]> ob(new uint8_t[out_piece]);
  s.out_cur = s.out_start = ob.get();
  s.out_end = ob.get() + out_piece;
  s.in_cur = s.in_start = s.in_end = nullptr;
  s.request = 0;

  // Every request but the last few consumes or produces a piece.
  const uint64_t limit = n / in_piece + out_cap / out_piece + 16;
  size_t off = 0;
  for (uint64_t steps = 0;; steps++) {
    check(steps <= limit, "codec keeps suspending without progress");
    const int32_t req = codec_resume(s, entry);
    if (req == 0) {
      r.finished = true;
      break;
    }
    if (req == 1) {
      check(s.in_cur == s.in_end, "request 1 with unread input");
      const size_t k = std::min(in_piece, n - off);
      if (!ib || k != in_piece) ib.reset(new uint8_t[k]);
      if (k) std::memcpy(ib.get(), in + off, k);
      off += k;
      if (k == 0) s.in_eof = 1;
      s.in_cur = s.in_start = ib.get();
      s.in_end = ib.get() + k;
    } else if (req == 2) {
      check(s.out_cur == s.out_end, "request 2 with room left");
      r.out.insert(r.out.end(), ob.get(), ob.get() + out_piece);
      if (r.out.size() > out_cap) break;
      s.out_cur = s.out_start = ob.get();
      s.out_end = ob.get() + out_piece;
    } else {
      fail("unknown request code");
    }
  }
  if (r.finished) r.out.insert(r.out.end(), ob.get(), s.out_cur);
  codec_release(s);
  return r;
}

// Decoder set-up without codec_main: a window of any byte size (the header
// only carries whole MiB).
inline void setup_decoder(codec_state& s, uint32_t div, uint32_t winsize) {
  s.decode_mode = 1;
  s.cfg_chunkdiv = div;
  s.tbl.cfg_decwinsize = winsize;
  s.win_buf = static_cast<uint8_t*>(alloc_pages(winsize));
  check(s.win_buf != nullptr, "window allocation failed");
  s.win_pos = 0;
  if (s.span_io) chunk_log_alloc(s);
  chunker_init(s, div);
}

inline void setup_encoder(codec_state& s, uint32_t div, uint32_t winsize, uint32_t tblsize) {
  s.decode_mode = 0;
  s.cfg_chunkdiv = div;
  check(tbl_open(s.tbl, tblsize, winsize), "table allocation failed");
  s.tbl.encmem = tblsize * 20;
  chunker_init(s, div);
}

inline void release(codec_state& s) {
  chunk_log_free(s);
  free_pages(s.win_buf, s.tbl.cfg_decwinsize);
  s.win_buf = nullptr;
  tbl_close(s.tbl);
}

// Records only (no header): what encode_loop writes for `data`.
inline bytes encode_records(const bytes& data, uint32_t div, uint32_t winsize, uint32_t tblsize = 4096) {
  auto s = std::make_unique<codec_state>();
  setup_encoder(*s, div, winsize, tblsize);
  run_result r = run_codec(*s, encode_loop, data.data(), data.size(), 65536, 65536, data.size() * 2 + 64);
  release(*s);
  check(r.finished, "seed encoding did not finish");
  return r.out;
}

}  // namespace fz
