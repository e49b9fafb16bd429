// libdupcut: the codec coroutine behind a call that takes the caller's
// buffers. A suspension for input returns DUPCUT_NEED_INPUT, one for output
// space DUPCUT_NEED_OUTPUT; the codec's cursors are pointed at the caller's
// buffers again at the start of every call.
#define DUPCUT_STATIC_LINKING_ONLY
#include "dupcut.h"

#include <cstring>
#include <new>
#include <string_view>

#include "codec/codec.h"

static_assert(std::string_view(DUPCUT_VERSION) == DUPCUT_VERSION_STRING,
              "include/dupcut.h's version differs from the project's");

namespace {

using namespace dupcut;

enum class phase : uint8_t { running, done, failed };

constexpr uint64_t chunk_log_bytes = uint64_t(4) << chunk_log_order;

}  // namespace

struct dupcut_ctx {
  codec_state s;
  uint32_t window_cap;  // MiB; decoding only
  bool past_damage;     // decoding: go on to the end, report damage there
  uint32_t stable_in;   // 1: unread input stays in place until asked for more; 2: all input, until the stream ends
  bool in_place;        // the decoder reads the caller's buffer, not ibuf
  const uint8_t* held;  // in place: the buffer the decoder may hold pointers into,
  size_t held_size, held_pos;  // and where the last call left it
  bool started;         // dupcut_code has run on this stream
  phase ph;
  const char* why;      // the error's sentence
  bool ended;         // the caller said the input ends
  uint32_t hdr_seen;  // header bytes passed to the decoder so far
  uint8_t hdr[header_size];
  uint64_t in_bytes, out_bytes;
  uint8_t none;  // what an absent input buffer points at
  // The decoder's literal route keeps a pointer into its input across a
  // suspension for output, which the caller may move: a decoder reads a
  // copy of the caller's input, unless the caller promised to keep it in
  // place. The encoder copies input into its stage before any suspension
  // and reads the caller's buffer in place.
  alignas(64) uint8_t ibuf[io_buf_size];
};

namespace {

void start_stream(dupcut_ctx& c) {
  c.ph = phase::running;
  c.started = false;
  c.in_place = false;
  c.why = "";
  c.ended = false;
  c.hdr_seen = 0;
  c.in_bytes = c.out_bytes = 0;
  c.s.io.in_cur = c.s.io.in_start = c.s.io.in_end = c.ibuf;
}

dupcut_ctx* new_ctx() {
  // Route stand-ins fill the table on first use; filled here, once, no
  // two threads race to fill it.
  dispatch_ready();
  return new (std::nothrow) dupcut_ctx{};
}

dupcut_ctx* refuse(dupcut_status* status, dupcut_status why) {
  if (status) *status = why;
  return nullptr;
}

bool buffers_ok(const dupcut_out_buffer* out, const dupcut_in_buffer* in) {
  if (!out || out->pos > out->size || (!out->dst && out->size)) return false;
  return !in || (in->pos <= in->size && (in->src || !in->size));
}

dupcut_status status_of(fault f) {
  switch (f) {
    case fault::none: return DUPCUT_DONE;
    case fault::truncated: return DUPCUT_ERROR_TRUNCATED;
    case fault::damaged: return DUPCUT_ERROR_DAMAGED;
    case fault::window_cap: return DUPCUT_ERROR_WINDOW_TOO_LARGE;
    case fault::memory: return DUPCUT_ERROR_MEMORY;
  }
  return DUPCUT_ERROR_DAMAGED;
}

// The header bytes among the k about to pass to the decoder; refuses a
// stream before its window is allocated, in the words the codec would use.
stream_status watch_header(dupcut_ctx& c, const uint8_t* p, size_t k) {
  for (size_t i = 0; i < k && c.hdr_seen < header_size; i++) {
    c.hdr[c.hdr_seen++] = p[i];
    if (c.hdr_seen < header_size) continue;
    const stream_header h = read_header(c.hdr, header_size);
    if (h.problem) return {h.code, h.problem};
    if (c.window_cap && h.window_mib > c.window_cap)
      return {fault::window_cap, "the stream's window is above the decoder's cap"};
  }
  return {fault::none, nullptr};
}

}  // namespace

