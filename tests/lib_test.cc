// libdupcut's API: its streams are the program's, byte for byte, whatever
// the buffer sizes and wherever the caller's buffers move between calls;
// contexts are independent; every error code comes from the case it names.
#include <gtest/gtest.h>

#include <sys/mman.h>

#include <set>
#include <string>
#include <thread>

#define DUPCUT_STATIC_LINKING_ONLY  // dupcut_keep_no_more, dupcut_input_held
#include "dupcut.h"
#include "util.h"

using namespace tu;

namespace {

struct ctx_free {
  void operator()(dupcut_ctx* c) const { dupcut_free(c); }
};
using ctx_ptr = std::unique_ptr<dupcut_ctx, ctx_free>;

ctx_ptr encoder(uint32_t div, uint32_t table_mib, uint32_t window_mib) {
  dupcut_status st;
  ctx_ptr c(dupcut_encoder_create(div, table_mib, window_mib, &st));
  check(c && st == DUPCUT_DONE, "encoder_create");
  return c;
}

ctx_ptr decoder(uint32_t cap_mib = 0) {
  dupcut_status st;
  ctx_ptr c(dupcut_decoder_create(cap_mib, &st));
  check(c && st == DUPCUT_DONE, "decoder_create");
  return c;
}

// The program's stream for the same numbers, through the codec and pump.
bytes program_stream(const bytes& data, uint32_t div, uint32_t table_mib, uint32_t window_mib) {
  return tu::encode(data, {.chunkdiv = div, .encmem = table_mib << 20, .decwin = window_mib << 20, .route = dispatch_path(), .io = {}}).out;
}

// Feeds a context one call at a time. Every call gets fresh heap blocks of
// exactly its sizes (0: random 1..70000), the input not taken re-offered
// from a new block: a cursor kept across calls reads or writes freed
// memory, which the sanitizers catch.
struct driver {
  driver(dupcut_ctx* c_, const bytes& in_, size_t in_piece_, size_t out_piece_)
      : c(c_), in(in_), in_piece(in_piece_), out_piece(out_piece_) {}
  dupcut_ctx* c;
  const bytes& in;
  size_t in_piece, out_piece;
  rng r{7};
  size_t fed = 0;
  bytes out;
  dupcut_status last = DUPCUT_NEED_INPUT;

  size_t pick(size_t p) { return p ? p : 1 + r.next() % 70000; }

