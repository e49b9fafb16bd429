#pragma once

#include "driver/coroutine.h"

namespace dupcut {

// Reads the input to its end and writes one record per chunk; finishes
// with request code 0. The header has been written and the chunker set up.
codec_task encode_loop(codec_state& s);

}  // namespace dupcut
