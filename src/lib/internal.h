// What the dupcut program takes from a context beyond the C API: the codec
// behind it, whose numbers its console lines show, and an end to kept
// input mid-stream. Not installed.
#pragma once

#include "dupcut.h"

namespace dupcut {

struct codec_state;
codec_state& ctx_codec(dupcut_ctx* c);

// For a decoder whose input was kept (DUPCUT_OPTION_STABLE_INPUT 2): the
// input given from now on is not, and the decoder puts the chunks it holds
// back into its window at the end of its next chunk. Until ctx_keeps turns
// false, the kept input must stay.
void ctx_keep_no_more(dupcut_ctx* c);
bool ctx_keeps(const dupcut_ctx* c);

}  // namespace dupcut
