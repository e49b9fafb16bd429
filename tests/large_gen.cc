// Writes a deterministic stream of more than 4.5 GiB to standard output
// without holding it: every byte is a function of its offset, so repeats are
// regenerated from their source offsets.
//   wrap (default): repeats where the 32-bit position space wraps
//     (0xFFFF0000 data bytes) and at distances of exactly the largest window
//     minus one and the largest window;
//   blocks: one 256 MiB random block written 18 times;
//   zeros: 320 MiB segments of a 256 MiB zero run (65535-byte chunks, which
//     leave the sweep least margin) and 64 MiB of random data, and the whole
//     pattern again 4 KiB past the position space: a table entry kept alive
//     past 0xFFFF0000 bytes would read 4 KiB back.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <algorithm>
#include <cstring>
#include <vector>

namespace {

constexpr uint64_t MiB = 1 << 20;
constexpr uint64_t wrap = 0xFFFF0000u;
constexpr uint64_t win = 0xFFF00000u;  // 4095 MiB
constexpr uint64_t total = 4700 * MiB;

enum kind { fresh, copy, zeros };
struct span {
  uint64_t start;
  uint64_t len;
  kind k;
  uint64_t dist;  // copy: source is this many bytes back
};

// Mostly zero runs between the repeats: every byte still passes through
// both sides, while the chunk table stays far from full, so the sources of
// the distant repeats are still known when their copies come.
std::vector<span> layout() {
  const span spans[] = {
      {0, 16 * MiB, fresh, 0},
      {16 * MiB, 16 * MiB, fresh, 0},  // source at distance window - 1
      {32 * MiB, 8 * MiB, fresh, 0},
      {40 * MiB, 4 * MiB, fresh, 0},  // source at distance window
      {44 * MiB, wrap - 300 * MiB - 44 * MiB, zeros, 0},
      {wrap - 300 * MiB, 10 * MiB, fresh, 0},
      {wrap - 290 * MiB, 285 * MiB, zeros, 0},
      {wrap - 5 * MiB, 10 * MiB, copy, 295 * MiB},  // straddles the wrap
      {wrap + 5 * MiB, 16 * MiB + win - 1 - (wrap + 5 * MiB), fresh, 0},
      {16 * MiB + win - 1, 16 * MiB, copy, win - 1},
      {32 * MiB + win - 1, 40 * MiB + win - (32 * MiB + win - 1), fresh, 0},
      {40 * MiB + win, 4 * MiB, copy, win},
      {44 * MiB + win, wrap + 100 * MiB - (44 * MiB + win), zeros, 0},
      {wrap + 100 * MiB, 10 * MiB, copy, 105 * MiB},  // source straddles the wrap
      {wrap + 110 * MiB, 40 * MiB, fresh, 0},
      {wrap + 150 * MiB, 150 * MiB, zeros, 0},
      {wrap + 300 * MiB, 3 * MiB, copy, 180 * MiB},
      {wrap + 303 * MiB, total - (wrap + 303 * MiB), zeros, 0},
  };
  std::vector<span> out(std::begin(spans), std::end(spans));
  for (size_t i = 1; i < out.size(); i++)
    if (out[i].start != out[i - 1].start + out[i - 1].len) std::abort();
  if (out.back().start + out.back().len != total) std::abort();
  return out;
}

uint64_t mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

const std::vector<span> spans = layout();

void fill(uint64_t x, uint64_t n, uint8_t* buf) {
  while (n) {
    size_t i = 0;
    while (!(x >= spans[i].start && x < spans[i].start + spans[i].len)) i++;
    const span& sp = spans[i];
    uint64_t take = std::min(n, sp.start + sp.len - x);
    if (sp.k == zeros) {
      std::memset(buf, 0, take);
    } else if (sp.k == copy) {
      fill(x - sp.dist, take, buf);
    } else {
      uint64_t j = 0;
      for (; j < take && ((x + j) & 7); j++) buf[j] = uint8_t(mix((x + j) >> 3) >> (8 * ((x + j) & 7)));
      for (; j + 8 <= take; j += 8) {
        uint64_t w = mix((x + j) >> 3);
        std::memcpy(buf + j, &w, 8);
      }
      for (; j < take; j++) buf[j] = uint8_t(mix((x + j) >> 3) >> (8 * ((x + j) & 7)));
    }
    x += take;
    buf += take;
    n -= take;
  }
}

// Random bytes for offsets r .. r + n of a stream keyed by salt, a word at a time.
void random_at(uint64_t r, uint64_t n, uint64_t salt, uint8_t* buf) {
  uint64_t j = 0;
  for (; j < n && ((r + j) & 7); j++) buf[j] = uint8_t(mix((r + j) >> 3 ^ salt) >> (8 * ((r + j) & 7)));
  for (; j + 8 <= n; j += 8) {
    const uint64_t w = mix((r + j) >> 3 ^ salt);
    std::memcpy(buf + j, &w, 8);
  }
  for (; j < n; j++) buf[j] = uint8_t(mix((r + j) >> 3 ^ salt) >> (8 * ((r + j) & 7)));
}

void fill_blocks(uint64_t x, uint64_t n, uint8_t* buf) {
  constexpr uint64_t blk = 256 * MiB;
  while (n) {
    const uint64_t take = std::min(n, blk - x % blk);
    random_at(x % blk, take, 0, buf);
    x += take, buf += take, n -= take;
  }
}

// Zero runs longer than the sweep's pass, each followed by random data; the
// whole pattern again 4 KiB past the position space.
void fill_zeros(uint64_t x, uint64_t n, uint8_t* buf) {
  constexpr uint64_t seg = 320 * MiB, zero_len = 256 * MiB, period = wrap + 4096;
  while (n) {
    const uint64_t y = x % period, in = y % seg;
    uint64_t take = std::min(n, in < zero_len ? zero_len - in : seg - in);
    take = std::min(take, period - y);
    if (in < zero_len)
      std::memset(buf, 0, take);
    else
      random_at(y, take, uint64_t(1) << 60, buf);
    x += take, buf += take, n -= take;
  }
}

}  // namespace

int main(int argc, char** argv) {
  const char* kind = argc > 1 ? argv[1] : "wrap";
  void (*gen)(uint64_t, uint64_t, uint8_t*) = fill;
  uint64_t size = total;
  if (std::strcmp(kind, "blocks") == 0) {
    gen = fill_blocks;
    size = 18 * 256 * MiB;
  } else if (std::strcmp(kind, "zeros") == 0) {
    gen = fill_zeros;
    size = wrap + 4096 + 768 * MiB;
  } else if (std::strcmp(kind, "wrap") != 0) {
    std::fprintf(stderr, "usage: large_gen [wrap|blocks|zeros]\n");
    return 2;
  }
  static uint8_t buf[1 << 20];
  for (uint64_t x = 0; x < size; x += sizeof buf) {
    uint64_t n = std::min<uint64_t>(sizeof buf, size - x);
    gen(x, n, buf);
    if (std::fwrite(buf, 1, n, stdout) != n) return 1;
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}
