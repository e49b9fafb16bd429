// A plain main() for a fuzz target, so that every test run exercises it
// without libFuzzer: the target's built-in seeds, the files kept under
// fuzz/corpus/NAME and fuzz/regress/NAME, then a fixed number of inputs
// mutated from those by a seeded xorshift, the same on every run.
//
//   NAME_replay [-n COUNT] [--write-seeds DIR] [FILE|DIR...]
//
// With paths it replays just those (crash reproducers) and generates only
// when -n is given too. --write-seeds stores the built-in seeds as files, to
// start a libFuzzer corpus from them.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_util.h"

#if defined(__SANITIZE_ADDRESS__)
#define FUZZ_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FUZZ_SANITIZED 1
#endif
#endif
#ifdef FUZZ_SANITIZED
#include <sanitizer/common_interface_defs.h>
#endif

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

namespace fs = std::filesystem;
using fz::bytes;

#ifdef FUZZ_SANITIZED
constexpr long slowdown = 4;  // the same few seconds under the sanitizers
#else
constexpr long slowdown = 1;
#endif

// The input being run, saved when the run dies on it.
const uint8_t* volatile cur_data = nullptr;
volatile size_t cur_size = 0;
const char crash_file[] = "fuzz-" FUZZ_NAME "-crash.bin";

void save_input() {
  if (!cur_data) return;
  int fd = open(crash_file, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return;
  const uint8_t* p = cur_data;
  size_t n = cur_size;
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w <= 0) break;
    p += w;
    n -= size_t(w);
  }
  close(fd);
  const char msg[] = "replay: failing input saved as ";
  (void)!write(2, msg, sizeof msg - 1);
  (void)!write(2, crash_file, sizeof crash_file - 1);
  (void)!write(2, "\n", 1);
}

extern "C" void on_crash(int sig) {
  save_input();
  signal(sig, SIG_DFL);
  raise(sig);
}

void run_one(const bytes& v) {
  // A copy of exactly the input's size, so overreads are caught.
  std::unique_ptr<uint8_t[]> p(new uint8_t[v.size() + !v.size()]);
  if (!v.empty()) std::memcpy(p.get(), v.data(), v.size());
  cur_data = p.get();
  cur_size = v.size();
  LLVMFuzzerTestOneInput(p.get(), v.size());
  cur_data = nullptr;
  cur_size = 0;
}

