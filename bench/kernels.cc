// dupcut_kernels [MIB]: each chunking kernel of the registry that this CPU
// runs, in GB/s of input on one core: the window hash's candidates over
// whole stages, its first-cut search over chunks as the decoder runs it,
// and chunk digests in the encoder's batches (div 100, chunks of about 164
// bytes). Best of five passes over MIB MiB (default 16) of the versions
// input, timed in the thread's CPU time so that other load on a shared
// machine counts less; DUPCUT_DISABLE_CPU_FEATURES limits the kernels as
// for the program.
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "chunking/dispatch.h"
#include "datagen.h"
#include "encoder/encode.h"

using namespace dupcut;

namespace {

double cpu_seconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

template <class F>
double best_gbps(size_t bytes, F&& pass) {
  double best = 0;
  for (int r = 0; r < 5; r++) {
    const double t0 = cpu_seconds();
    pass();
    const double s = cpu_seconds() - t0;
    if (s > 0 && bytes / s / 1e9 > best) best = bytes / s / 1e9;
  }
  return best;
}

struct cuts {
  std::vector<const uint8_t*> ptr;
  std::vector<uint32_t> len;
  std::vector<size_t> batch{0};  // first chunk of each encoder batch, then the end
};

cuts cut_all(chunker& s, const std::vector<uint8_t>& in) {
  cuts c;
  size_t start = 0, stage = 0;
  for (size_t i = 0; i < in.size(); i++)
    if (chunker_roll(s, in[i])) {
      if (i + 1 - stage > stage_size || c.ptr.size() - c.batch.back() == batch_max) c.batch.push_back(c.ptr.size()), stage = start;
      c.ptr.push_back(in.data() + start);
      c.len.push_back(uint32_t(i + 1 - start));
      start = i + 1;
      chunk_finish_len(s);
    }
  c.batch.push_back(c.ptr.size());
  return c;
}

}  // namespace

int main(int argc, char** argv) {
  const size_t mib = argc > 1 ? size_t(std::atoi(argv[1])) : 16;
  const std::vector<uint8_t> in = dupcut_bench::generate_bytes("versions", mib << 20, 1);
  auto s = std::make_unique<chunker>();
  chunker_init(*s, 100);
  const cuts c = cut_all(*s, in);
  uint64_t chunk_bytes = 0;
  for (uint32_t l : c.len) chunk_bytes += l;
  std::vector<uint64_t> bits(stage_size / 64 + 1);
  std::vector<chunk_key> keys(c.ptr.size());
  volatile uint64_t sink = 0;

  std::printf("| kernel | needs | GB/s |\n|---|---|---|\n");
  for (const window_kernel& k : window_kernels()) {
    if (!cpu_runs(k.needs)) continue;
    const double cand = best_gbps(in.size(), [&] {
      for (size_t at = 0; at < in.size(); at += stage_size) {
        const size_t n = in.size() - at < stage_size ? in.size() - at : stage_size;
        k.candidates(*s, in.data() + at, uint32_t(n), bits.data());
        sink = sink + bits[0];
      }
    });
    // As the decoder searches: from each chunk's 64th byte to its end.
    const double cut = best_gbps(chunk_bytes, [&] {
      for (size_t i = 0; i < c.ptr.size(); i++)
        if (c.len[i] >= min_chunk) sink = sink + k.cut_find(*s, c.ptr[i], min_chunk - 1, c.len[i]);
    });
    std::printf("| window candidates %s | %#x | %.2f |\n", k.name, unsigned(k.needs), cand);
    std::printf("| window cut_find %s | %#x | %.2f |\n", k.name, unsigned(k.needs), cut);
  }
  for (const digest_kernel& k : digest_kernels()) {
    if (!cpu_runs(k.needs)) continue;
    const double g = best_gbps(chunk_bytes, [&] {
      for (size_t b = 0; b + 1 < c.batch.size(); b++)
        k.keys(c.ptr.data() + c.batch[b], c.len.data() + c.batch[b], keys.data() + c.batch[b],
               uint32_t(c.batch[b + 1] - c.batch[b]));
      sink = sink + keys[0].b[0];
    });
    std::printf("| digest %s | %#x | %.2f |\n", k.name, unsigned(k.needs), g);
  }
  std::printf("\nfeatures in use %#x of %#x (bits: avx2 1, bmi2 2, avx512bw 4, gfni 8, neon 0x100); %zu chunks, mean %.0f bytes\n",
              unsigned(cpu_features()), unsigned(cpu_probe()), c.ptr.size(), double(chunk_bytes) / double(c.ptr.size()));
  return 0;
}
