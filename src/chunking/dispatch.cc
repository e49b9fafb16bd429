#include "chunking/dispatch.h"

#include <cstdlib>
#include <cstring>

namespace dupcut {

namespace {

cpu_features probe() {
  cpu_features f{};
#if defined(__x86_64__) || defined(__i386__)
  const bool base = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
  f.avx512 = base && __builtin_cpu_supports("bmi2");
  f.gfni_avx512 = base && __builtin_cpu_supports("gfni");
#endif
  return f;
}

path from_env() {
  const char* v = std::getenv("DUPCUT_PATH");
  if (v && std::strcmp(v, "scalar") == 0) return path::byte;
  if (v && std::strcmp(v, "span") == 0) return path::span;
  return path::simd;
}

bool forced = false;
path forced_path;

void fill(path p) {
  const bool simd = p == path::simd;
  routes.candidates = simd && cpu().gfni_avx512 ? chunker_candidates_avx512 : chunker_candidates_scalar;
  routes.cut_find = simd && cpu().gfni_avx512 ? cut_find_avx512 : cut_find_scalar;
  routes.digest_keys = simd && cpu().avx512 ? digest_keys_avx512 : digest_keys_scalar;
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

route_table routes = {candidates_first, cut_find_first, digest_keys_first};

const cpu_features& cpu() {
  static const cpu_features f = probe();
  return f;
}

path dispatch_path() {
  static const path env = from_env();
  return forced ? forced_path : env;
}

void dispatch_ready() {
  static const bool filled = (fill(dispatch_path()), true);
  (void)filled;
}

void dispatch_force(path p) {
  forced = true;
  forced_path = p;
  fill(p);
}

}  // namespace dupcut