bool read_file(const fs::path& f, bytes& v) {
  std::ifstream in(f, std::ios::binary);
  if (!in) return false;
  v.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

// Files of a path, a directory's in name order.
std::vector<fs::path> expand(const fs::path& p) {
  std::vector<fs::path> r;
  std::error_code ec;
  if (fs::is_directory(p, ec)) {
    for (const auto& e : fs::directory_iterator(p, ec))
      if (e.is_regular_file()) r.push_back(e.path());
    std::sort(r.begin(), r.end());
  } else {
    r.push_back(p);
  }
  return r;
}

struct xorshift {
  uint64_t x;
  uint64_t next() {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    return x;
  }
  size_t below(size_t n) { return n ? size_t(next() % n) : 0; }
};

bytes mutate(xorshift& r, const std::vector<bytes>& pool) {
  if (r.below(16) == 0) {
    bytes v(r.below(600));
    for (auto& b : v) b = uint8_t(r.next());
    return v;
  }
  bytes v = pool[r.below(pool.size())];
  static const uint8_t marks[] = {0, 1, 2, 3, 0xFF, 0x7F, 0x80, 0xEF, 0x4D, 0xB6};
  for (size_t k = 1 + r.below(8); k > 0; k--) {
    const size_t at = r.below(v.size() + 1);
    switch (r.below(8)) {
      case 0:
        if (at < v.size()) v[at] ^= uint8_t(1u << r.below(8));
        break;
      case 1:
        if (at < v.size()) v[at] = uint8_t(r.next());
        break;
      case 2:
        for (size_t n = 1 + r.below(16); n > 0; n--) v.insert(v.begin() + at, uint8_t(r.next()));
        break;
      case 3:
        v.erase(v.begin() + at, v.begin() + std::min(v.size(), at + 1 + r.below(16)));
        break;
      case 4: {  // repeat a stretch elsewhere: equal chunks for the encoder
        if (v.empty()) break;
        const size_t from = r.below(v.size());
        const size_t len = std::min(v.size() - from, 1 + r.below(512));
        const bytes part(v.begin() + from, v.begin() + from + len);
        v.insert(v.begin() + at, part.begin(), part.end());
        break;
      }
      case 5:
        v.resize(at);
        break;
      case 6: {
        const bytes& o = pool[r.below(pool.size())];
        const size_t from = r.below(o.size() + 1);
        v.insert(v.end(), o.begin() + from, o.end());
        break;
      }
      default:
        if (at < v.size()) v[at] = marks[r.below(sizeof marks)];
        break;
    }
  }
  if (v.size() > 65536) v.resize(65536);
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  long count = -1;
  const char* seed_dir = nullptr;
  std::vector<fs::path> paths;
  for (int i = 1; i < argc; i++) {
    if (std::strcmp(argv[i], "-n") == 0 && i + 1 < argc) {
      count = std::atol(argv[++i]);
    } else if (std::strcmp(argv[i], "--write-seeds") == 0 && i + 1 < argc) {
      seed_dir = argv[++i];
    } else if (argv[i][0] == '-') {
      std::fprintf(stderr, "usage: %s [-n COUNT] [--write-seeds DIR] [FILE|DIR...]\n", argv[0]);
      return 2;
    } else {
      paths.push_back(argv[i]);
    }
  }

  std::vector<bytes> pool;
  fz::seeds(pool);

  if (seed_dir) {
    fs::create_directories(seed_dir);
    for (size_t i = 0; i < pool.size(); i++) {
      std::ofstream o(fs::path(seed_dir) / ("seed-" + std::to_string(i)), std::ios::binary);
      o.write(reinterpret_cast<const char*>(pool[i].data()), std::streamsize(pool[i].size()));
      if (!o) return 1;
    }
    return 0;
  }

  signal(SIGABRT, on_crash);
#ifdef FUZZ_SANITIZED
  // The sanitizer owns SIGSEGV (guard pages) and reports before dying.
  __sanitizer_set_death_callback(save_input);
#else
  signal(SIGSEGV, on_crash);
  signal(SIGBUS, on_crash);
#endif

  const bool given = !paths.empty();
  const size_t seeds = given ? 0 : pool.size();
  if (given) {
    pool.clear();
  } else {
    for (const bytes& v : pool) run_one(v);
    paths.push_back(fs::path(FUZZ_DIR) / "corpus" / FUZZ_NAME);
    paths.push_back(fs::path(FUZZ_DIR) / "regress" / FUZZ_NAME);
    if (count < 0) count = FUZZ_RUNS / slowdown;
  }
  size_t files = 0;
  for (const fs::path& p : paths) {
    std::error_code ec;
    if (!fs::exists(p, ec)) {
      if (!given) continue;  // the kept corpus directories are optional
      std::fprintf(stderr, "replay: no such file '%s'\n", p.c_str());
      return 2;
    }
    for (const fs::path& f : expand(p)) {
      bytes v;
      if (!read_file(f, v)) {
        std::fprintf(stderr, "replay: cannot read '%s'\n", f.c_str());
        return 2;
      }
      run_one(v);
      pool.push_back(std::move(v));
      files++;
    }
  }

  long generated = 0;
  if (count > 0 && !pool.empty()) {
    xorshift r{0x9E3779B97F4A7C15ull};
    for (; generated < count; generated++) run_one(mutate(r, pool));
  }
  std::printf("%s: %zu seeds, %zu files, %ld generated inputs, no failure\n", FUZZ_NAME, seeds, files, generated);
  return 0;
}
