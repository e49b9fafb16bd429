// Writes a deterministic stream of more than 4.5 GiB to standard output
// without holding it: every byte is a function of its offset, so repeats are
// regenerated from their source offsets. The repeats sit where the 32-bit
// position space wraps (0xFFFF0000 data bytes) and at distances of exactly
// the largest window minus one and the largest window.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
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

std::vector<span> layout() {
  struct rep {
    uint64_t start, len;
    kind k;
    uint64_t dist;
  };
  const rep reps[] = {
      {wrap - 5 * MiB, 10 * MiB, copy, 295 * MiB},  // straddles the wrap, source well before it
      {16 * MiB + win - 1, 4 * MiB, copy, win - 1},
      {32 * MiB + win, 4 * MiB, copy, win},
      {wrap + 100 * MiB, 10 * MiB, copy, 105 * MiB},  // source straddles the wrap
      {wrap + 200 * MiB, 10 * MiB, zeros, 0},
      {wrap + 300 * MiB, 3 * MiB, copy, 1 * MiB},
  };
  std::vector<span> out;
  uint64_t at = 0;
  for (const rep& r : reps) {  // sorted by start
    if (r.start > at) out.push_back({at, r.start - at, fresh, 0});
    out.push_back({r.start, r.len, r.k, r.dist});
    at = r.start + r.len;
  }
  out.push_back({at, total - at, fresh, 0});
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

}  // namespace

int main() {
  static uint8_t buf[1 << 20];
  for (uint64_t x = 0; x < total; x += sizeof buf) {
    uint64_t n = std::min<uint64_t>(sizeof buf, total - x);
    fill(x, n, buf);
    if (std::fwrite(buf, 1, n, stdout) != n) return 1;
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}
