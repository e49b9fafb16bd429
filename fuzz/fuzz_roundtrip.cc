// Encode, decode, compare. The first nine input bytes choose the divisor,
// the window (in bytes), the table size, the piece sizes of both buffer
// exchanges and how the rest becomes data: as it is, or as a small script
// of literals, back-copies, code-like markers and long runs, so that the
// fuzzer reaches matches, continue codes and escapes without having to
// guess 64 equal bytes.
#include <cstdint>
#include <memory>

#include "fuzz_util.h"

namespace fz {
namespace {

constexpr size_t param_bytes = 9;
constexpr size_t max_data = size_t(128) << 10;
// The worker takes a stage only from the second 1 MiB on.
constexpr size_t max_data_threads = size_t(3) << 20;
// flag_span_*: the span route on that side; the other side may take the
// byte route, and the data must come back either way.
// flag_threads: both sides on 2 to 4 threads (the encoder's workers).
// The top two bits: the CPU tier both sides run, 0 the best this CPU has,
// then without GFNI, without AVX-512, and the portable kernels.
constexpr uint8_t flag_script = 1, flag_entry = 2, flag_span_enc = 4, flag_span_dec = 8, flag_simd = 16,
                  flag_threads = 32;
constexpr uint32_t tier_features[4] = {~0u, ~cpu_gfni, ~(cpu_gfni | cpu_avx512bw), 0};

struct params {
  uint32_t div, win, tblsize;
  size_t piece_a, piece_b;
  bool script, via_entry, span_enc, span_dec, simd;
  uint32_t threads;
  uint32_t features;
};

size_t piece(uint8_t c) { return c < 192 ? 1 + c : size_t(c - 191) * 1024; }

params parse(const uint8_t* p) {
  params r;
  r.div = 1 + (p[0] | p[1] << 8) % 300;
  const uint32_t w = p[2] | p[3] << 8;
  r.win = w < 32768 ? 1 + w : (w - 32767) * 32;
  const uint32_t t = p[4] | p[5] << 8;
  r.tblsize = t < 49152 ? 1 + t % 600 : 600 + (t - 49152) * 3;
  r.piece_a = piece(p[6]);
  r.piece_b = piece(p[7]);
  r.script = p[8] & flag_script;
  r.via_entry = p[8] & flag_entry;
  r.span_enc = p[8] & flag_span_enc;
  r.span_dec = p[8] & flag_span_dec;
  r.simd = p[8] & flag_simd;
  r.threads = p[8] & flag_threads ? 2 + p[7] % 3 : 1;
  r.features = tier_features[p[8] >> 6];
  if (r.via_entry) r.win = 1u << 20;  // the header carries whole MiB only
  return r;
}

// Script ops: 00..7F literal of op+1 bytes; 80..EF copy (op-7F)*64 bytes
// from 1 + u16 % size back (overlap allowed); F0..FB the escape marker and
// a fourth byte 0..3; FC, FD (n+1)*256 noise bytes from seed v (many
// distinct chunks, to fill small tables); FE, FF a run of (n+1)*512 bytes
// of value v.
bytes run_script(const uint8_t* p, size_t n, size_t cap) {
  bytes d;
  size_t i = 0;
  auto next = [&]() -> uint8_t { return i < n ? p[i++] : 0; };
  while (i < n && d.size() < cap) {
    const uint8_t op = p[i++];
    if (op < 0x80) {
      const size_t k = std::min<size_t>(op + 1, n - i);
      d.insert(d.end(), p + i, p + i + k);
      i += k;
    } else if (op < 0xF0) {
      const size_t len = size_t(op - 0x7F) * 64;
      const uint32_t back = next() | next() << 8;
      if (d.empty()) continue;
      const size_t from = d.size() - (1 + back % d.size());
      for (size_t k = 0; k < len; k++) {
        const uint8_t b = d[from + k];
        d.push_back(b);
      }
    } else if (op < 0xFC) {
      d.insert(d.end(), {esc0, esc1, esc2, uint8_t(op & 3)});
    } else if (op < 0xFE) {
      const size_t len = (size_t(next()) + 1) * 256;
      uint32_t x = 0x9E3779B9u ^ next();
      for (size_t k = 0; k < len; k++) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        d.push_back(uint8_t(x >> 11));
      }
    } else {
      const size_t len = (size_t(next()) + 1) * 512;
      d.insert(d.end(), len, next());
    }
  }
  if (d.size() > cap) d.resize(cap);
  return d;
}

}  // namespace
}  // namespace fz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  using namespace fz;
  if (size < param_bytes) return 0;
  const params pr = parse(input);
  const uint8_t* rest = input + param_bytes;
  const size_t rest_n = size - param_bytes;
  const bytes data =
      pr.script ? run_script(rest, rest_n, pr.threads > 1 ? max_data_threads : max_data) : bytes(rest, rest + rest_n);
  // Every record but the last holds 64 data bytes or more; an escape adds 4.
  const size_t stream_cap = data.size() + 4 * (data.size() / 64 + 1) + header_size;

  const run enc = encode(data, {.chunkdiv = pr.div, .encmem = pr.tblsize * 20, .decwin = pr.win,
                                .header = pr.via_entry, .route = route_of(pr.span_enc, pr.simd), .features = pr.features,
                                .threads = pr.threads,
                                .io = {.in_piece = pr.piece_a, .out_piece = pr.piece_b, .out_cap = stream_cap}});
  check(enc.finished, "stream longer than data plus escapes");
  check(enc.fail == nullptr, "encoder failed");
  check(enc.cnt.total_bytes == data.size() && enc.cnt.chunk_count >= 1, "encoder counters");

  if (pr.via_entry) {
    uint8_t h[header_size];
    header_bytes(pr.div, pr.win, h);
    check(enc.out.size() >= header_size && std::equal(h, h + header_size, enc.out.begin()), "header bytes");
  }
  const run dec = decode(enc.out, {.chunkdiv = pr.div, .decwin = pr.win, .header = pr.via_entry,
                                   .route = route_of(pr.span_dec, pr.simd), .features = pr.features,
                                   .threads = pr.threads,
                                   .log_order = 1 + pr.tblsize % 12,
                                   .io = {.in_piece = pr.piece_b, .out_piece = pr.piece_a, .out_cap = data.size()}});
  check(dec.chunkdiv == pr.div && dec.decwin == pr.win, "header read back");
  check(dec.finished, "decoder wrote more than the data");
  check(dec.fail == nullptr && dec.damage == nullptr, "decoder rejected the encoder's stream");
  check(dec.out == data, "round trip changed the data");
  check(dec.cnt.total_bytes == enc.cnt.total_bytes && dec.cnt.chunk_count == enc.cnt.chunk_count, "chunk counts differ");
  check(dec.cnt.match_bytes == enc.cnt.match_bytes, "the two sides disagree on matched bytes");
  return 0;
}

