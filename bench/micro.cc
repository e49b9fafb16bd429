// Micro-benchmarks of the codec's hot parts, each in bytes of input per
// second: the chunker with and without the digest, one digest compression,
// the chunk table, the encoder's steps one at a time, and the encode and
// decode loops run from memory. The chunking kernels, each on its own, are
// measured by kernels.cc.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "chunking/chunker.h"
#include "chunking/dispatch.h"
#include "codec/codec.h"
#include "datagen.h"
#include "util.h"

using namespace dupcut;
using dupcut_bench::generate_bytes;

namespace {

constexpr uint32_t default_div = 100;
constexpr uint32_t encmem = 256u << 20;  // the program's defaults
constexpr uint32_t decwin = 1024u << 20;
constexpr size_t loop_input = 32u << 20;

const std::vector<uint8_t>& input(const std::string& kind, size_t size) {
  static std::map<std::pair<std::string, size_t>, std::vector<uint8_t>> cache;
  auto& v = cache[{kind, size}];
  if (v.empty()) v = generate_bytes(kind, size, 1);
  return v;
}

// ---- chunker and digest ----

void BM_chunker_feed(benchmark::State& st) {
  const auto& in = input("versions", 4u << 20);
  auto s = std::make_unique<chunker>();
  chunker_init(*s, default_div);
  for (auto _ : st) {
    for (uint8_t b : in)
      if (chunker_feed(*s, b)) chunk_finish(*s);
    benchmark::DoNotOptimize(s->cur_key);
  }
  st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(in.size()));
}
BENCHMARK(BM_chunker_feed)->Unit(benchmark::kMillisecond);

void BM_chunker_roll(benchmark::State& st) {
  const auto& in = input("versions", 4u << 20);
  auto s = std::make_unique<chunker>();
  chunker_init(*s, default_div);
  for (auto _ : st) {
    for (uint8_t b : in)
      if (chunker_roll(*s, b)) chunk_finish_len(*s);
    benchmark::DoNotOptimize(s->cur_key);
  }
  st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(in.size()));
}
BENCHMARK(BM_chunker_roll)->Unit(benchmark::kMillisecond);

// One compression covers 63 absorbed bytes.
void BM_digest_compress(benchmark::State& st) {
  auto s = std::make_unique<chunker>();
  for (int i = 0; i < 63; i++) s->digest_buf[i] = uint8_t(i * 37);
  for (auto _ : st) {
    digest_compress(*s);
    benchmark::DoNotOptimize(s->digest_buf);
  }
  st.SetBytesProcessed(int64_t(st.iterations()) * 63);
}
BENCHMARK(BM_digest_compress);

// ---- chunk table ----

chunk_key random_key(uint64_t i) {
  dupcut_bench::rng r(i * 0xD1B54A32D192ED03ull);
  chunk_key k;
  uint64_t a = r.next(), b = r.next();
  std::memcpy(k.b, &a, 8);
  std::memcpy(k.b + 8, &b, 6);
  uint32_t len = 64 + uint32_t(b >> 48) % 300;
  k.b[14] = uint8_t(len), k.b[15] = uint8_t(len >> 8);
  return k;
}

// A table of the default size filled to `load` percent with keys 0..n-1,
// kept as a pristine copy so each run starts from the same contents.
struct filled_table {
  chunk_table t{};
  std::vector<table_slot> pristine;
  uint64_t nkeys = 0;
  int load = -1;

  filled_table() { tbl_open(t, encmem / 20, decwin); }
  void prepare(int pct) {
    if (pct != load) {
      tbl_reset(t);
      nkeys = uint64_t(t.cfg_tblsize) * pct / 100;
      for (uint64_t i = 0; i < nkeys; i++) tbl_find_or_add(t, random_key(i), uint32_t(i * 164 % 0xFFFE0000u));
      pristine.assign(t.htbl, t.htbl + t.cfg_tblsize);
      load = pct;
    } else {
      std::copy(pristine.begin(), pristine.end(), t.htbl);
    }
  }
};

filled_table& table_of_load(int pct) {
  static filled_table ft;
  ft.prepare(pct);
  return ft;
}

// Bytes are counted as one mean-length chunk (div 100: 164 bytes) per key.
constexpr int64_t mean_chunk = default_div + 64;

void BM_tbl_find_or_add_miss(benchmark::State& st) {
  filled_table& ft = table_of_load(int(st.range(0)));
  uint64_t i = uint64_t(1) << 40;  // keys never inserted before
  for (auto _ : st) {
    benchmark::DoNotOptimize(tbl_find_or_add(ft.t, random_key(i), uint32_t(i)));
    i++;
  }
  st.SetItemsProcessed(int64_t(st.iterations()));
  st.SetBytesProcessed(int64_t(st.iterations()) * mean_chunk);
}
// A fixed count keeps the table's load from drifting far during a run.
BENCHMARK(BM_tbl_find_or_add_miss)->ArgName("load%")->Arg(10)->Arg(50)->Iterations(1 << 20);

