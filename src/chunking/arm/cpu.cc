#include "chunking/kernels.h"

namespace dupcut {

// Advanced SIMD is part of every AArch64 CPU.
uint32_t cpu_probe() { return cpu_neon; }

}  // namespace dupcut
