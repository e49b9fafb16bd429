// What the shuffle-based window-hash kernels share: their tables and the
// settling of ties. The window hash is an affine function of its 16 bytes,
// so it is h0 (the hash of sixteen zero bytes) XOR one share per window
// byte, and a byte's share is the XOR of its two nibbles' shares.
#pragma once

#include <cstdint>

#include "chunking/kernels.h"

namespace dupcut {

// nib[i][h]: the top hash byte's share of window byte i's (0 the oldest)
// low (h 0) or high (h 1) nibble, the 16 entries repeated in each 128-bit
// lane. cst: the top byte of h0 with its top bit flipped, so that signed
// byte compares order hash bytes as unsigned ones. share[i][v]: the whole
// hash's share of window byte i being v.
struct nibble_tables {
  alignas(64) uint8_t nib[roll_bytes][2][64];
  alignas(64) uint8_t cst[64];
  uint32_t share[roll_bytes][256];
  uint32_t h0;
};

// Built once, on first use.
const nibble_tables& window_nibble_tables();

// Settles ties by the whole hash of each tied window, w + t being the
// window of bit t, from sixteen independent lookups: ties are one position
// in 256, a vector route would pay a whole block's lookups per lower byte,
// and the rolling byte steps a chain of dependent loads. With first_only,
// ties past the first hit stay undecided.
template <bool first_only, class M>
inline M settle_ties(M hit, M tie, const uint8_t* w, uint32_t thr, const nibble_tables& t) {
  for (; tie; tie &= tie - 1) {
    if (first_only && hit && __builtin_ctzll(hit) < __builtin_ctzll(tie)) break;
    const uint8_t* v = w + __builtin_ctzll(tie);
    uint32_t h[4] = {t.h0, 0, 0, 0};
    for (uint32_t i = 0; i < roll_bytes; i++) h[i & 3] ^= t.share[i][v[i]];
    if ((h[0] ^ h[1] ^ h[2] ^ h[3]) < thr) hit |= tie & (0 - tie);
  }
  return hit;
}

}  // namespace dupcut
