// Reading a stream's first bytes: header numbers as the writer put them,
// the decoder's refusals, and other formats' magic numbers.
#include <gtest/gtest.h>

#include <string>

#include "driver/probe.h"
#include "stream/stream.h"

using namespace dupcut;

namespace {
const uint8_t* u(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }
}  // namespace

TEST(Probe, HeaderFields) {
  uint8_t b[4];
  header_bytes(65535, 4095u << 20, b);
  stream_header h = read_header(b, 4);
  EXPECT_EQ(h.problem, nullptr);
  EXPECT_EQ(h.chunkdiv, 65535u);
  EXPECT_EQ(h.window_mib, 4095u);
  EXPECT_EQ(h.decoder_memory, 4095ull << 20);
  header_bytes(300, 1u << 20, b);
  h = read_header(b, 4);
  EXPECT_EQ(h.chunkdiv, 300u);
  EXPECT_EQ(h.decoder_memory, 1u << 20);

  EXPECT_STREQ(read_header(b, 3).problem, "stream too short for its header");
  EXPECT_STREQ(read_header(u(std::string("\0\0\1\0", 4)), 4).problem, "bad stream header: chunk divisor 0");
  for (const char* w : {"\0\0", "\x00\x10", "\xFF\xFF"})
    EXPECT_STREQ(read_header(u(std::string("\x64\0", 2) + std::string(w, 2)), 4).problem,
                 "bad stream header: window size out of range");
}

TEST(Probe, ForeignFormats) {
  const struct {
    std::string bytes;
    const char* name;
  } cases[] = {
      {"\x1F\x8B\x08\x00", "gzip"},
      {"PK\x03\x04rest", "zip"},
      {"\x28\xB5\x2F\xFD\x04", "zstd"},
      {std::string("\xFD" "7zXZ\0\0", 7), "xz"},
      {std::string("\xFD" "7zXZ", 5), nullptr},  // cut short
      {"BZh91AY", "bzip2"},
      {"BZhello", nullptr},
      {"\x1F", nullptr},
      {"PK\x05\x06", nullptr},
      {std::string("\x64\0\0\4", 4), nullptr},
  };
  for (const auto& c : cases) {
    const char* got = foreign_format(u(c.bytes), c.bytes.size());
    EXPECT_STREQ(got, c.name) << testing::PrintToString(c.bytes);
  }
}