void BM_tbl_find_or_add_hit(benchmark::State& st) {
  filled_table& ft = table_of_load(int(st.range(0)));
  dupcut_bench::rng pick(7);
  uint64_t hits = 0;
  for (auto _ : st) hits += tbl_find_or_add(ft.t, random_key(pick.next() % ft.nkeys), 0);
  st.SetItemsProcessed(int64_t(st.iterations()));
  st.SetBytesProcessed(int64_t(st.iterations()) * mean_chunk);
  st.counters["hit_rate"] = double(hits) / double(st.iterations());
}
BENCHMARK(BM_tbl_find_or_add_hit)->ArgName("load%")->Arg(10)->Arg(50)->Iterations(1 << 20);

// ---- the encoder's steps ----

// The thread's CPU time in microseconds: on a shared machine, wall time
// would count the other programs' turns too.
double thread_us() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) * 1e6 + double(ts.tv_nsec) / 1e3;
}

// The span route's encoder on one thread, step after step, each timed:
// filling a stage from the input, the window-hash candidates and the
// digests (parts any thread runs), the walk (serial, stage after stage, on
// a worker), the table calls with their sweep and the records written to
// an output buffer (both on the codec's thread, in chunk order).
struct step_run {
  static constexpr int steps = 6;
  chunker ck;
  stage sg[2];
  chunk_table tbl;
  uint8_t hit[batch_max];
  uint8_t out[io_buf_size];  // the program's output buffer, written round
  size_t o;
  uint64_t at;  // true position of the next chunk
  double us[steps], t;

  void lap(int k) {
    const double x = thread_us();
    us[k] += x - t;
    t = x;
  }
  void put(const uint8_t* p, uint32_t n) {
    for (uint32_t m; n; p += m, n -= m) {
      m = std::min<uint32_t>(n, uint32_t(io_buf_size - o));
      std::memcpy(out + o, p, m);
      o = (o + m) % io_buf_size;
    }
  }
  void table(const stage& s) {
    for (uint32_t i = 0; i < s.n; i++) {
      if (i % 32 == 0)
        for (uint32_t j = i; j < i + 32 && j < s.n; j++) tbl_prefetch(tbl, s.key[j]);
      hit[i] = tbl_find_or_add(tbl, s.key[i], at) && tbl.found_dist < decwin;
      at += s.len[i];
      tbl_sweep(tbl, s.len[i], at);
    }
  }
  void records(const stage& s) {
    static const uint8_t code[match_code_len] = {esc0, esc1, esc2, code_match};
    for (uint32_t i = 0; i < s.n; i++) {
      if (hit[i]) {
        put(code, match_code_len);
        continue;
      }
      if (needs_escape(s.ptr[i], s.len[i])) put(code, short_code_len);
      put(s.ptr[i], s.len[i]);
    }
    benchmark::DoNotOptimize(out);
  }
  // The stage after prev, from in at off; returns it.
  const stage& one(const std::vector<uint8_t>& in, size_t off, const stage* prev, stage& s) {
    t = thread_us();
    s.fresh = uint32_t(std::min<size_t>(stage_size, in.size() - off));
    s.eof = off + s.fresh == in.size();
    std::memcpy(s.buf + stage_lead, in.data() + off, s.fresh);
    if (prev) std::memcpy(s.buf + stage_lead - 15, prev->buf + stage_lead + stage_size - 15, 15);
    lap(0);
    stage_candidates(ck, s, 0, s.fresh);
    lap(1);
    stage_walk(ck, s, prev);
    lap(2);
    stage_digest(s, 0, s.cut_n);
    lap(3);
    table(s);
    lap(4);
    records(s);
    lap(5);
    return s;
  }
};

void steps_pass(step_run& r, const std::vector<uint8_t>& in, uint32_t div) {
  chunker_init(r.ck, div);
  tbl_reset(r.tbl);
  r.at = 0;
  const stage* prev = nullptr;
  for (size_t off = 0, k = 0; !prev || !prev->eof; off += stage_size, k++) prev = &r.one(in, off, prev, r.sg[k & 1]);
}

// One table for every run, its memory faulted in by a pass over random
// data first: the kernel's zeroing of fresh pages is no step's cost.
step_run* steps_env() {
  static std::unique_ptr<step_run> r;
  if (!r) {
    r = std::make_unique<step_run>();
    if (!tbl_open(r->tbl, encmem / 20, decwin)) return nullptr;
    steps_pass(*r, input("random", loop_input), default_div);
  }
  return r.get();
}