  // One call; returns its status.
  dupcut_status step() {
    const size_t ik = std::min(pick(in_piece), in.size() - fed), ok = pick(out_piece);
    block ib = new_block(ik ? ik : 1), ob = new_block(ok);
    if (ik) std::memcpy(ib.get(), in.data() + fed, ik);
    dupcut_in_buffer ibuf{ib.get(), ik, 0};
    dupcut_out_buffer obuf{ob.get(), ok, 0};
    last = dupcut_code(c, &obuf, &ibuf, fed + ik == in.size());
    if (last > DUPCUT_DONE) {
      EXPECT_TRUE(ibuf.pos || obuf.pos) << "a call without progress: " << dupcut_status_string(last) << " at " << fed << " of " << in.size();
    }
    fed += ibuf.pos;
    out.insert(out.end(), ob.get(), ob.get() + obuf.pos);
    return last;
  }
  dupcut_status all() {
    while (step() > DUPCUT_DONE) {
    }
    return last;
  }
};

bytes run_all(dupcut_ctx* c, const bytes& in, size_t in_piece, size_t out_piece, dupcut_status want = DUPCUT_DONE) {
  driver d{c, in, in_piece, out_piece};
  EXPECT_EQ(d.all(), want) << dupcut_status_string(d.last);
  return d.out;
}

// Repeats near and far, and a block of escape-code lookalikes.
bytes sample(uint64_t seed) {
  const bytes a = noise(48 << 10, seed), b = noise(40 << 10, seed + 1);
  bytes marks;
  for (int i = 0; i < 2000; i++) marks.insert(marks.end(), {0xEF, 0x4D, 0xB6, uint8_t(i % 4)});
  return cat({a, b, marks, a, noise(3000, seed + 2), b, marks, a});
}

TEST(Lib, RoundTripsGiveTheProgramsStreamForEveryBufferSize) {
  const bytes data = sample(1);
  for (path route : {path::byte, path::simd}) {
    dispatch_force(route);
    const bytes stream = program_stream(data, 5, 1, 1);
    for (size_t piece : {size_t(1), size_t(0), size_t(65536)}) {
      SCOPED_TRACE(testing::Message() << "route " << int(route) << " piece " << piece);
      ctx_ptr e = encoder(5, 1, 1), d = decoder();
      EXPECT_EQ(run_all(e.get(), data, piece, piece), stream);
      EXPECT_EQ(run_all(d.get(), stream, piece, piece), data);
      // Input in one piece, output in ones: the codec suspends for output
      // with most of the input unread.
      ASSERT_EQ(dupcut_reset(d.get()), DUPCUT_DONE);
      EXPECT_EQ(run_all(d.get(), stream, 65536, 1), data);
      dupcut_counters n;
      ASSERT_EQ(dupcut_get_counters(e.get(), &n), DUPCUT_DONE);
      EXPECT_EQ(n.in_bytes, data.size());
      EXPECT_EQ(n.out_bytes, stream.size());
      EXPECT_EQ(n.data_bytes, data.size());
      EXPECT_GT(n.chunks, data.size() / 65535);
      EXPECT_GE(n.match_bytes, 2 * (48u << 10));
    }
  }
  dispatch_force(path::simd);
}

TEST(Lib, EmptyInputAndResetReuse) {
  ctx_ptr e = encoder(100, 1, 2), d = decoder(2);
  const bytes empty, header = program_stream(empty, 100, 1, 2);
  EXPECT_EQ(run_all(e.get(), empty, 1, 1), header);
  EXPECT_EQ(run_all(d.get(), header, 1, 1), empty);
  // After a reset the table is empty again: the same data, the same stream.
  const bytes data = sample(3), stream = program_stream(data, 100, 1, 2);
  for (int i = 0; i < 2; i++) {
    ASSERT_EQ(dupcut_reset(e.get()), DUPCUT_DONE);
    ASSERT_EQ(dupcut_reset(d.get()), DUPCUT_DONE);
    EXPECT_EQ(run_all(e.get(), data, 0, 0), stream);
    EXPECT_EQ(run_all(d.get(), stream, 0, 0), data);
  }
  // A reset in mid-stream starts afresh too.
  ASSERT_EQ(dupcut_reset(e.get()), DUPCUT_DONE);
  driver part{e.get(), data, 1000, 1000};
  part.step();
  ASSERT_EQ(dupcut_reset(e.get()), DUPCUT_DONE);
  EXPECT_EQ(run_all(e.get(), data, 0, 0), stream);
}

TEST(Lib, ContextsInterleavedInOneThreadAndOnTwoThreads) {
  const bytes d1 = sample(10), d2 = sample(20);
  const bytes s1 = program_stream(d1, 3, 1, 1), s2 = program_stream(d2, 200, 2, 3);
  {
    ctx_ptr e1 = encoder(3, 1, 1), e2 = encoder(200, 2, 3), x1 = decoder(), x2 = decoder();
    driver a{e1.get(), d1, 0, 0}, b{e2.get(), d2, 0, 0}, c{x1.get(), s1, 0, 0}, d{x2.get(), s2, 0, 0};
    for (bool busy = true; busy;) {
      busy = false;
      for (driver* p : {&a, &b, &c, &d})
        if (p->last > DUPCUT_DONE) busy |= p->step() > DUPCUT_DONE;
    }
    EXPECT_EQ(a.out, s1);
    EXPECT_EQ(b.out, s2);
    EXPECT_EQ(c.out, d1);
    EXPECT_EQ(d.out, d2);
  }
  auto both_ways = [](const bytes& data, const bytes& stream, uint32_t div, uint32_t t, uint32_t w, bool* ok) {
    *ok = true;
    for (uint32_t i = 0; i < 3; i++) {
      // Contexts of one thread, then of two (a thread of their own each).
      ctx_ptr e = encoder(div, t, w), x = decoder();
      *ok &= dupcut_set_option(e.get(), DUPCUT_OPTION_THREADS, 1 + i % 2) == DUPCUT_DONE &&
             dupcut_set_option(x.get(), DUPCUT_OPTION_THREADS, 1 + i % 2) == DUPCUT_DONE;
      *ok &= run_all(e.get(), data, 0, 0) == stream && run_all(x.get(), stream, 0, 0) == data;
    }
  };
  bool ok1 = false, ok2 = false;
  std::thread t1(both_ways, std::cref(d1), std::cref(s1), 3, 1, 1, &ok1);
  std::thread t2(both_ways, std::cref(d2), std::cref(s2), 200, 2, 3, &ok2);
  t1.join();
  t2.join();
  EXPECT_TRUE(ok1);
  EXPECT_TRUE(ok2);
}

// With stable input the decoder reads the caller's buffer in place, across
// waits for output space; a buffer moved while it is held is refused.
TEST(Lib, StableInputIsReadInPlace) {
  const bytes data = sample(2), stream = program_stream(data, 100, 1, 1);
  for (bool move : {false, true}) {
    ctx_ptr d = decoder();
    ASSERT_EQ(dupcut_set_option(d.get(), DUPCUT_OPTION_STABLE_INPUT, 1), DUPCUT_DONE);
    bytes copy = stream, out;
    dupcut_in_buffer in{copy.data(), copy.size(), 0};
    uint8_t ob[1000];
    dupcut_status st;
    int calls = 0;
    do {
      dupcut_out_buffer o{ob, sizeof ob, 0};
      st = dupcut_code(d.get(), &o, &in, 1);
      out.insert(out.end(), ob, ob + o.pos);
      // Past the first 64 KiB, which a decoder copies while it watches the header.
      if (++calls == 150 && move) {
        bytes elsewhere(copy.begin(), copy.end());
        in.src = elsewhere.data();
        EXPECT_EQ(dupcut_code(d.get(), &o, &in, 1), DUPCUT_ERROR_PARAM);
        in.src = copy.data();
      }
    } while (st == DUPCUT_NEED_OUTPUT);
    EXPECT_EQ(st, DUPCUT_DONE);
    EXPECT_TRUE(out == data);
    EXPECT_GT(calls, 150);
  }
}

// A decoder promised the whole stream in place leaves the chunks it reads
// there out of its window. Its output and verdict are the plain decoder's
// (copies from the window's far edge included): one buffer, adjacent pieces of it, pieces in separate blocks (which
// must not pass for one run), pieces 6 GiB apart (too far for its log,
// so some chunks go to the window after all), input kept only for the
// first third (the program's pipes: the kept part is overwritten as soon
// as the decoder lets it go, the rest comes in one reused buffer), and
// damaged streams salvaged, whose unplaceable copies put the held-back
// chunks into the window first.
TEST(Lib, KeptInputGivesThePlainDecodersBytes) {
  const bytes big = [] {
    bytes d;
    for (int i = 0; i < 12; i++) d = cat({d, sample(uint64_t(i % 5)), noise(20000, 50 + uint64_t(i))});
    return d;
  }();
  // Repeats 60 bytes short of the 1 MiB window: each copy reaches bytes
  // it overwrites in the ring.
  const bytes base = noise((1 << 20) - 60, 9);
  const bytes edge = cat({base, bytes(base.begin(), base.begin() + 100000)});
  const bytes streams[] = {program_stream(sample(3), 100, 1, 1), program_stream(big, 1, 1, 1),
                           program_stream(edge, 100, 1, 1)};
  // Address space only: pieces are written at its two ends.
  const size_t far = size_t(6) << 30;
  void* const space = mmap(nullptr, far + (size_t(1) << 30), PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(space, MAP_FAILED);
  enum layout { one, blocks, apart, stopped };
  auto decode = [&](const bytes& stream, uint32_t stable, size_t piece, layout lay, dupcut_status& st) {
    ctx_ptr d = decoder();
    dupcut_set_option(d.get(), DUPCUT_OPTION_PAST_DAMAGE, 1);
    EXPECT_EQ(dupcut_set_option(d.get(), DUPCUT_OPTION_STABLE_INPUT, stable), DUPCUT_DONE);
    std::vector<block> kept;
    bytes out;
    uint8_t ob[7000];
    dupcut_in_buffer in{stream.data(), 0, 0};
    size_t fed = 0;
    bytes head(stream), rest(piece);
    bool keeping = true;
    do {
      // As the program does: no more is kept once the kept part is used up,
      // and the kept memory goes as soon as the decoder lets it go (while
      // it reads from the other buffer).
      if (lay == stopped && keeping && fed >= stream.size() / 3 && in.pos == in.size) {
        dupcut_keep_no_more(d.get());
        keeping = false;
      }
      if (lay == stopped && !keeping && in.src == rest.data() && !dupcut_input_held(d.get()))
        std::fill(head.begin(), head.end(), 0xA5);
      if (in.pos == in.size && fed < stream.size()) {
        const size_t k = std::min(piece, stream.size() - fed);
        if (lay == stopped) {
          uint8_t* p = keeping ? head.data() + fed : rest.data();
          if (!keeping) std::memcpy(p, stream.data() + fed, k);
          in = {p, k, 0};
        } else if (lay == blocks) {
          kept.push_back(new_block(k + 64));  // the gap keeps blocks apart
          std::memcpy(kept.back().get(), stream.data() + fed, k);
          in = {kept.back().get(), k, 0};
        } else if (lay == apart) {
          uint8_t* p = static_cast<uint8_t*>(space) + fed + (fed / piece % 2 ? far : 0);
          std::memcpy(p, stream.data() + fed, k);
          in = {p, k, 0};
        } else {
          in = {stream.data() + fed, k, 0};
        }
        fed += k;
      }
      dupcut_out_buffer o{ob, sizeof ob, 0};
      st = dupcut_code(d.get(), &o, &in, fed == stream.size());
      out.insert(out.end(), ob, ob + o.pos);
    } while (st == DUPCUT_NEED_OUTPUT || st == DUPCUT_NEED_INPUT);
    return out;
  };
  rng r{11};
  for (const bytes& good : streams) {
    for (int damage = 0; damage < 6; damage++) {
      bytes stream = good;
      for (int k = 0; k < damage; k++) stream[4 + r.next() % (stream.size() - 4)] ^= uint8_t(1 + r.next() % 255);
      dupcut_status want, got;
      const bytes plain = decode(stream, 0, stream.size(), one, want);
      for (size_t piece : {stream.size(), size_t(1000), size_t(4093)})
        for (layout lay : {one, blocks, apart, stopped}) {
          EXPECT_TRUE(decode(stream, 2, piece, lay, got) == plain) << damage << " " << piece << " " << lay;
          EXPECT_EQ(got, want);
        }
      if (damage == 0) {
        EXPECT_EQ(want, DUPCUT_DONE);
      }
    }
  }
  munmap(space, far + (size_t(1) << 30));
}

const bytes h1 = {1, 0, 1, 0};  // divisor 1 (chunks of 64 bytes), 1 MiB window

bytes match_code(uint32_t d) {
  return {0xEF, 0x4D, 0xB6, 0x00, uint8_t(d), uint8_t(d >> 8), uint8_t(d >> 16), uint8_t(d >> 24)};
}

TEST(Lib, EveryErrorFromItsCase) {
  dupcut_status st = DUPCUT_DONE;
  for (auto [div, t, w] : {std::tuple{0u, 1u, 1u}, {65536u, 1u, 1u}, {1u, 0u, 1u}, {1u, 4096u, 1u}, {1u, 1u, 0u},
                           {1u, 1u, 4096u}}) {
    EXPECT_EQ(dupcut_encoder_create(div, t, w, &st), nullptr);
    EXPECT_EQ(st, DUPCUT_ERROR_PARAM);
  }
  EXPECT_EQ(dupcut_code(nullptr, nullptr, nullptr, 1), DUPCUT_ERROR_PARAM);
  dupcut_free(nullptr);

  // The cap refuses at the header, even one byte at a time; the cap itself
  // passes.
  const bytes big = {5, 0, 8, 0};
  EXPECT_EQ(run_all(decoder(7).get(), big, 1, 1, DUPCUT_ERROR_WINDOW_TOO_LARGE), bytes{});
  EXPECT_EQ(run_all(decoder(8).get(), big, 1, 1), bytes{});

  const bytes lit = noise(64, 5);  // one whole chunk
  struct bad {
    bytes stream;
    dupcut_status want;
    const char* why;  // the start of dupcut_error_message's sentence
  } cases[] = {
      {{5, 0, 1}, DUPCUT_ERROR_TRUNCATED, "stream too short"},
      {{0, 0, 1, 0}, DUPCUT_ERROR_DAMAGED, "bad stream header: chunk divisor 0"},
      {{5, 0, 0, 16}, DUPCUT_ERROR_DAMAGED, "bad stream header: window size"},
      {cat({h1, match_code(7)}), DUPCUT_ERROR_DAMAGED, "damaged stream: match"},              // before the start of the data
      {cat({h1, lit, match_code(1u << 20)}), DUPCUT_ERROR_DAMAGED, "damaged stream: match"},  // outside the window
      {cat({h1, lit, {0xEF, 0x4D, 0xB6, 0x00, 1, 0}}), DUPCUT_ERROR_TRUNCATED, "stream truncated"},
  };
  for (const bad& b : cases)
    for (size_t piece : {size_t(1), size_t(65536)}) {
      SCOPED_TRACE(testing::Message() << "stream of " << b.stream.size() << " piece " << piece);
      ctx_ptr d = decoder();
      const bytes got = run_all(d.get(), b.stream, piece, piece, b.want);
      EXPECT_EQ(std::string(dupcut_error_message(d.get())).rfind(b.why, 0), 0u) << dupcut_error_message(d.get());
      if (b.stream.size() > 4 && b.want == DUPCUT_ERROR_DAMAGED) {
        // Past the damage, a salvage restores what the codec defines.
        ASSERT_EQ(dupcut_reset(d.get()), DUPCUT_DONE);
        ASSERT_EQ(dupcut_set_option(d.get(), DUPCUT_OPTION_PAST_DAMAGE, 1), DUPCUT_DONE);
        const bytes salvaged = run_all(d.get(), cat({b.stream, lit}), piece, piece, b.want);
        EXPECT_EQ(salvaged, tu::decode(cat({b.stream, lit}), {}).out);
        EXPECT_GT(salvaged.size(), got.size());
        ASSERT_EQ(dupcut_reset(d.get()), DUPCUT_DONE);
        ASSERT_EQ(dupcut_set_option(d.get(), DUPCUT_OPTION_PAST_DAMAGE, 0), DUPCUT_DONE);
        run_all(d.get(), b.stream, piece, piece, b.want);
      }
      // An error is final until a reset.
      dupcut_out_buffer o{nullptr, 0, 0};
      EXPECT_EQ(dupcut_code(d.get(), &o, nullptr, 1), DUPCUT_ERROR_SEQUENCE);
      ASSERT_EQ(dupcut_reset(d.get()), DUPCUT_DONE);
      EXPECT_EQ(run_all(d.get(), cat({h1, lit}), piece, piece), lit);
    }

  // After done, and an end withdrawn.
  ctx_ptr e = encoder(5, 1, 1);
  uint8_t buf[64];
  dupcut_out_buffer o{buf, sizeof buf, 0};
  dupcut_in_buffer i{lit.data(), lit.size(), 0};
  o.size = 8;
  EXPECT_EQ(dupcut_code(e.get(), &o, &i, 0), DUPCUT_NEED_INPUT);
  EXPECT_EQ(o.pos, 4u);  // the header; the data waits for its chunk's end
  EXPECT_EQ(dupcut_code(e.get(), &o, &i, 1), DUPCUT_NEED_OUTPUT);
  o.pos = 0;
  EXPECT_EQ(dupcut_code(e.get(), &o, &i, 0), DUPCUT_ERROR_SEQUENCE);
  EXPECT_EQ(dupcut_set_option(e.get(), DUPCUT_OPTION_PAST_DAMAGE, 1), DUPCUT_ERROR_SEQUENCE);  // mid-stream
  dupcut_reset(e.get());
  EXPECT_EQ(dupcut_set_option(e.get(), dupcut_option(99), 1), DUPCUT_ERROR_PARAM);
  EXPECT_EQ(dupcut_set_option(e.get(), DUPCUT_OPTION_THREADS, 0), DUPCUT_ERROR_PARAM);
  EXPECT_EQ(run_all(e.get(), lit, 0, 0), program_stream(lit, 5, 1, 1));
  o.pos = 0;
  EXPECT_EQ(dupcut_code(e.get(), &o, nullptr, 1), DUPCUT_ERROR_SEQUENCE);
  o = {buf, 4, 4};
  i.pos = 5;
  i.size = 4;  // pos past size
  EXPECT_EQ(dupcut_code(e.get(), &o, &i, 1), DUPCUT_ERROR_PARAM);
}

TEST(Lib, HeaderProbeStringsVersion) {
  dupcut_header_info h;
  const uint8_t hd[] = {0x10, 0x27, 0xFF, 0x0F};
  ASSERT_EQ(dupcut_probe_header(hd, 4, &h), DUPCUT_DONE);
  EXPECT_EQ(h.divisor, 10000u);
  EXPECT_EQ(h.window_mib, 4095u);
  EXPECT_GT(h.decoder_bytes, uint64_t(4095) << 20);
  EXPECT_EQ(dupcut_probe_header(hd, 3, &h), DUPCUT_ERROR_TRUNCATED);
  const uint8_t over[] = {1, 0, 0, 0x10};
  EXPECT_EQ(dupcut_probe_header(over, 4, &h), DUPCUT_ERROR_DAMAGED);
  std::set<std::string> seen;
  for (int s = DUPCUT_ERROR_SEQUENCE; s <= DUPCUT_NEED_OUTPUT; s++) seen.insert(dupcut_status_string(dupcut_status(s)));
  EXPECT_EQ(seen.size(), 9u);
  EXPECT_EQ(dupcut_version_number(), unsigned(DUPCUT_VERSION_NUMBER));
  EXPECT_STREQ(dupcut_version_string(), DUPCUT_VERSION);
}

}  // namespace
