// The library's streaming call against the codec it wraps. The first four
// input bytes choose the direction, the piece sizes of each call (changing
// from call to call, every buffer a fresh heap block so that a pointer kept
// across calls is caught; with stable input a block stays until the call
// asks for more, or to the end with kept input, or, as the program does
// with pipes, kept only up to a point and freed once the decoder lets it
// go), a window cap, the salvage option and the thread count; the rest is
// a stream to decode or data to encode. Decoding must give the codec's
// output, cut at the first damage unless salvaging, with the status its
// verdict implies; encoding must give the codec's stream.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "dupcut.h"
#include "fuzz_util.h"

namespace fz {
namespace {

constexpr size_t ctl_bytes = 4;
constexpr size_t out_cap = size_t(2) << 20;
constexpr uint8_t flag_encode = 1, flag_salvage = 2, flag_reset = 4, flag_stable = 8, flag_kept = 16,
                  flag_stop = 32;

struct ctx_free {
  void operator()(dupcut_ctx* c) const { dupcut_free(c); }
};
using ctx_ptr = std::unique_ptr<dupcut_ctx, ctx_free>;

// Runs c over in; piece sizes step through a xorshift from seed. Stops
// once the output passes out_cap.
struct api_run {
  bytes out;
  dupcut_status st;
  bool capped;
};

// With kept input, no more is kept from stop_at on (at the first request
// for input there).
api_run drive(dupcut_ctx* c, const bytes& in, uint32_t seed, bool stable, bool kept = false,
              size_t stop_at = ~size_t(0)) {
  api_run r{{}, DUPCUT_DONE, false};
  uint32_t x = seed | 1;
  auto next_piece = [&] {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    const uint32_t k = x % 8;
    return k < 5 ? size_t(1) + (x >> 8) % 97 : size_t(1) << (10 + k);
  };
  size_t fed = 0;    // input bytes before the current block
  bool end = false;  // once said, the rest of the input goes with every call
  block ib;
  std::vector<block> given;  // kept input: every block until the end
  bool ib_kept = false, stopped = false;
  dupcut_in_buffer i{nullptr, 0, 0};
  bool refill = true;
  for (int guard = 0;; guard++) {
    check(guard < (1 << 22), "the call keeps returning without progress");
    // Stable input stays in its block until the call asks for more;
    // otherwise what is left moves to a fresh block every call.
    if (refill || !stable) {
      fed += i.pos;
      const size_t ik = end ? in.size() - fed : std::min(next_piece(), in.size() - fed);
      end = fed + ik == in.size();
      if (ib_kept) given.push_back(std::move(ib));
      if (kept && !stopped && fed >= stop_at) {
        dupcut_keep_no_more(c);
        stopped = true;
      }
      ib_kept = kept && !stopped;
      ib = new_block(ik + 1);
      if (ik) std::memcpy(ib.get(), in.data() + fed, ik);
      i = {ib.get(), ik, 0};
    }
    const size_t ok = next_piece();
    block ob = new_block(ok);
    dupcut_out_buffer o{ob.get(), ok, 0};
    r.st = dupcut_code(c, &o, &i, end);
    check(i.pos <= i.size && o.pos <= ok, "positions past the buffers");
    r.out.insert(r.out.end(), ob.get(), ob.get() + o.pos);
    if (stopped && !ib_kept && !dupcut_input_held(c)) given.clear();
    if (r.out.size() > out_cap) {
      r.capped = true;
      return r;
    }
    if (r.st == DUPCUT_NEED_INPUT) check(i.pos == i.size, "needs input with input left");
    if (r.st == DUPCUT_NEED_OUTPUT) check(o.pos == ok, "needs output with room left");
    if (r.st != DUPCUT_NEED_INPUT && r.st != DUPCUT_NEED_OUTPUT) return r;
    refill = r.st == DUPCUT_NEED_INPUT;
  }
}

bool starts_with(const bytes& whole, const bytes& part) {
  return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

}  // namespace
}  // namespace fz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  using namespace fz;
  if (size < ctl_bytes) return 0;
  const uint8_t flags = input[0];
  const uint32_t seed = input[1] | input[2] << 8;
  const uint32_t cap_mib = 1 + input[3] % 4;  // windows above it are refused before allocation
  const uint32_t threads = 1 + (flags >> 6);   // the top two bits: 1 to 4
  const bytes rest(input + ctl_bytes, input + size);
  dupcut_status st;

  if (flags & flag_encode) {
    const uint32_t div = 1 + input[3];
    ctx_ptr c(dupcut_encoder_create(div, 1, 1, &st));
    check(c && st == DUPCUT_DONE, "encoder refused");
    check(dupcut_set_option(c.get(), DUPCUT_OPTION_THREADS, threads) == DUPCUT_DONE, "option");
    for (int round = 0; round < (flags & flag_reset ? 2 : 1); round++) {
      const api_run a = drive(c.get(), rest, seed + round, flags & flag_stable);
      const run want = encode(rest, {.chunkdiv = div, .encmem = 1 << 20, .decwin = 1 << 20, .io = {}});
      check(!a.capped && a.st == DUPCUT_DONE, "encoding did not finish");
      check(a.out == want.out, "the library's stream differs from the codec's");
      dupcut_counters n;
      check(dupcut_get_counters(c.get(), &n) == DUPCUT_DONE && n.data_bytes == rest.size() &&
                n.out_bytes == a.out.size() && n.in_bytes == rest.size(),
            "encoder counters");
      check(dupcut_reset(c.get()) == DUPCUT_DONE, "reset");
    }
    return 0;
  }

