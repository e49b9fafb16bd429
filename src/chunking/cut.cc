// Walking a chunk's bytes to its boundary on the span routes: the cut
// kernels (one per instruction set, behind the dispatch) find the first
// boundary among candidate positions; this keeps the window hash's view of
// the bytes before each call's first position.
#include <cstring>

#include "chunking/chunker.h"
#include "chunking/dispatch.h"

namespace dupcut {

bool chunker_cut(chunker& s, uint8_t* buf, uint32_t& fill, const uint8_t*& p, const uint8_t* e) {
  const uint32_t f = fill;
  uint32_t k = uint32_t(e - p) < max_chunk - f ? uint32_t(e - p) : max_chunk - f;
  // Candidate positions, as indices of the chunk's last byte: from the
  // 64th byte on, among the k bytes taken here.
  const uint32_t lo = f > min_chunk - 1 ? f : min_chunk - 1;
  uint32_t j = f + k;
  if (lo < f + k) {
    // Windows of the first 15 new positions reach back into buf.
    const uint32_t near = k < roll_bytes - 1 ? k : roll_bytes - 1;
    std::memcpy(buf + f, p, near);
    j = lo < f + near ? cut_find(s, buf, lo, f + near) : f + near;
    if (j == f + near) {
      const uint32_t from = lo > f + near ? lo : f + near;
      j = f + cut_find(s, p, from - f, k);
    }
  }
  bool end;
  if (j < f + k) {
    k = j + 1 - f;
    end = true;
  } else {
    end = f + k == max_chunk;
    // The windows of the next call's first positions reach back here.
    const uint32_t h = k < roll_bytes - 1 ? k : roll_bytes - 1;
    std::memcpy(buf + f + k - h, p + k - h, h);
  }
  p += k;
  s.byte_count += k;
  fill = f + k;
  s.chunk_len = fill;
  return end;
}

bool chunker_scan(chunker& s, uint8_t* buf, uint32_t& fill, const uint8_t*& p, const uint8_t* e) {
  const uint8_t* const p0 = p;
  const uint32_t f = fill;
  const bool end = chunker_cut(s, buf, fill, p, e);
  std::memcpy(buf + f, p0, fill - f);
  return end;
}

}  // namespace dupcut
