#include "codec/codec.h"


namespace dupcut {

namespace {

codec_task fail(codec_state& s, stream_status st) {
  s.dec.fail = st;
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
  s.cnt = {};
  s.dec.fail = s.dec.damage = {fault::none, nullptr};
  codec_set_threads(s, s.threads);
  codec_start(s.io, codec_main(s));
}

// Takes the header's numbers; false (fail set) when it is refused. A
// stream that ends reads -1 from there on.
bool take_header(codec_state& s, const int b[header_size]) {
  uint8_t h[header_size];
  size_t n = 0;
  while (n < header_size && b[n] >= 0) h[n] = uint8_t(b[n]), n++;
  const stream_header hd = read_header(h, n);
  if (hd.problem) {
    s.dec.fail = {hd.code, hd.problem};
    return false;
  }
  s.cfg_chunkdiv = hd.chunkdiv;
  const uint32_t mib = hd.window_mib;
  // A window from an earlier stream is kept when its size fits.
  if (s.dec.cfg_decwinsize != mib << 20) window_free(s.dec);
  s.dec.cfg_decwinsize = mib << 20;
  return true;
}

}  // namespace

bool codec_open_encoder(codec_state& s, uint32_t chunkdiv, uint32_t encmem, uint32_t decwinsize, bool header) {
  codec_release(s.io);
  tbl_close(s.enc.tbl);
  if (!tbl_open(s.enc.tbl, encmem / 20, decwinsize)) return false;
  // The span route's stages, for one thread at least, before anything
  // else can fail.
  if (dispatch_path() != path::byte && !pipeline_open(s.enc.pl, s.threads)) {
    tbl_close(s.enc.tbl);
    return false;
  }
  s.enc.tbl.encmem = encmem;
  open_common(s, 0, chunkdiv, header);
  return true;
}

void codec_set_threads(codec_state& s, uint32_t n) {
  s.threads = n;
  const bool enc = !s.decode_mode, two = n >= 2;
  s.dec.helper = !enc && two;
  if (enc && two) tbl_prefault(s.enc.tbl);
  // Only the span route has stages to cut ahead; every open of it has
  // had its two.
  if (enc && s.route == path::span)
    pipeline_open(s.enc.pl, n);
  else
    pipeline_close(s.enc.pl);
}

void codec_open_decoder(codec_state& s) { open_common(s, 1, 0, true); }

void codec_open_decoder(codec_state& s, uint32_t chunkdiv, uint32_t decwinsize) {
  if (s.dec.cfg_decwinsize != decwinsize) window_free(s.dec);
  s.dec.cfg_decwinsize = decwinsize;
  open_common(s, 1, chunkdiv, false);
}

void codec_rewind(codec_state& s) {
  if (!s.decode_mode) tbl_reset(s.enc.tbl);
  open_common(s, s.decode_mode, s.cfg_chunkdiv, !s.headerless);
}

void codec_close(codec_state& s) {
  codec_release(s.io);
  pipeline_close(s.enc.pl);
  decoder_log_free(s.dec);
  window_free(s.dec);
  tbl_close(s.enc.tbl);
}

codec_task codec_main(codec_state& s) {
  if (s.decode_mode) {
    if (!s.headerless) {
      int b[4];
      for (int& x : b) x = co_await get_byte{s.io};
      if (!take_header(s, b)) {
        co_await codec_yield{s.io, 0};
        co_return;
      }
    }
    if (!window_open(s.dec)) {
      co_await fail(s, {fault::memory, "cannot allocate the decoder window"});
      co_return;
    }
    if (s.route == path::span) decoder_log_open(s.dec);
  } else if (!s.headerless) {
    uint8_t h[header_size];
    header_bytes(s.cfg_chunkdiv, s.enc.tbl.cfg_decwinsize, h);
    for (uint8_t x : h) co_await put_byte{s.io, x};
  }

  chunker_init(s.ck, s.cfg_chunkdiv);
  const uint32_t encmem = s.decode_mode ? 0 : s.enc.tbl.encmem;
  const uint32_t decmem = s.decode_mode ? s.dec.cfg_decwinsize : s.enc.tbl.cfg_decwinsize;
  if (s.console)
    std::fprintf(s.console, "len=%i encmem=%iM decmem=%iM\n", int(s.cfg_chunkdiv + 64), int(encmem >> 20),
                 int(decmem >> 20));

  if (s.decode_mode)
    co_await decode_loop({s.io, s.ck, s.dec, s.cnt}, s.route);
  else
    co_await encode_loop({s.io, s.ck, s.enc, s.cnt}, s.route);
}

}  // namespace dupcut