extern "C" {

dupcut_ctx* dupcut_encoder_create(uint32_t divisor, uint32_t table_mib, uint32_t window_mib,
                                  dupcut_status* status) {
  if (divisor < 1 || divisor > 65535 || table_mib < 1 || table_mib > 4095 || window_mib < 1 || window_mib > 4095)
    return refuse(status, DUPCUT_ERROR_PARAM);
  dupcut_ctx* c = new_ctx();
  if (!c) return refuse(status, DUPCUT_ERROR_MEMORY);
  if (!codec_open_encoder(c->s, divisor, table_mib << 20, window_mib << 20)) {
    delete c;
    return refuse(status, DUPCUT_ERROR_MEMORY);
  }
  start_stream(*c);
  if (status) *status = DUPCUT_DONE;
  return c;
}

dupcut_ctx* dupcut_decoder_create(uint32_t window_cap_mib, dupcut_status* status) {
  dupcut_ctx* c = new_ctx();
  if (!c) return refuse(status, DUPCUT_ERROR_MEMORY);
  c->window_cap = window_cap_mib;
  codec_open_decoder(c->s);
  start_stream(*c);
  if (status) *status = DUPCUT_DONE;
  return c;
}

dupcut_status dupcut_code(dupcut_ctx* c, dupcut_out_buffer* out, dupcut_in_buffer* in, int end) {
  if (!c || !buffers_ok(out, in)) return DUPCUT_ERROR_PARAM;
  if (c->ph != phase::running || (c->ended && !end)) {
    c->ph = phase::failed;
    c->why = c->ended && !end ? "the end of input was withdrawn" : "a call after the stream ended";
    return DUPCUT_ERROR_SEQUENCE;
  }
  codec_state& s = c->s;
  codec_io& io = s.io;
  const bool dec = s.decode_mode;
  const uint8_t* const isrc = in && in->src ? static_cast<const uint8_t*>(in->src) : &c->none;
  const size_t isize = in ? in->size : 0, pos0 = in ? in->pos : 0, opos0 = out->pos;
  // Waiting for output space, a decoder reading in place may hold
  // pointers into the buffer the last call left.
  if (c->in_place && io.request == 2 && (isrc != c->held || isize != c->held_size || pos0 != c->held_pos))
    return DUPCUT_ERROR_PARAM;
  c->started = true;
  c->ended = end != 0;
  size_t ipos = pos0;
  uint8_t* const odst = static_cast<uint8_t*>(out->dst);

  // A status and, for an error, its sentence (null: the status string's).
  auto leave = [&](dupcut_status st, const char* why = nullptr) {
    if (in) in->pos = ipos;
    c->held = isrc;
    c->held_size = isize;
    c->held_pos = ipos;
    c->in_bytes += ipos - pos0;
    c->out_bytes += out->pos - opos0;
    if (st < 0) {
      c->ph = phase::failed;
      c->why = why ? why : dupcut_status_string(st);
    }
    if (st == DUPCUT_DONE) c->ph = phase::done;
    return st;
  };

  for (;;) {
    // The codec stores a byte before it looks for room: it runs only with
    // room for one.
    if (out->pos == out->size) return leave(DUPCUT_NEED_OUTPUT);
    io.out_cur = io.out_start = odst + out->pos;
    io.out_end = odst + out->size;
    if (!dec || c->in_place ||
        (c->stable_in && c->hdr_seen == header_size && io.request != 2 && io.in_cur == io.in_end)) {
      // The header has been watched and ibuf used up: a decoder whose
      // caller keeps its input in place reads it there from now on.
      c->in_place = dec;
      io.in_cur = io.in_start = isrc + ipos;
      io.in_end = isrc + isize;
      io.in_eof = c->ended;
      io.in_kept = dec && c->stable_in == 2;
    } else if (io.request != 2 && io.in_cur == io.in_end) {
      // Not at a suspension for output, so nothing in ibuf is read again.
      size_t k = isize - ipos < io_buf_size ? isize - ipos : io_buf_size;
      // A caller keeping all its input has only the header copied: the
      // decoder keeps pointers to what follows.
      if (c->stable_in == 2 && c->hdr_seen < header_size && k > header_size - c->hdr_seen) k = header_size - c->hdr_seen;
      if (const stream_status h = watch_header(*c, isrc + ipos, k); h.code != fault::none)
        return leave(status_of(h.code), h.msg);
      if (k) std::memcpy(c->ibuf, isrc + ipos, k);
      ipos += k;
      io.in_cur = io.in_start = c->ibuf;
      io.in_end = c->ibuf + k;
      io.in_eof = c->ended && ipos == isize;
      io.in_kept = 0;
    }
    const int32_t req = codec_resume(s);
    out->pos = size_t(io.out_cur - odst);
    if (!dec || c->in_place) ipos = size_t(io.in_cur - isrc);
    // Damage is final unless the caller salvages what follows it.
    if (const decoder* d = dec_of(s); d && d->damage.msg && !c->past_damage)
      return leave(status_of(d->damage.code), d->damage.msg);
    if (req == 0) {
      const stream_status v = codec_status(s);
      return leave(status_of(v.code), v.msg);
    }
    // The codec asks once more at the end of input before it sees in_eof;
    // a decoder also goes on with the caller's input not yet copied.
    if (req == 1 && !c->ended && (!dec || ipos == isize)) return leave(DUPCUT_NEED_INPUT);
  }
}

dupcut_status dupcut_set_option(dupcut_ctx* c, dupcut_option opt, uint32_t value) {
  if (!c) return DUPCUT_ERROR_PARAM;
  if (c->started) return DUPCUT_ERROR_SEQUENCE;
  switch (opt) {
    case DUPCUT_OPTION_PAST_DAMAGE:
      if (value > 1) return DUPCUT_ERROR_PARAM;
      c->past_damage = value;
      return DUPCUT_DONE;
    case DUPCUT_OPTION_STABLE_INPUT:
      if (value > 2) return DUPCUT_ERROR_PARAM;
      c->stable_in = value;
      if (decoder* d = dec_of(c->s)) d->refs.wanted = value == 2;
      return DUPCUT_DONE;
    case DUPCUT_OPTION_THREADS:
      if (value < 1) return DUPCUT_ERROR_PARAM;
      codec_set_threads(c->s, value);
      return DUPCUT_DONE;
  }
  return DUPCUT_ERROR_PARAM;
}

const char* dupcut_error_message(const dupcut_ctx* c) { return c ? c->why : ""; }

dupcut_status dupcut_reset(dupcut_ctx* c) {
  if (!c) return DUPCUT_ERROR_PARAM;
  codec_rewind(c->s);
  start_stream(*c);
  return DUPCUT_DONE;
}

void dupcut_free(dupcut_ctx* c) {
  if (!c) return;
  codec_close(c->s);
  delete c;
}

dupcut_status dupcut_probe_header(const void* src, size_t size, dupcut_header_info* info) {
  if (!info || (!src && size)) return DUPCUT_ERROR_PARAM;
  const stream_header h = read_header(static_cast<const uint8_t*>(src), size);
  if (h.problem) return status_of(h.code);
  info->divisor = h.chunkdiv;
  info->window_mib = h.window_mib;
  info->decoder_bytes = h.decoder_memory + chunk_log_bytes + sizeof(dupcut_ctx);
  return DUPCUT_DONE;
}

dupcut_status dupcut_get_counters(const dupcut_ctx* c, dupcut_counters* n) {
  if (!c || !n) return DUPCUT_ERROR_PARAM;
  n->in_bytes = c->in_bytes;
  n->out_bytes = c->out_bytes;
  n->data_bytes = c->s.cnt.total_bytes;
  n->chunks = c->s.cnt.chunk_count;
  n->match_bytes = c->s.cnt.match_bytes;
  return DUPCUT_DONE;
}

const char* dupcut_status_string(dupcut_status st) {
  switch (st) {
    case DUPCUT_DONE: return "done";
    case DUPCUT_NEED_INPUT: return "needs input";
    case DUPCUT_NEED_OUTPUT: return "needs output space";
    case DUPCUT_ERROR_PARAM: return "invalid parameter";
    case DUPCUT_ERROR_MEMORY: return "out of memory";
    case DUPCUT_ERROR_WINDOW_TOO_LARGE: return "stream window above the decoder's cap";
    case DUPCUT_ERROR_DAMAGED: return "damaged stream";
    case DUPCUT_ERROR_TRUNCATED: return "stream ends inside its header or a code";
    case DUPCUT_ERROR_SEQUENCE: return "call out of sequence: after an error, after done, or end withdrawn";
  }
  return "unknown status";
}

unsigned dupcut_version_number(void) { return DUPCUT_VERSION_NUMBER; }
const char* dupcut_version_string(void) { return DUPCUT_VERSION_STRING; }

dupcut_status dupcut_get_setup(const dupcut_ctx* c, dupcut_setup* u) {
  if (!c || !u) return DUPCUT_ERROR_PARAM;
  const codec_setup n = codec_setup_of(c->s);
  const encoder* e = enc_of(c->s);
  *u = {c->s.started, n.chunkdiv, n.encmem, n.decmem, e ? e->tbl.cfg_tblsize : 0, uint32_t(sizeof(hinf)),
        uint32_t(sizeof(codec_state)), e ? reinterpret_cast<uintptr_t>(e->tbl.htbl) : 0};
  return DUPCUT_DONE;
}

dupcut_status dupcut_keep_no_more(dupcut_ctx* c) {
  if (!c) return DUPCUT_ERROR_PARAM;
  if (c->stable_in == 2) c->stable_in = 1;
  if (decoder* d = dec_of(c->s)) refs_stop(d->refs);
  return DUPCUT_DONE;
}

int dupcut_input_held(const dupcut_ctx* c) {
  const decoder* d = c ? dec_of(c->s) : nullptr;
  return d && d->refs.state != refs_state::off;
}

}  // extern "C"
