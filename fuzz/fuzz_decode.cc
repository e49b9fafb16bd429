// Decoding arbitrary bytes as a stream, header included. The output is
// compared with a plain reference decoder that keeps the whole output and
// reads the stream in one piece, so both the coroutine's suspension points
// and the ring arithmetic are checked, not just memory safety.
//
// Header windows of 1 to 4 MiB and invalid headers go through codec_main
// as they are. Any other valid window field (5..4095) is mapped to a small
// byte size, 1 byte to about 1 MiB, so that inputs stay fast and window
// sizes that are no multiple of 2^20 are exercised.
#include <cstdint>
#include <memory>

#include "fuzz_util.h"

namespace fz {
namespace {

constexpr size_t out_cap = size_t(256) << 10;

uint32_t small_window(uint32_t v) {
  const uint32_t w = v - 5;
  return w < 2048 ? w + 1 : (w - 2047) * 512;
}

// Header window field that small_window maps to `win` (win <= 2048, or a
// multiple of 512).
uint16_t window_field(uint32_t win) { return uint16_t(win <= 2048 ? win + 4 : win / 512 + 2052); }

struct ref_result {
  bytes out;
  uint64_t total = 0, count = 0;
  bool truncated = false;  // ended inside a match code
  bool capped = false;
};

uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }

// The record rules read straight off a complete stream (records only). It
// keeps no ring: the window slot j holds the latest output byte whose index
// is j modulo the window size, or 0 before one was written.
ref_result ref_decode(const uint8_t* p, size_t n, uint32_t div, uint32_t win) {
  static const auto ck = std::make_unique<chunker>();
  chunker& c = *ck;
  chunker_init(c, div);
  ref_result r;
  uint32_t cur = 0;
  match_track mt;
  size_t i = 0;

  auto put = [&](uint8_t y) {
    r.out.push_back(y);
    return chunker_roll(c, y);
  };
  auto slot = [&](uint32_t j) -> uint8_t {
    const size_t len = r.out.size();
    if (len <= j) return 0;
    return r.out[len - 1 - (len - 1 - j) % win];
  };
  // Data bytes up to the boundary; true when the stream ran out first.
  auto data_run = [&] {
    while (i < n)
      if (put(p[i++])) return false;
    return true;
  };

  for (;;) {
    if (r.out.size() > out_cap) {
      r.capped = true;
      return r;
    }
    const size_t rest = n - i;
    bool at_end;
    if (rest < 4) {
      at_end = data_run();
    } else if (p[i] == esc0 && p[i + 1] == esc1 && p[i + 2] == esc2 && p[i + 3] <= code_continue) {
      const uint8_t code = p[i + 3];
      if (code == code_escape) {
        i += 4;
        at_end = data_run();
      } else {
        uint32_t d;
        if (code == code_match) {
          if (rest < 8) {
            r.truncated = true;
            return r;
          }
          d = le32(p + i + 4);
          i += 8;
        } else {
          d = pos_distance(cur, mt.expected_pos);
          i += 4;
        }
        mt.match_src = pos_distance(cur, d);
        uint32_t src = (win + uint32_t(r.out.size() % win) - d) % win;
        while (!put(slot(src))) src = src + 1 == win ? 0 : src + 1;
        at_end = false;
      }
    } else {
      at_end = data_run();
    }
    const uint32_t len = chunk_finish_len(c);
    r.total += len;
    r.count++;
    cur = pos_advance(cur, len);
    mt.chunk_done(len);
    if (at_end) return r;
  }
}

// Piece sizes follow from the input itself so that a reproducer replays
// exactly.
size_t piece_for(uint32_t h) {
  static const size_t sizes[8] = {1, 2, 3, 5, 8, 61, 4093, 65536};
  return sizes[h & 7];
}

}  // namespace
}  // namespace fz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace fz;

  uint32_t h = 2166136261u;
  for (size_t i = 0; i < size; i++) h = (h ^ data[i]) * 16777619u;
  const size_t in_piece = piece_for(h >> 8), out_piece = piece_for(h >> 16);

  const uint32_t div = size >= 2 ? data[0] | data[1] << 8 : 0;
  const uint32_t field = size >= 4 ? data[2] | data[3] << 8 : 0;
  const bool header_ok = size >= 4 && div != 0 && field >= 1 && field <= 4095;
  const bool whole_mib = !header_ok || field <= 4;

  // Small chunk logs, so that entries fall out of them.
  codec_cfg c{.route = route_of((h >> 24) & 1, (h >> 25) & 1), .log_order = 1 + (h >> 26) % 12,
              .io = {.in_piece = in_piece, .out_piece = out_piece, .out_cap = out_cap}};
  run got;
  uint32_t win;
  if (whole_mib) {
    got = decode(data, size, c);
    if (!header_ok) {
      check(got.finished, "a rejected stream did not finish");
      check(got.fail != nullptr, "invalid header accepted");
      check(!got.allocated && got.out.empty(), "invalid header decoded");
      return 0;
    }
    check(got.chunkdiv == div && got.decwin == field << 20, "header fields misread");
    win = field << 20;
  } else {
    win = small_window(field);
    c.chunkdiv = div;
    c.decwin = win;
    c.header = false;
    got = decode(data + 4, size - 4, c);
  }

  const ref_result want = ref_decode(data + 4, size - 4, div, win);
  if (got.finished && !want.capped) {
    check(got.out == want.out, "output differs from the reference");
    check(got.cnt.total_bytes == want.total && got.cnt.chunk_count == want.count, "counters differ from the reference");
    check(got.cnt.total_bytes == got.out.size(), "total_bytes is not the output size");
    check((got.fail != nullptr) == want.truncated, "truncated match code not reported");
  } else {
    const size_t n = std::min(got.out.size(), want.out.size());
    check(std::equal(got.out.begin(), got.out.begin() + n, want.out.begin()), "output differs from the reference");
  }
  return 0;
}

