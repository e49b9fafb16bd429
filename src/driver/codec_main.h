#pragma once

#include <cstdio>

#include "driver/coroutine.h"

namespace dupcut {

// Where the console lines go: standard output, or standard error when the
// stream itself goes to standard output.
extern std::FILE* console;

// The codec's entry: exchanges the header, sets up window and chunker,
// prints the start-up line and runs the encode or decode loop.
codec_task codec_main(codec_state& s);

}  // namespace dupcut
