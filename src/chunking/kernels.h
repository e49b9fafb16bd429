// The chunking kernels and their registry. Each kernel has a portable
// version and one per instruction set, all with the same signature; the
// registry lists them best first, each with the CPU features it needs, and
// dispatch.cc alone decides which runs. A new instruction set is one file
// and one line in the registry.
#pragma once

#include <cstdint>
#include <span>

#include "chunking/chunker.h"

namespace dupcut {

// CPU features a kernel may need, as bits. Probed once per architecture
// (x86/cpu.cc, arm/cpu.cc); DUPCUT_DISABLE_CPU_FEATURES turns them off.
enum : uint32_t {
  cpu_avx2 = 1u << 0,
  cpu_bmi2 = 1u << 1,
  cpu_avx512bw = 1u << 2,  // with AVX-512 F
  cpu_gfni = 1u << 3,
  cpu_neon = 1u << 8,
};
// The features this CPU has, before any are turned off.
uint32_t cpu_probe();

// Bit j of bits is set when the CRC of d[j-15..j] is below roll_threshold
// (for 15 <= j < n); the other bits of the (n + 63) / 64 words are cleared.
using candidates_fn = void (*)(const chunker&, const uint8_t*, uint32_t, uint64_t*);
// The first j in [lo, hi) whose window q[j-15..j] hashes below
// roll_threshold, or hi; needs lo >= 15 and reads q[lo-15..hi-1] only.
using cut_find_fn = uint32_t (*)(const chunker&, const uint8_t*, uint32_t, uint32_t);
// Keys of n whole chunks (chunk i: len[i] bytes at p[i]), the same as
// feeding and closing each; reads nothing outside the chunks.
using digest_keys_fn = void (*)(const uint8_t* const*, const uint32_t*, chunk_key*, uint32_t);

struct window_kernel {
  const char* name;
  uint32_t needs;  // cpu_* bits
  candidates_fn candidates;
  cut_find_fn cut_find;
};
struct digest_kernel {
  const char* name;
  uint32_t needs;
  digest_keys_fn keys;
};

// Best first; the last entry is the portable kernel, which needs nothing.
std::span<const window_kernel> window_kernels();
std::span<const digest_kernel> digest_kernels();

// The window hash of 16 bytes (oldest first) computed afresh: the
// SIMD kernels build their tables from it.
uint32_t window_hash16(const uint8_t* w);

void chunker_candidates_portable(const chunker& s, const uint8_t* d, uint32_t n, uint64_t* bits);
uint32_t cut_find_portable(const chunker& s, const uint8_t* q, uint32_t lo, uint32_t hi);
void digest_keys_portable(const uint8_t* const* p, const uint32_t* len, chunk_key* out, uint32_t n);

#if defined(__x86_64__)
void chunker_candidates_avx512_gfni(const chunker& s, const uint8_t* d, uint32_t n, uint64_t* bits);
uint32_t cut_find_avx512_gfni(const chunker& s, const uint8_t* q, uint32_t lo, uint32_t hi);
void chunker_candidates_avx512bw(const chunker& s, const uint8_t* d, uint32_t n, uint64_t* bits);
uint32_t cut_find_avx512bw(const chunker& s, const uint8_t* q, uint32_t lo, uint32_t hi);
void chunker_candidates_avx2(const chunker& s, const uint8_t* d, uint32_t n, uint64_t* bits);
uint32_t cut_find_avx2(const chunker& s, const uint8_t* q, uint32_t lo, uint32_t hi);
void digest_keys_avx512(const uint8_t* const* p, const uint32_t* len, chunk_key* out, uint32_t n);
void digest_keys_avx2(const uint8_t* const* p, const uint32_t* len, chunk_key* out, uint32_t n);
#endif
#if defined(__aarch64__)
void chunker_candidates_neon(const chunker& s, const uint8_t* d, uint32_t n, uint64_t* bits);
uint32_t cut_find_neon(const chunker& s, const uint8_t* q, uint32_t lo, uint32_t hi);
void digest_keys_neon(const uint8_t* const* p, const uint32_t* len, chunk_key* out, uint32_t n);
#endif

}  // namespace dupcut
