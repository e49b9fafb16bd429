// The digest printed for a restored stream must match sha256sum's.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "driver/sha256.h"

using dupcut::sha256;

TEST(Sha256, KnownVectorsAndSha256sum) {
  sha256 h;
  EXPECT_EQ(h.hex(), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  h.update("abc", 3);
  EXPECT_EQ(h.hex(), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

  // 1 MiB and a bit, fed in pieces that straddle the 64-byte blocks, against
  // the program users will compare with.
  std::string data(1048576 + 17, '\0');
  uint32_t x = 2463534242u;
  for (char& c : data) c = char((x ^= x << 13, x ^= x >> 17, x ^= x << 5));
  size_t at = 0;
  for (size_t n : {1, 63, 64, 65, 1000, 100000}) h.update(data.data() + at, n), at += n;
  h.update(data.data() + at, data.size() - at);

  char path[] = "/tmp/dupcut_sha_XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  std::ofstream(path, std::ios::binary).write(data.data(), std::streamsize(data.size()));
  std::FILE* p = popen(("sha256sum " + std::string(path)).c_str(), "r");
  ASSERT_NE(p, nullptr);
  char line[256] = {};
  ASSERT_NE(std::fgets(line, sizeof line, p), nullptr);
  pclose(p);
  unlink(path);
  EXPECT_EQ(h.hex(), std::string(line, 64));
}
