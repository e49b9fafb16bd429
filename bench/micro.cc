// Micro-benchmarks of the codec's hot parts, each in bytes of input per
// second: the chunker with and without the digest, one digest compression,
// the chunk table, and the encode and decode loops run from memory. The
// chunking kernels, each on its own, are measured by kernels.cc.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
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
BENCHMARK(BM_decode_loop)->Apply(loop_args);

}  // namespace

BENCHMARK_MAIN();
