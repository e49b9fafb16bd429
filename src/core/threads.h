// How many threads a codec runs by default; read in this one place.
#pragma once

#include <cstdint>

namespace dupcut {

// 2 when the process may run on two cores or more, else 1; DUPCUT_THREADS
// set to 1 or 2 decides instead. Read at each call, so that a test can
// change it between codecs.
uint32_t threads_default();

}  // namespace dupcut
