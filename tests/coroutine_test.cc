// The request-code protocol between driver and codec, exercised with small
// codecs written for the purpose, and the driver's number and statistics
// formatting.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "driver/driver.h"
#include "util.h"

using namespace tu;

// Counts global operator new so a run can show its frames never hit the heap.
// GCC takes the malloc/free pair below for a mismatch once it inlines them.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
static size_t heap_news = 0;
void* operator new(size_t n) {
  heap_news++;
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace {

// ---- test codecs; globals let the tests look inside them ----

long step;  // what the running codec has done so far
std::vector<int> got;
std::vector<std::pair<long, int>> refills;  // (bytes delivered, in_eof) per refill seen

codec_task copier(codec_io& s) {
  for (int b; (b = co_await get_byte{s}) >= 0;) co_await put_byte{s, uint8_t(b)};
  co_await codec_yield{s, 0};
}

codec_task nested(codec_io& s) { co_await copier(s); }

codec_task past_end(codec_io& s) {
  got.clear();
  for (step = 0; step < 5; step++) got.push_back(co_await get_byte{s});
  co_await codec_yield{s, 0};
}

codec_task fill_one_buffer(codec_io& s) {
  for (long i = 0; i < 65536; i++) {
    step = i + 1;
    co_await put_byte{s, uint8_t(i)};
  }
  step = -1;
  co_await codec_yield{s, 0};
}

// Keeps its running state in locals across input and output suspensions.
codec_task summer(codec_io& s) {
  uint64_t sum = 0, n = 0;
  for (int b; (b = co_await get_byte{s}) >= 0; n++) sum = sum * 31 + uint64_t(b);
  for (uint32_t i = 0; i < 70000; i++) co_await put_byte{s, uint8_t(i * 7)};
  for (uint64_t v : {sum, n})
    for (int k = 0; k < 8; k++) co_await put_byte{s, uint8_t(v >> (8 * k))};
  co_await codec_yield{s, 0};
}

codec_task refill_log(codec_io& s) {
  refills.clear();
  for (;;) {
    int b = co_await get_byte{s};
    if (b < 0 || s.in_cur == s.in_start + 1) refills.push_back({long(s.in_end - s.in_start), int(s.in_eof)});
    if (b < 0) break;
  }
  co_await codec_yield{s, 0};
}

// Suspends once, then simply returns.
codec_task returns_early(codec_io& s) {
  co_await put_byte{s, uint8_t(co_await get_byte{s})};
  co_await put_byte{s, 'o'};
  co_await put_byte{s, 'k'};
}

// ---- drivers ----

using toy = codec_task (*)(codec_io&);

// The shared pump, `piece` input bytes per refill, with every request
// logged with the codec's step at that moment.
struct mini_run {
  bytes out;
  std::vector<std::pair<int, long>> events;
  long final_fill;  // bytes left for the closing write
};

std::vector<std::pair<int, long>> events;

mini_run run_mini(toy e, const bytes& in, size_t piece = io_buf_size) {
  auto io = std::make_unique<codec_io>();
  codec_start(*io, e(*io));
  events.clear();
  pumped p = pump(*io, in.data(), in.size(),
                  {.in_piece = piece, .on_request = [](int32_t r) { events.push_back({r, step}); }});
  codec_release(*io);
  return {p.out, events, long(p.last_fill)};
}

using ev = std::vector<std::pair<int, long>>;

TEST(Pump, CopiesAcrossBufferBoundaries) {
  for (size_t n : {0, 1, 65535, 65536, 65537, 200000}) {
    SCOPED_TRACE(n);
    bytes in = noise(n, n);
    for (toy e : {copier, nested}) EXPECT_EQ(run_mini(e, in).out, in);
  }
}

TEST(Coroutine, FramesComeFromTheArenaNeverTheHeap) {
  for (toy e : {copier, nested}) {
    auto io = std::make_unique<codec_io>();
    uint8_t in[3] = {1, 2, 3}, out[8];
    io->in_cur = io->in_start = in;
    io->in_end = in + 3;
    io->out_cur = io->out_start = out;
    io->out_end = out + sizeof out;
    const size_t before = heap_news;
    codec_start(*io, e(*io));
    while (codec_resume(*io) == 1) io->in_eof = 1;
    EXPECT_EQ(heap_news - before, 0u);
    EXPECT_EQ(io->out_cur - out, 3);
    codec_release(*io);
  }
}

TEST(Pump, RefillsOfAnExactBuffer) {
  using log = std::vector<std::pair<long, int>>;
  const std::pair<size_t, log> cases[] = {
      {0, {{0, 1}}},
      {65536, {{65536, 0}, {0, 1}}},
      {65537, {{65536, 0}, {1, 0}, {0, 1}}},
  };
  for (const auto& [n, want] : cases) {
    run_mini(refill_log, noise(n, 3));
    EXPECT_EQ(refills, want) << n;
  }
}

TEST(Coroutine, FirstResumeStartsTheCodecAndEachReadPastTheEndSuspendsOnce) {
  step = -99;
  mini_run m = run_mini(past_end, {7, 8});
  EXPECT_EQ(got, (std::vector<int>{7, 8, -1, -1, -1}));
  // Reads 0 (empty buffer at start), 2, 3 and 4 suspend; then the codec ends.
  EXPECT_EQ(m.events, (ev{{1, 0}, {1, 2}, {1, 3}, {1, 4}, {0, 5}}));
}

TEST(Coroutine, TheLastByteOfAFullBufferSuspendsAtOnce) {
  mini_run m = run_mini(fill_one_buffer, {});
  EXPECT_EQ(m.events, (ev{{2, 65536}, {0, -1}}));
  EXPECT_EQ(m.final_fill, 0);
  ASSERT_EQ(m.out.size(), 65536u);
  EXPECT_EQ(m.out[65535], 0xFF);
}

TEST(Coroutine, LocalsSurviveSuspensions) {
  bytes in = noise(150001, 9);
  uint64_t sum = 0;
  for (uint8_t b : in) sum = sum * 31 + b;
  bytes want;
  for (uint32_t i = 0; i < 70000; i++) want.push_back(uint8_t(i * 7));
  for (uint64_t v : {sum, uint64_t(in.size())})
    for (int k = 0; k < 8; k++) want.push_back(uint8_t(v >> (8 * k)));
  for (size_t piece : {1, 7, 65536}) EXPECT_EQ(run_mini(summer, in, piece).out, want) << piece;
}

TEST(Coroutine, AnEntryThatReturnsEndsTheRun) {
  mini_run m = run_mini(returns_early, {1, 2, 3});
  ASSERT_EQ(m.events.size(), 2u);
  EXPECT_EQ(m.events[1].first, 0);
  EXPECT_EQ(m.out, (bytes{1, 'o', 'k'}));
}

TEST(Stats, Format) {
  struct {
    uint64_t s, n;
    const char* want;
  } cases[] = {
      {1000, 7, "sum=1000 x=7 avglen=142.8\n"},
      {0, 1, "sum=0 x=1 avglen=0.0\n"},
      // 10 * S wraps modulo 2^64 before the division.
      {(1ull << 62) + 1, 3, "sum=1 x=3 avglen=-143165576.-2\n"},
      // Printed values are the low 32 bits, read as signed.
      {7294967296ull, 4294967298ull, "sum=-1294967296 x=2 avglen=1.6\n"},
      {300000000, 1, "sum=300000000 x=1 avglen=-129496729.-6\n"},
  };
  for (const auto& c : cases) {
    char buf[128];
    format_stats(buf, sizeof buf, c.s, c.n);
    EXPECT_STREQ(buf, c.want);
  }
}

}  // namespace