namespace fz {

void seeds(std::vector<bytes>& out) {
  auto block = [](uint32_t div, uint32_t wfield, uint32_t tfield, uint8_t a, uint8_t b, uint8_t flags) {
    return bytes{uint8_t(div - 1), uint8_t((div - 1) >> 8), uint8_t(wfield), uint8_t(wfield >> 8), uint8_t(tfield),
                 uint8_t(tfield >> 8), a, b, flags};
  };
  auto cat = [](std::initializer_list<bytes> parts) {
    bytes v;
    for (const auto& p : parts) v.insert(v.end(), p.begin(), p.end());
    return v;
  };
  bytes lit;  // literal op with 128 varied bytes
  lit.push_back(0x7F);
  for (int i = 0; i < 128; i++) lit.push_back(uint8_t(i * 37 + 11));
  const bytes script = cat({lit, lit, {0x85, 0x00, 0x01}, {0xF0}, lit, {0x83, 0x40, 0x00}, {0xF1}, {0xF2}, {0xF3},
                            lit, {0xA0, 0x10, 0x02}, {0xFC, 0x44, 0x00}, lit, {0x90, 0xFF, 0xFF}, {0x02, 'A', 'B', 'C'}});
  const bytes runs = cat({{0xFF, 0x90, 0x00}, {0x7F}, bytes(128, 0x55), {0xFE, 0x40, 0x00}, {0xB0, 0x00, 0x04}});

  // Divisor, window field (1 + w bytes, or (w - 32767) * 32), table field
  // (1 + t % 600 slots, or 600 + 3 (t - 49152)), pieces, flags.
  out.push_back(cat({block(1, 4095, 60000, 255, 255, flag_script), script}));
  out.push_back(cat({block(1, 100, 31, 0, 3, flag_script), script}));
  out.push_back(cat({block(50, 40000, 7, 7, 200, flag_script), script}));
  out.push_back(cat({block(300, 60000, 65535, 191, 1, flag_script), script}));
  out.push_back(cat({block(3, 1000, 600, 200, 200, flag_script | flag_entry), script}));
  out.push_back(cat({block(65, 65535, 49200, 255, 255, flag_script), runs}));
  out.push_back(cat({block(1, 2, 1, 4, 4, flag_script), runs}));
  // Past two stages, so that the encoder's worker cuts some: noise, long
  // runs, copies from far back.
  bytes big;
  for (uint8_t i = 0; i < 24; i++) big.insert(big.end(), {0xFC, 0xFF, i});
  for (int i = 0; i < 6; i++) big.insert(big.end(), {0xFE, 0xFF, uint8_t(i)});
  for (int i = 0; i < 10; i++) big.insert(big.end(), {0xEF, uint8_t(i), 0xF0});
  out.push_back(cat({block(100, 60000, 60000, 255, 255, flag_script | flag_span_enc | flag_simd | flag_threads), big}));
  out.push_back(cat({block(1, 40000, 600, 200, 7, flag_script | flag_span_enc | flag_span_dec | flag_threads), big}));
  // The same on the AVX2 tier and on the portable kernels, both sides SIMD.
  const uint8_t both = flag_script | flag_span_enc | flag_span_dec | flag_simd | flag_threads;
  out.push_back(cat({block(100, 60000, 60000, 255, 254, both | 0x80), big}));
  out.push_back(cat({block(100, 60000, 60000, 255, 253, both | 0xC0), big}));
  // Many distinct 64-byte chunks, then some again: full probe windows and
  // tombstones in a table of a few dozen slots.
  const bytes noisy = {0xFC, 0x80, 0x01, 0xFD, 0x20, 0x02, 0xC0, 0x00, 0x30, 0xFC, 0x40, 0x01};
  out.push_back(cat({block(1, 5000, 40, 255, 255, flag_script), noisy}));
  out.push_back(cat({block(1, 40000, 90, 255, 255, flag_script), noisy}));
  out.push_back(cat({block(1, 4095, 50000, 255, 255, 0), bytes(64, 'X'), bytes(64, 'A'), bytes(64, 'X'),
                     {esc0, esc1, esc2, code_match}, bytes(60, 'Y'), {'A', 'B', 'C'}}));
  out.push_back(block(100, 4095, 50000, 0, 0, 0));
  out.push_back(cat({block(100, 4095, 50000, 0, 0, flag_entry), {esc0, esc1, esc2}}));
}

}  // namespace fz
