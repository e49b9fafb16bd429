// Deterministic synthetic inputs for the benchmarks: the same kind, size and
// seed always give the same bytes, so every figure can be reproduced.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace dupcut_bench {

// splitmix64: one add and two multiplies per 8 bytes, good enough statistics
// for test data and far faster than anything we measure.
struct rng {
  uint64_t s;
  explicit rng(uint64_t seed) : s(seed) {}
  uint64_t next() {
    uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [0, n), n < 2^32.
  uint32_t below(uint32_t n) { return uint32_t(((next() >> 32) * n) >> 32); }
  // Uniform in [lo, hi].
  uint32_t range(uint32_t lo, uint32_t hi) { return lo + below(hi - lo + 1); }
  // Roughly log-uniform in [lo, hi]: many small values, some large ones.
  uint32_t logrange(uint32_t lo, uint32_t hi);
  bool chance(double p) { return double(next() >> 11) * 0x1p-53 < p; }
  void fill(uint8_t* p, size_t n);
};

// Receives consecutive pieces of the output.
using sink_fn = std::function<void(const uint8_t*, size_t)>;

// versions, backup, random, disk.
const std::vector<std::string>& kinds();

// Writes exactly `size` bytes of `kind` to `out`; false for an unknown kind.
bool generate(const std::string& kind, uint64_t size, uint64_t seed, const sink_fn& out);

// The same, collected in memory.
std::vector<uint8_t> generate_bytes(const std::string& kind, uint64_t size, uint64_t seed);

}  // namespace dupcut_bench
