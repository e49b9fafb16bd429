// Which code runs. The CPU is probed once; DUPCUT_PATH is read once, here
// and nowhere else; the table of SIMD-or-portable routes fills itself on
// its first call. Every route gives the same bytes.
#pragma once

#include "chunking/chunker.h"

namespace dupcut {

// byte: the one-byte-at-a-time reference route (DUPCUT_PATH=scalar);
// span: loops over whole buffer spans with portable code (span);
// simd: the span route with every SIMD variant this CPU has (the default).
enum class path : uint8_t { byte, span, simd };

struct cpu_features {
  bool avx512;       // AVX-512 F and BW, BMI2: the digest lanes
  bool gfni_avx512;  // AVX-512 F and BW, GFNI: the window-hash scans
};
const cpu_features& cpu();

// The path in use: DUPCUT_PATH's, unless one was forced.
path dispatch_path();

// Makes p the path in use from now on and refills the table; for tests and
// benchmarks that compare routes. A codec keeps the route it opened with.
void dispatch_force(path p);

// Fills the route table now, once in the process and safely from any
// thread, so that codecs on several threads never race to fill it.
void dispatch_ready();

struct route_table {
  candidates_fn candidates;
  cut_find_fn cut_find;
  digest_keys_fn digest_keys;
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
