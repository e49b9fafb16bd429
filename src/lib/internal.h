// What the dupcut program takes from a context beyond the C API: the codec
// behind it, whose numbers its console lines show. Not installed.
#pragma once

#include "dupcut.h"

namespace dupcut {

struct codec_state;
codec_state& ctx_codec(dupcut_ctx* c);

}  // namespace dupcut