namespace fz {

void seeds(std::vector<bytes>& out) {
  auto stream = [](uint32_t div, uint16_t field, const bytes& records) {
    bytes v;
    v.reserve(header_size + records.size());
    for (uint32_t b : {div & 0xFF, div >> 8, field & 0xFFu, uint32_t(field) >> 8}) v.push_back(uint8_t(b));
    for (uint8_t b : records) v.push_back(b);
    return v;
  };
  auto rep = [](uint8_t b, size_t n) { return bytes(n, b); };
  auto cat = [](std::initializer_list<bytes> parts) {
    bytes v;
    for (const auto& p : parts) v.insert(v.end(), p.begin(), p.end());
    return v;
  };
  const bytes cont = {esc0, esc1, esc2, code_continue}, escape = {esc0, esc1, esc2, code_escape};
  auto match = [](uint32_t d) {
    return bytes{esc0, esc1, esc2, code_match, uint8_t(d), uint8_t(d >> 8), uint8_t(d >> 16), uint8_t(d >> 24)};
  };

  // Hand-made: every record kind with divisor 1 (64-byte chunks).
  const bytes X = rep('X', 64), A = rep('A', 64), B = rep('B', 64), Z = {'A', 'B', 'C'};
  const bytes Y = cat({{esc0, esc1, esc2, code_match}, rep('Y', 60)});
  const bytes records = cat({X, A, B, match(0xC0), cont, escape, Y, Z});
  out.push_back(stream(1, 1, records));
  out.push_back(stream(1, window_field(200), records));
  out.push_back(stream(1, 1, {}));
  out.push_back(stream(7, 1, {esc0, esc1, esc2}));
  out.push_back(stream(7, 1, cat({A, match(64), {1, 2}})));  // cut inside the distance
  out.push_back(stream(1, 1, cat({A, cont})));               // continue before any match
  out.push_back(stream(65535, 1, match(5)));                  // copies 65535 zeros
  out.push_back(stream(1, window_field(100), cat({X, A, match(0x150)})));
  out.push_back({1, 0, 0});
  out.push_back({0, 0, 1, 0, 'a'});
  out.push_back({1, 0, 0, 0x10});

  // Encoder output for data with repeats and code-like chunk starts.
  uint64_t x = 0x2545F4914F6CDD1Dull;
  auto noise = [&](size_t n) {
    bytes v(n);
    for (auto& b : v) {
      x ^= x << 13, x ^= x >> 7, x ^= x << 17;
      b = uint8_t(x >> 24);
    }
    return v;
  };
  const bytes n1 = noise(700), n2 = noise(300);
  const bytes data = cat({n1, n2, n1, Y, n2, n1, Y, Z});
  for (uint32_t div : {1u, 5u, 60u})
    for (uint32_t win : {64u, 1000u, 2048u, 4096u})
      out.push_back(stream(div, window_field(win), encode_records(data, div, win)));
  out.push_back(stream(20, 1, encode_records(data, 20, 1u << 20)));
}

}  // namespace fz
