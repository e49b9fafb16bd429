#include "chunking/dispatch.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

namespace dupcut {

namespace {

// The registry, best first per architecture; the portable kernels last.
constexpr window_kernel window_list[] = {
#if defined(__x86_64__)
    {"avx512-gfni", cpu_avx2 | cpu_avx512bw | cpu_gfni, chunker_candidates_avx512_gfni, cut_find_avx512_gfni},
    {"avx512bw", cpu_avx2 | cpu_avx512bw, chunker_candidates_avx512bw, cut_find_avx512bw},
    {"avx2", cpu_avx2, chunker_candidates_avx2, cut_find_avx2},
#endif
#if defined(__aarch64__)
    {"neon", cpu_neon, chunker_candidates_neon, cut_find_neon},
#endif
    {"portable", 0, chunker_candidates_portable, cut_find_portable},
};
constexpr digest_kernel digest_list[] = {
#if defined(__x86_64__)
    {"avx512", cpu_avx2 | cpu_avx512bw | cpu_bmi2, digest_keys_avx512},
    {"avx2", cpu_avx2, digest_keys_avx2},
#endif
#if defined(__aarch64__)
    {"neon", cpu_neon, digest_keys_neon},
#endif
    {"portable", 0, digest_keys_portable},
};

struct feature_name {
  const char* name;
  uint32_t bit;
};
constexpr feature_name feature_names[] = {
    {"avx2", cpu_avx2}, {"bmi2", cpu_bmi2}, {"avx512bw", cpu_avx512bw}, {"gfni", cpu_gfni}, {"neon", cpu_neon},
};

// DUPCUT_DISABLE_CPU_FEATURES as bits; unknown names are ignored, so that a
// list written for one architecture serves every build.
uint32_t disabled_features() {
  const char* v = std::getenv("DUPCUT_DISABLE_CPU_FEATURES");
  if (!v) return 0;
  uint32_t off = 0;
  std::string_view rest(v);
  while (!rest.empty()) {
    const size_t k = rest.find_first_of(", ");
    const std::string_view word = rest.substr(0, k);
    if (word == "all") off = ~uint32_t(0);
    for (const feature_name& f : feature_names)
      if (word == f.name) off |= f.bit;
    rest = k == std::string_view::npos ? std::string_view() : rest.substr(k + 1);
  }
  return off;
}

path from_env() {
  const char* v = std::getenv("DUPCUT_PATH");
  // "scalar" is the byte route's older name, kept for scripts that use it.
  if (v && (std::strcmp(v, "byte") == 0 || std::strcmp(v, "scalar") == 0)) return path::byte;
  if (v && std::strcmp(v, "span") == 0) return path::span;
  return path::simd;
}

bool forced = false;
path forced_path;
uint32_t feature_limit = ~uint32_t(0);

// The first kernel of a list that the path allows and the CPU runs.
template <class K, size_t N>
const K& pick(const K (&list)[N], path p) {
  if (p == path::simd)
    for (const K& k : list)
      if (cpu_runs(k.needs)) return k;
  return list[N - 1];
}

void fill(path p) {
  const window_kernel& w = pick(window_list, p);
  const digest_kernel& d = pick(digest_list, p);
  routes.candidates = w.candidates;
  routes.cut_find = w.cut_find;
  routes.window_name = w.name;
  routes.digest_keys = d.keys;
  routes.digest_name = d.name;
}

void candidates_first(const chunker& s, const uint8_t* d, uint32_t n, uint64_t* bits) {
  fill(dispatch_path());
  routes.candidates(s, d, n, bits);
}

uint32_t cut_find_first(const chunker& s, const uint8_t* q, uint32_t lo, uint32_t hi) {
  fill(dispatch_path());
  return routes.cut_find(s, q, lo, hi);
}

void digest_keys_first(const uint8_t* const* p, const uint32_t* len, chunk_key* out, uint32_t n) {
  fill(dispatch_path());
  routes.digest_keys(p, len, out, n);
}

}  // namespace

route_table routes = {candidates_first, cut_find_first, digest_keys_first, nullptr, nullptr};

std::span<const window_kernel> window_kernels() { return window_list; }
std::span<const digest_kernel> digest_kernels() { return digest_list; }

uint32_t cpu_features() {
  static const uint32_t f = cpu_probe() & ~disabled_features();
  return f & feature_limit;
}

path dispatch_path() {
  static const path env = from_env();
  return forced ? forced_path : env;
}

void dispatch_ready() {
  static const bool filled = (fill(dispatch_path()), true);
  (void)filled;
}

void dispatch_force(path p, uint32_t features) {
  forced = true;
  forced_path = p;
  feature_limit = features;
  fill(p);
}

}  // namespace dupcut
