// Shared by the fuzz targets: the test utility (pump, set-up, checks) and
// the seed hook that the replay program uses.
#pragma once

#include <vector>

#include "util.h"

namespace fz {

using namespace tu;

// Built-in seed inputs of a target (valid streams, parameter blocks); the
// replay program runs them and mutates them into generated inputs.
void seeds(std::vector<bytes>& out);

// The route for a target's flags: span and simd only together with span.
inline path route_of(bool span, bool simd) { return span ? (simd ? path::simd : path::span) : path::byte; }

// Records only (no header): what the encoder writes for `data`.
inline bytes encode_records(const bytes& data, uint32_t div, uint32_t winsize, uint32_t tblsize = 4096) {
  const run r = encode(data, {.chunkdiv = div, .encmem = tblsize * 20, .decwin = winsize, .header = false,
                              .io = {.out_cap = data.size() * 2 + 64}});
  check(r.finished, "seed encoding did not finish");
  return r.out;
}

}  // namespace fz
