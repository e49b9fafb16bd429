#include "chunking/kernels.h"

namespace dupcut {

uint32_t cpu_probe() {
  __builtin_cpu_init();
  uint32_t f = 0;
  // AVX2 and the rest need the OS to save the wide registers; the
  // compiler's probe checks that (XGETBV) along with CPUID.
  if (__builtin_cpu_supports("avx2")) f |= cpu_avx2;
  if (__builtin_cpu_supports("bmi2")) f |= cpu_bmi2;
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw")) f |= cpu_avx512bw;
  if (__builtin_cpu_supports("gfni")) f |= cpu_gfni;
  return f;
}

}  // namespace dupcut
