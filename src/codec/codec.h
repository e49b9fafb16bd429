// A codec: its state composed of the modules' parts, the calls that set it
// up and take it down, and its entry. Any number of codecs can run in one
// process, each over its own buffers.
//
//   codec_state s{};                       // or a static object
//   codec_open_encoder(s, 100, 256 << 20, 1024 << 20);
//   s.io.out_cur = ...; then codec_resume(s) until it returns 0, serving
//   request 1 (refill the input) and 2 (drain the output) in between;
//   codec_close(s);
#pragma once

#include <variant>

#include "chunking/chunker.h"
#include "chunking/dispatch.h"
#include "core/coroutine.h"
#include "decoder/decode.h"
#include "encoder/encode.h"
#include "stream/stream.h"

namespace dupcut {

struct codec_state {
  codec_io io;            // buffer cursors, requests, frames
  uint32_t decode_mode;   // 1 decodes, 0 encodes
  uint32_t headerless;    // 1: records only, the numbers given at open
  path route;             // byte or span route, fixed at open
  uint32_t cfg_chunkdiv;  // a boundary where the window hash < 2^32 / cfg_chunkdiv
  // Set once the stream's start is done (header exchanged, window and
  // chunker set up): the numbers of the start-up line hold.
  bool started;
  // Threads, read by codec_open_encoder: n >= 2 gives the span route's
  // encoder n - 1 workers (at most max_threads - 1) that cut and digest
  // the stages ahead while this thread makes the table calls, and the
  // table or the window a helper faulting it in; 0 or 1 keeps to the
  // caller's thread. The output is the same.
  uint32_t threads;
  stream_counts cnt;      // data bytes, chunks, matched bytes, position
  chunker ck;             // boundaries and keys
  // The side an open made: an encoder's table and stages, or a decoder's
  // ring and chunk log, never both. Memory of the other side is released
  // when an open switches sides.
  std::variant<std::monostate, encoder, decoder> side;
};

inline codec_io& io_of(codec_state& s) { return s.io; }

// The side of an open codec; null when it is the other one.
inline encoder* enc_of(codec_state& s) { return std::get_if<encoder>(&s.side); }
inline decoder* dec_of(codec_state& s) { return std::get_if<decoder>(&s.side); }
inline const encoder* enc_of(const codec_state& s) { return std::get_if<encoder>(&s.side); }
inline const decoder* dec_of(const codec_state& s) { return std::get_if<decoder>(&s.side); }

// The numbers of the start-up line ("len=%i encmem=%iM decmem=%iM"): the
// divisor, the table's bytes (0 when decoding) and the window's bytes.
struct codec_setup {
  uint32_t chunkdiv;
  uint32_t encmem;
  uint32_t decmem;
};
codec_setup codec_setup_of(const codec_state& s);

// An encoder with chunk divisor chunkdiv, a table of encmem bytes (20 a
// slot) and the decoder's window of decwinsize bytes; with header false
// it writes records only. False when the table's memory (or the span
// route's first two stages) is refused, and nothing is held then. With
// s.threads 2 or more on the span route, workers start (or stay from an
// earlier open) and live until codec_close or a decoder's open; those that
// cannot be had leave fewer, down to none.
bool codec_open_encoder(codec_state& s, uint32_t chunkdiv, uint32_t encmem, uint32_t decwinsize, bool header = true);

// Sets the thread count of an open codec before its stream starts (every
// open applies s.threads through it): starts or stops an encoder's workers
// and table helper, or sets whether a decoder's window gets a helper.
void codec_set_threads(codec_state& s, uint32_t n);

// A decoder that takes divisor and window from the stream's header.
void codec_open_decoder(codec_state& s);
// A decoder of records only, with the numbers given here; the window may
// be any number of bytes.
void codec_open_decoder(codec_state& s, uint32_t chunkdiv, uint32_t decwinsize);

// How the run stands: its failure, else the first damage a decoder found
// (the run went on past it), else fault::none.
inline stream_status codec_status(const codec_state& s) {
  const decoder* d = dec_of(s);
  if (!d) return {fault::none, nullptr};
  return d->fail.code != fault::none ? d->fail : d->damage;
}

// Runs the codec until its next request; see codec_resume(codec_io&).
inline int32_t codec_resume(codec_state& s) { return codec_resume(s.io); }

// Ready for another stream with the numbers as they stand in s (the
// divisor may be changed before), keeping table, window and log memory:
// the table is emptied, the window is not (a valid stream never reads a
// byte it has not written first). An encoder keeps its workers.
void codec_rewind(codec_state& s);

// Releases frames, table, window, log, stages and workers; the state may
// be opened again. Releasing the frames alone (codec_release) mid-stream
// is safe too: they settle the workers' parts first.
void codec_close(codec_state& s);

// The codec's entry: exchanges the header, sets up window and chunker,
// marks the start done and runs the encode or decode loop.
codec_task codec_main(codec_state& s);

}  // namespace dupcut
