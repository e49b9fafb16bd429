#include "core/threads.h"

#include <sched.h>

#include <cstdlib>

namespace dupcut {

uint32_t threads_default() {
  if (const char* v = std::getenv("DUPCUT_THREADS")) {
    if (v[0] == '1' && v[1] == 0) return 1;
    if (v[0] == '2' && v[1] == 0) return 2;
  }
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  return CPU_COUNT(&set) >= 2 ? 2 : 1;
}

}  // namespace dupcut
