// Kept-input references (span route only): when the caller keeps every
// input byte of a stream in place, chunks read from that input stay out of
// the ring, the log keeps where their bytes lie, and copies of them are
// taken from there, so the ring stays nearly untouched.
//
// One state per stream: off (the ring holds everything), on (chunks of kept
// input are held back), winding down (input is no longer kept: new chunks
// go into the ring, and the state turns off once no held-back chunk is
// within the window's reach). A copy that the log cannot place turns the
// state off at once, after every held-back chunk in reach has been written
// to the ring.
#pragma once

#include <cstdint>

namespace dupcut {

enum class refs_state : uint8_t { off, on, winding_down };

struct kept_refs {
  bool wanted;       // set by the caller: streams whose input is kept use them
  refs_state state;  // for the stream being decoded
  // Where chunk i's bytes lie in kept input, indexed as the chunk log:
  // at_base of its group of 4096 entries plus at[i & mask], or 0 when they
  // were written to the ring.
  uint32_t* at;
  uintptr_t* at_base;
  uint32_t order;  // log2 of at's entries; 0: none
  // The open chunk's bytes held back from the ring: run_len bytes at
  // run_src in kept input, which belong at ring position run_at. run_ok
  // while every byte of the chunk so far is in the run.
  bool run_ok;
  const uint8_t* run_src;
  uint32_t run_len;
  uint32_t run_at;
  uint64_t held_end;  // where the latest chunk held back ends; 0: none
};

// Places for a chunk log of 2^order entries, kept when they fit; false
// (and none held) when they cannot be had, and refs stay off.
bool refs_alloc(kept_refs& r, uint32_t order);
void refs_free(kept_refs& r);

// A new stream: on when wanted and placed, else off.
inline void refs_begin(kept_refs& r) {
  r.state = r.wanted && r.order ? refs_state::on : refs_state::off;
  r.run_ok = r.state == refs_state::on;
  r.run_len = 0;
  r.held_end = 0;
}

// The caller keeps no more input: from the next chunk on, chunks go into
// the ring. Later streams do not use refs either.
inline void refs_stop(kept_refs& r) {
  r.wanted = false;
  if (r.state == refs_state::on) r.state = refs_state::winding_down;
}

inline void refs_off(kept_refs& r) {
  r.state = refs_state::off;
  r.run_ok = false;
  r.run_len = 0;
}

constexpr uint32_t refs_group = 12;  // log2 of the entries sharing an at_base

// Logs where chunk i's bytes lie, in 4 bytes (at null: in the ring); false
// when `at` is more than 2 GiB from the first place logged in its group,
// and null is logged. Once a chunk.
inline bool refs_put(kept_refs& r, uint64_t i, const uint8_t* at) {
  const uint64_t k = i & ((uint64_t(1) << r.order) - 1);
  uintptr_t& base = r.at_base[k >> refs_group];
  if ((k & ((1u << refs_group) - 1)) == 0) base = 0;
  r.at[k] = 0;
  if (!at) return true;
  if (!base) base = (uintptr_t(at) - (uintptr_t(1) << 31)) | 1;
  const uintptr_t off = uintptr_t(at) - base;
  if (off == 0 || off >> 32) return false;
  r.at[k] = uint32_t(off);
  return true;
}

inline const uint8_t* refs_get(const kept_refs& r, uint64_t i) {
  const uint64_t k = i & ((uint64_t(1) << r.order) - 1);
  return r.at[k] ? reinterpret_cast<const uint8_t*>(r.at_base[k >> refs_group] + r.at[k]) : nullptr;
}

}  // namespace dupcut
