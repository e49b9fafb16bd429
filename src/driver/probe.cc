#include "driver/probe.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "driver/progress.h"

namespace dupcut {

const char* foreign_format(const uint8_t* p, size_t n) {
  static const struct {
    const char* name;
    const char* magic;
    size_t len;
  } formats[] = {
      {"gzip", "\x1F\x8B", 2},
      {"zip", "PK\x03\x04", 4},
      {"zstd", "\x28\xB5\x2F\xFD", 4},
      {"xz", "\xFD" "7zXZ\x00", 6},
      {"bzip2", "BZh", 3},
  };
  for (const auto& f : formats)
    if (n >= f.len && std::memcmp(p, f.magic, f.len) == 0) {
      // bzip2 names its block size, '1'..'9', next; without it "BZh" is
      // just text.
      if (f.len == 3 && (n < 4 || p[3] < '1' || p[3] > '9')) continue;
      return f.name;
    }
  return nullptr;
}

namespace {

void list_head(bool full, bool& done) {
  if (done) return;
  done = true;
  if (full)
    std::printf("%7s %8s %9s %9s %14s %14s %10s %6s %7s  %s\n", "divisor", "window", "memory", "zstd", "stream", "data",
                "chunks", "ratio", "check", "name");
  else
    std::printf("%7s %8s %9s %9s  %s\n", "divisor", "window", "memory", "zstd", "name");
}

void memory_columns(const probed_header& h, char (&mem)[32], char (&z)[32]) {
  format_bytes(mem, sizeof mem, h.decoder_memory + h.zstd_memory);
  if (h.zstd_memory)
    format_bytes(z, sizeof z, h.zstd_memory);
  else
    std::snprintf(z, sizeof z, "-");
}

}  // namespace

void list_row(const probed_header& h, const std::string& name, bool& head_done) {
  char mem[32], z[32];
  memory_columns(h, mem, z);
  list_head(false, head_done);
  std::printf("%7u %4u MiB %9s %9s  %s\n", unsigned(h.chunkdiv), unsigned(h.window_mib), mem, z, name.c_str());
}

void list_row_full(const probed_header& h, uint64_t stream, uint64_t data, uint64_t chunks, bool damaged,
                   const std::string& name, bool& head_done) {
  char mem[32], z[32], ratio[16] = "-";
  memory_columns(h, mem, z);
  if (data) std::snprintf(ratio, sizeof ratio, "%.1f%%", 100.0 * double(stream) / double(data));
  list_head(true, head_done);
  std::printf("%7u %4u MiB %9s %9s %14" PRIu64 " %14" PRIu64 " %10" PRIu64 " %6s %7s  %s\n", unsigned(h.chunkdiv),
              unsigned(h.window_mib), mem, z, stream, data, chunks, ratio, damaged ? "damaged" : "ok", name.c_str());
}

}  // namespace dupcut