  ctx_ptr c(dupcut_decoder_create(cap_mib, &st));
  check(c && st == DUPCUT_DONE, "decoder refused");
  check(dupcut_set_option(c.get(), DUPCUT_OPTION_THREADS, threads) == DUPCUT_DONE, "option");
  if (flags & flag_salvage) check(dupcut_set_option(c.get(), DUPCUT_OPTION_PAST_DAMAGE, 1) == DUPCUT_DONE, "option");
  const bool kept = flags & flag_kept, stable = kept || (flags & flag_stable);
  if (stable) check(dupcut_set_option(c.get(), DUPCUT_OPTION_STABLE_INPUT, kept ? 2 : 1) == DUPCUT_DONE, "option");
  const size_t stop_at = flags & flag_stop ? size_t(seed) * 64 : ~size_t(0);
  const api_run a = drive(c.get(), rest, seed, stable, kept, stop_at);
  const uint32_t win_mib = rest.size() >= 4 ? rest[2] | rest[3] << 8 : 0;
  const bool big = win_mib > cap_mib && win_mib <= 4095 && (rest[0] | rest[1]) != 0;
  if (big) {
    check(a.st == DUPCUT_ERROR_WINDOW_TOO_LARGE && a.out.empty(), "window above the cap accepted");
    return 0;
  }
  const run want = decode(rest, {.io = {.out_cap = out_cap}});
  if (a.capped || !want.finished) {
    check(starts_with(a.out, want.out) || starts_with(want.out, a.out), "outputs part");
    return 0;
  }
  const bool damaged = want.damage != nullptr;
  if (want.fail) {
    check(a.st == DUPCUT_ERROR_TRUNCATED || a.st == DUPCUT_ERROR_DAMAGED, "a failure not reported");
  } else if (damaged) {
    check(a.st == DUPCUT_ERROR_DAMAGED, "damage not reported");
  } else {
    check(a.st == DUPCUT_DONE, dupcut_error_message(c.get()));
  }
  check((*dupcut_error_message(c.get()) == '\0') == (a.st == DUPCUT_DONE), "an error's sentence");
  if ((flags & flag_salvage) || !damaged)
    check(a.out == want.out, "the library's output differs from the codec's");
  else
    check(starts_with(want.out, a.out), "output before the damage differs");
  // An error is final.
  if (a.st < 0) {
    dupcut_out_buffer o{nullptr, 0, 0};
    check(dupcut_code(c.get(), &o, nullptr, 1) == DUPCUT_ERROR_SEQUENCE, "a call after an error");
  }
  return 0;
}

namespace fz {

void seeds(std::vector<bytes>& out) {
  const bytes lit = noise(300, 4);
  const bytes h1 = {100, 0, 1, 0};
  auto with = [](uint8_t flags, uint16_t seed, uint8_t c3, const bytes& b) {
    return cat({{flags, uint8_t(seed), uint8_t(seed >> 8), c3}, b});
  };
  const bytes data = cat({lit, lit, noise(5000, 5), lit, bytes(70000, 'z')});
  out.push_back(with(flag_encode, 7, 0, data));
  out.push_back(with(flag_encode | flag_reset, 99, 99, data));
  out.push_back(with(flag_encode | flag_reset | 0xC0, 5, 0, cat({data, noise(1 << 20, 6), data})));
  const bytes stream = encode(data, {.chunkdiv = 100, .encmem = 20 << 20, .decwin = 1 << 20, .io = {}}).out;
  out.push_back(with(0, 3, 0, stream));
  out.push_back(with(flag_stable, 3, 0, stream));
  out.push_back(with(flag_stable | flag_salvage, 9, 0, cat({stream, {esc0, esc1, esc2, code_match, 0, 0, 0x10, 0}, lit})));
  out.push_back(with(flag_kept, 4, 0, stream));
  out.push_back(with(flag_kept | 0x40, 4, 0, stream));
  out.push_back(with(flag_kept | flag_salvage, 9, 0, cat({stream, {esc0, esc1, esc2, code_match, 0, 0, 0x10, 0}, lit})));
  out.push_back(with(flag_kept | flag_stop, 300, 0, stream));
  out.push_back(with(0, 5, 0, cat({stream, {esc0, esc1, esc2, code_match, 0, 0, 0x10, 0}, lit})));
  out.push_back(with(flag_salvage, 5, 0, cat({stream, {esc0, esc1, esc2, code_match, 0, 0, 0x10, 0}, lit})));
  out.push_back(with(0, 1, 0, {100, 0, 0xFF, 0x0F}));
  out.push_back(with(0, 1, 0, cat({h1, lit, {esc0, esc1, esc2, code_match, 1}})));
}

}  // namespace fz
