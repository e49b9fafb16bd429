// Which code runs. The CPU is probed once and the environment read once,
// here and nowhere else; the route table fills itself on its first call.
// Every route, kernel and tier gives the same bytes.
#pragma once

#include "chunking/kernels.h"

namespace dupcut {

// byte: the one-byte-at-a-time reference route (DUPCUT_PATH=byte);
// span: loops over whole buffer spans with the portable kernels
// (DUPCUT_PATH=span); simd: the span route with the best kernels this CPU
// has (the default).
enum class path : uint8_t { byte, span, simd };

// The CPU features in use: the probe's, less those DUPCUT_DISABLE_CPU_FEATURES
// names (a comma-separated list of avx2, bmi2, avx512bw, gfni, neon, or
// "all"), so that one machine runs every lower tier.
uint32_t cpu_features();
// Whether this CPU, as limited, runs a kernel needing these features.
inline bool cpu_runs(uint32_t needs) { return (cpu_features() & needs) == needs; }

// The path in use: DUPCUT_PATH's, unless one was forced.
path dispatch_path();

// Makes p the path in use from now on, with at most the CPU features in
// `features`, and refills the table; for tests, fuzz targets and benchmarks
// that compare routes and tiers. A codec keeps the route it opened with.
void dispatch_force(path p, uint32_t features = ~uint32_t(0));

// Fills the route table now, once in the process and safely from any
// thread, so that codecs on several threads never race to fill it.
void dispatch_ready();

struct route_table {
  candidates_fn candidates;
  cut_find_fn cut_find;
  digest_keys_fn digest_keys;
  const char* window_name;  // the kernels' registry names
  const char* digest_name;
};
// Each entry starts as a stand-in that fills the table, then runs.
extern route_table routes;

inline void chunker_candidates(const chunker& s, const uint8_t* d, uint32_t n, uint64_t* bits) {
  routes.candidates(s, d, n, bits);
}
inline uint32_t cut_find(const chunker& s, const uint8_t* q, uint32_t lo, uint32_t hi) {
  return routes.cut_find(s, q, lo, hi);
}
inline void digest_keys(const uint8_t* const* p, const uint32_t* len, chunk_key* out, uint32_t n) {
  routes.digest_keys(p, len, out, n);
}

}  // namespace dupcut
