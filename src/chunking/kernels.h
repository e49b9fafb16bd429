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

// The MD5 compression's additive constants, step by step, for the SIMD
// digests (the portable one writes them into its steps).
alignas(64) inline constexpr uint32_t md5_step_add[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

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
