#include "driver/probe.h"

#include <cstring>

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

}  // namespace dupcut
