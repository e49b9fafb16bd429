#include "driver/codec_main.h"

#include "chunking/chunker.h"
#include "decoder/decode.h"
#include "driver/alloc.h"
#include "encoder/encode.h"
#include "stream/stream.h"

namespace dupcut {

std::FILE* console = stdout;

namespace {

codec_task fail(codec_state& s, const char* msg) {
  s.fail_msg = msg;
  co_await codec_yield{s, 0};
}

}  // namespace

codec_task codec_main(codec_state& s) {
  if (s.decode_mode) {
    int b[4];
    for (int& x : b) x = co_await get_byte{s};
    if (b[3] < 0) {
      co_await fail(s, "stream too short for its header");
      co_return;
    }
    s.cfg_chunkdiv = uint32_t(b[0] + 256 * b[1]);
    const uint32_t mib = uint32_t(b[2] + 256 * b[3]);
    if (s.cfg_chunkdiv == 0) {
      co_await fail(s, "bad stream header: chunk divisor 0");
      co_return;
    }
    if (mib == 0 || mib > 4095) {
      co_await fail(s, "bad stream header: window size out of range");
      co_return;
    }
    s.tbl.cfg_decwinsize = mib << 20;
    s.tbl.encmem = 0;
    s.win_buf = static_cast<uint8_t*>(alloc_pages(s.tbl.cfg_decwinsize));
    if (!s.win_buf) {
      co_await fail(s, "cannot allocate the decoder window");
      co_return;
    }
    s.win_pos = 0;
    if (s.span_io) chunk_log_alloc(s);
  } else {
    uint8_t h[header_size];
    header_bytes(s.cfg_chunkdiv, s.tbl.cfg_decwinsize, h);
    for (uint8_t x : h) co_await put_byte{s, x};
  }

  chunker_init(s, s.cfg_chunkdiv);
  std::fprintf(console, "len=%i encmem=%iM decmem=%iM\n", int(s.cfg_chunkdiv + 64), int(s.tbl.encmem >> 20),
               int(s.tbl.cfg_decwinsize >> 20));

  if (s.decode_mode)
    co_await decode_loop(s);
  else
    co_await encode_loop(s);
}

}  // namespace dupcut