// What each step costs per MiB of input, in microseconds of CPU.
void BM_encode_steps(benchmark::State& st) {
  const std::string& kind = dupcut_bench::kinds()[size_t(st.range(0))];
  const auto& in = input(kind, loop_input);
  step_run* r = steps_env();
  if (!r) {
    st.SkipWithError("no memory for the table");
    return;
  }
  std::fill(r->us, r->us + step_run::steps, 0.0);
  for (auto _ : st) steps_pass(*r, in, uint32_t(st.range(1)));
  st.SetLabel(kind);
  st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(in.size()));
  const double mib = double(st.iterations()) * double(in.size()) / double(1 << 20);
  const char* names[step_run::steps] = {"fill_us", "cand_us", "walk_us", "digest_us", "table_us", "records_us"};
  for (int k = 0; k < step_run::steps; k++) st.counters[names[k]] = r->us[k] / mib;
}
BENCHMARK(BM_encode_steps)
    ->ArgNames({"kind", "div"})
    ->Args({0, 100})
    ->Args({1, 100})
    ->Args({2, 100})
    ->Args({3, 100})
    ->Unit(benchmark::kMillisecond);

// ---- the two loops, driven from memory ----

// A run from memory: the input handed over in place 64 KiB at a time, the
// output kept only when asked for.
void run_codec(codec_state& s, const std::vector<uint8_t>& in, std::vector<uint8_t>* keep) {
  tu::pumped p = tu::pump(s.io, in.data(), in.size(), {.fence = false, .keep = keep != nullptr});
  if (keep) *keep = std::move(p.out);
}

// One encoder and one decoder of records, on the route DUPCUT_PATH picks as
// for the program, their memory kept from run to run.
struct loop_env {
  codec_state enc{}, dec{};
  loop_env() {
    codec_open_encoder(enc, default_div, encmem, decwin, false);
    codec_open_decoder(dec, default_div, decwin);
  }
  codec_state& encoder(uint32_t div) {
    enc.cfg_chunkdiv = div;
    codec_rewind(enc);
    return enc;
  }
  codec_state& decoder(uint32_t div) {
    dec.cfg_chunkdiv = div;
    codec_rewind(dec);
    return dec;
  }
};

loop_env& env() {
  static auto e = std::make_unique<loop_env>();
  return *e;
}

const std::vector<uint8_t>& encoded(const std::string& kind, uint32_t div) {
  static std::map<std::pair<std::string, uint32_t>, std::vector<uint8_t>> cache;
  auto& v = cache[{kind, div}];
  if (v.empty()) {
    run_codec(env().encoder(div), input(kind, loop_input), &v);
  }
  return v;
}

const std::string& kind_arg(int64_t i) { return dupcut_bench::kinds()[size_t(i)]; }

void BM_encode_loop(benchmark::State& st) {
  const std::string& kind = kind_arg(st.range(0));
  const uint32_t div = uint32_t(st.range(1));
  const auto& in = input(kind, loop_input);
  const auto& out = encoded(kind, div);
  st.SetLabel(kind);
  for (auto _ : st) {
    st.PauseTiming();
    codec_state& s = env().encoder(div);
    st.ResumeTiming();
    run_codec(s, in, nullptr);
  }
  st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(in.size()));
  st.counters["out/in"] = double(out.size()) / double(in.size());
}

void BM_decode_loop(benchmark::State& st) {
  const std::string& kind = kind_arg(st.range(0));
  const uint32_t div = uint32_t(st.range(1));
  const auto& in = input(kind, loop_input);
  const auto& enc = encoded(kind, div);
  st.SetLabel(kind);
  {
    std::vector<uint8_t> back;
    run_codec(env().decoder(div), enc, &back);
    if (back != in) {
      st.SkipWithError("decoded data differs from the input");
      return;
    }
  }
  for (auto _ : st) {
    st.PauseTiming();
    codec_state& s = env().decoder(div);
    st.ResumeTiming();
    run_codec(s, enc, nullptr);
  }
  st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(in.size()));
}

// kind index (versions, backup, random, disk), chunk divisor
void loop_args(benchmark::internal::Benchmark* b) {
  b->ArgNames({"kind", "div"});
  for (int64_t div : {100, 1000, 20}) b->Args({0, div});
  for (int64_t kind : {1, 2, 3}) b->Args({kind, 100});
  b->Unit(benchmark::kMillisecond);
}
BENCHMARK(BM_encode_loop)->Apply(loop_args);

// The encode loop with workers: per MiB, the codec thread's own work
// (table calls, records, filling stages) bounds it once they keep up.
void BM_encode_threads(benchmark::State& st) {
  const auto& in = input(kind_arg(st.range(0)), loop_input);
  codec_state& s = env().enc;
  s.threads = uint32_t(st.range(1));
  st.SetLabel(kind_arg(st.range(0)));
  for (auto _ : st) {
    st.PauseTiming();
    env().encoder(default_div);
    st.ResumeTiming();
    run_codec(s, in, nullptr);
  }
  s.threads = 1;
  env().encoder(default_div);
  st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(in.size()));
}
BENCHMARK(BM_encode_threads)
    ->ArgNames({"kind", "threads"})
    ->ArgsProduct({{0, 1, 2, 3}, {1, 2, 4}})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_decode_loop)->Apply(loop_args);

}  // namespace

BENCHMARK_MAIN();
