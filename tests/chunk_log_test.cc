// The decoder's chunk log on hand-made chunk sequences, against a plain
// list of every chunk's first position.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "decoder/chunk_log.h"

using namespace dupcut;

namespace {

struct logged {
  chunk_log g{};
  std::vector<uint64_t> starts;  // every chunk's first position
  uint64_t total = 0;
  logged(uint32_t order, uint32_t window) { EXPECT_TRUE(chunk_log_reset(g, order, window)); }
  ~logged() { chunk_log_free(g); }
  logged(const logged&) = delete;
  void add(uint32_t len) {
    chunk_log_add(g, total);
    starts.push_back(total);
    total += len;
  }
  // What find must answer for pos: the chunk starting there when it is
  // still logged and less than 4 GiB back.
  uint64_t want(uint64_t pos) const {
    const uint64_t first = starts.size() > uint64_t(g.mask) + 1 ? starts.size() - g.mask - 1 : 0;
    const auto it = std::lower_bound(starts.begin() + first, starts.end(), pos);
    if (it == starts.end() || *it != pos || total - pos >= (uint64_t(1) << 32)) return chunk_none;
    return uint64_t(it - starts.begin());
  }
  void check(uint64_t pos) {
    const uint64_t i = chunk_log_find(g, pos, total);
    ASSERT_EQ(i, want(pos)) << "pos " << pos << " of " << total;
    if (i != chunk_none) {
      EXPECT_EQ(chunk_log_len(g, i, total), (i + 1 < starts.size() ? starts[i + 1] : total) - pos);
      EXPECT_EQ(chunk_log_start(g, i, total), pos);
    }
  }
};

// Lengths that vary and reach the largest chunk: the log's 2^17 entries
// hold about 6 GiB of data.
uint32_t len_of(uint64_t i) { return i % 2 ? 65535 : uint32_t(64 + (i * 2654435761u) % 60000); }

// Past 4 GiB of data, with the log wrapped and holding more than 4 GiB:
// every logged start less than 4 GiB back is found, also where its low 32
// bits repeat those of a logged start 4 GiB earlier; starts further back,
// fallen out of the log, or inside a chunk are not.
TEST(ChunkLog, FindsPast4GiB) {
  logged l(17, 1u << 30);
  while (l.total < (uint64_t(13) << 30)) l.add(len_of(l.starts.size()));
  const size_t n = l.starts.size(), size = size_t(1) << 17;
  for (int pass = 0; pass < 2; pass++) {
    for (size_t i = n - size; i < n; i += 97) {
      l.check(l.starts[i]);
      l.check(l.starts[i] + 1);
      l.check(l.starts[i] - (uint64_t(1) << 32));  // the same low 32 bits, 4 GiB back
    }
    // Again by the search alone.
    for (uint64_t k = 0; k < (uint64_t(1) << l.g.dir_order); k++) l.g.dir[k] = 0;
  }
  l.check(l.starts[n - size - 1]);  // just fallen out
  l.check(l.starts[n - size]);      // the oldest still logged, more than 4 GiB back
  // A run of continue codes: each next chunk, by the hint.
  for (size_t i = n - 100; i < n; i++) l.check(l.starts[i]);
  l.check(l.total);  // where no chunk starts yet
}

// The block index is only a hint: entries left by chunks that have fallen
// out (the index covers less than the log) and entries overwritten with
// nonsense change no answer.
TEST(ChunkLog, BlockIndexIsAHint) {
  for (uint32_t window : {4096u, 1u << 20}) {  // blocks shared by far apart chunks, or not
    logged l(14, window);
    while (l.starts.size() < 50000) l.add(l.starts.size() % 3 ? 64 : 3000);
    const size_t n = l.starts.size();
    for (size_t i = n - 16384; i < n; i += 61) l.check(l.starts[i]);
    for (uint64_t k = 0; k < (uint64_t(1) << l.g.dir_order); k++) l.g.dir[k] = uint32_t(k * 7919);
    for (size_t i = n - 16384; i < n; i += 61) {
      l.check(l.starts[i]);
      l.check(l.starts[i] + 64);
    }
  }
}

// A reset empties the log and keeps its memory: nothing of the stream
// before is found, also not through the last answer's hint.
TEST(ChunkLog, ResetForgetsTheStreamBefore) {
  logged l(10, 1u << 20);
  for (int i = 0; i < 3000; i++) l.add(100);
  l.check(l.starts[2990]);
  uint32_t* const mem = l.g.start;
  ASSERT_TRUE(chunk_log_reset(l.g, 8, 1u << 20));
  EXPECT_EQ(l.g.start, mem);
  l.starts.clear();
  l.total = 0;
  for (int i = 0; i < 10; i++) l.add(200);
  for (uint64_t p = 0; p < 2000; p += 100) l.check(p);
}

}  // namespace
