#include "codec/codec.h"

namespace dupcut {

namespace {

// The side an open needs; the other side's memory and threads go first.
encoder& use_encoder(codec_state& s) {
  if (decoder* d = dec_of(s)) {
    decoder_log_free(*d);
    window_free(*d);
  }
  if (!enc_of(s)) s.side.emplace<encoder>();
  return *enc_of(s);
}

decoder& use_decoder(codec_state& s) {
  if (encoder* e = enc_of(s)) {
    pipeline_close(e->pl);
    tbl_close(e->tbl);
  }
  if (!dec_of(s)) s.side.emplace<decoder>();
  return *dec_of(s);
}

codec_task fail(codec_state& s, stream_status st) {
  dec_of(s)->fail = st;
  co_await codec_yield{s.io, 0};
}

// What every open shares; the route is picked here, once.
void open_common(codec_state& s, uint32_t decode, uint32_t chunkdiv, bool header) {
  codec_release(s.io);
  s.io.request = 0;
  s.io.in_eof = 0;
  s.io.in_kept = 0;
  s.decode_mode = decode;
  s.headerless = !header;
  s.route = dispatch_path() == path::byte ? path::byte : path::span;
  s.cfg_chunkdiv = chunkdiv;
  s.started = false;
  s.cnt = {};
  if (decoder* d = dec_of(s)) d->fail = d->damage = {fault::none, nullptr};
  codec_set_threads(s, s.threads);
  codec_start(s.io, codec_main(s));
}

// Takes the header's numbers; false (fail set) when it is refused. A
// stream that ends reads -1 from there on.
bool take_header(codec_state& s, decoder& d, const int b[header_size]) {
  uint8_t h[header_size];
  size_t n = 0;
  while (n < header_size && b[n] >= 0) h[n] = uint8_t(b[n]), n++;
  const stream_header hd = read_header(h, n);
  if (hd.problem) {
    d.fail = {hd.code, hd.problem};
    return false;
  }
  s.cfg_chunkdiv = hd.chunkdiv;
  // A window from an earlier stream is kept when its size fits.
  if (d.cfg_decwinsize != hd.window_mib << 20) window_free(d);
  d.cfg_decwinsize = hd.window_mib << 20;
  return true;
}

}  // namespace

bool codec_open_encoder(codec_state& s, uint32_t chunkdiv, uint32_t encmem, uint32_t decwinsize, bool header) {
  codec_release(s.io);
  encoder& e = use_encoder(s);
  tbl_close(e.tbl);
  if (!tbl_open(e.tbl, encmem / 20, decwinsize)) return false;
  // The span route's stages, for one thread at least, before anything
  // else can fail.
  if (dispatch_path() != path::byte && !pipeline_open(e.pl, s.threads)) {
    tbl_close(e.tbl);
    return false;
  }
  e.tbl.encmem = encmem;
  open_common(s, 0, chunkdiv, header);
  return true;
}

void codec_set_threads(codec_state& s, uint32_t n) {
  s.threads = n;
  const bool two = n >= 2;
  if (decoder* d = dec_of(s)) d->helper = two;
  encoder* e = enc_of(s);
  if (!e) return;
  if (two) tbl_prefault(e->tbl);
  // Only the span route has stages to cut ahead; every open of it has
  // had its two.
  if (s.route == path::span)
    pipeline_open(e->pl, n);
  else
    pipeline_close(e->pl);
}

void codec_open_decoder(codec_state& s) {
  codec_release(s.io);
  use_decoder(s);
  open_common(s, 1, 0, true);
}

void codec_open_decoder(codec_state& s, uint32_t chunkdiv, uint32_t decwinsize) {
  codec_release(s.io);
  decoder& d = use_decoder(s);
  if (d.cfg_decwinsize != decwinsize) window_free(d);
  d.cfg_decwinsize = decwinsize;
  open_common(s, 1, chunkdiv, false);
}

void codec_rewind(codec_state& s) {
  if (encoder* e = enc_of(s)) tbl_reset(e->tbl);
  open_common(s, s.decode_mode, s.cfg_chunkdiv, !s.headerless);
}

void codec_close(codec_state& s) {
  codec_release(s.io);
  if (encoder* e = enc_of(s)) {
    pipeline_close(e->pl);
    tbl_close(e->tbl);
  }
  if (decoder* d = dec_of(s)) {
    decoder_log_free(*d);
    window_free(*d);
  }
}

codec_setup codec_setup_of(const codec_state& s) {
  if (const encoder* e = enc_of(s)) return {s.cfg_chunkdiv, e->tbl.encmem, e->tbl.cfg_decwinsize};
  const decoder* d = dec_of(s);
  return {s.cfg_chunkdiv, 0, d ? d->cfg_decwinsize : 0};
}

codec_task codec_main(codec_state& s) {
  if (decoder* d = dec_of(s)) {
    if (!s.headerless) {
      int b[header_size];
      for (int& x : b) x = co_await get_byte{s.io};
      if (!take_header(s, *d, b)) {
        co_await codec_yield{s.io, 0};
        co_return;
      }
    }
    if (!window_open(*d)) {
      co_await fail(s, {fault::memory, "cannot allocate the decoder window"});
      co_return;
    }
    if (s.route == path::span) decoder_log_open(*d);
  } else if (!s.headerless) {
    uint8_t h[header_size];
    header_bytes(s.cfg_chunkdiv, enc_of(s)->tbl.cfg_decwinsize, h);
    for (uint8_t x : h) co_await put_byte{s.io, x};
  }

  chunker_init(s.ck, s.cfg_chunkdiv);
  s.started = true;

  if (decoder* d = dec_of(s))
    co_await decode_loop({s.io, s.ck, *d, s.cnt}, s.route);
  else
    co_await encode_loop({s.io, s.ck, *enc_of(s), s.cnt}, s.route);
}

}  // namespace dupcut
