// dupcut_gen KIND SIZE_MIB [SEED]: writes SIZE_MIB MiB of a synthetic input
// to standard output, the same bytes for the same arguments on any machine.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "datagen.h"

int main(int argc, char** argv) {
  auto usage = [] {
    std::fputs("usage: dupcut_gen KIND SIZE_MIB [SEED]\n  KIND:", stderr);
    for (const auto& k : dupcut_bench::kinds()) std::fprintf(stderr, " %s", k.c_str());
    std::fputc('\n', stderr);
    return 2;
  };
  if (argc < 3 || argc > 4) return usage();
  char* end;
  double mib = std::strtod(argv[2], &end);
  if (*end || !(mib >= 0)) return usage();
  uint64_t seed = argc == 4 ? std::strtoull(argv[3], nullptr, 0) : 1;

  bool write_failed = false;
  bool known = dupcut_bench::generate(argv[1], uint64_t(mib * 1048576.0), seed, [&](const uint8_t* p, size_t n) {
    if (!write_failed && std::fwrite(p, 1, n, stdout) != n) write_failed = true;
  });
  if (!known) return usage();
  if (write_failed || std::fflush(stdout) != 0) {
    std::perror("dupcut_gen: write");
    return 1;
  }
  return 0;
}
