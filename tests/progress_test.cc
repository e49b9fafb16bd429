// The status line's text: it fits the terminal at every width, keeps what
// matters most when narrow, and shows speed and time left only once there
// is enough to go on.
#include <gtest/gtest.h>

#include <string>

#include "driver/progress.h"

using namespace dupcut;

TEST(ProgressLine, FitsEveryWidthAndWaitsForASpeed) {
  progress p{};
  p.start = 1000;
  p.in_size = uint64_t(3) << 40;
  // Long numbers everywhere: TiB counts, a slow run with hours left.
  const uint64_t r = (uint64_t(1) << 40) + 12345, w = r - 999;
  const std::string full = progress_line(p, r, w, 1000 + 99999, 1000);
  EXPECT_EQ(full, "dupcut: read 1.0 TiB, wrote 1.0 TiB (100.0%), 10.5 MiB/s, 33% done, 55:33:18 left");
  for (int width = 0; width <= 200; width++) {
    const std::string s = progress_line(p, r, w, 1000 + 99999, width);
    ASSERT_LE(s.size(), size_t(width > 0 ? width - 1 : 0)) << width << ": " << s;
    if (width > int(full.size())) {
      EXPECT_EQ(s, full);
    }
    if (width >= 30) {
      EXPECT_NE(s.find("33% done, 55:33:18 left"), std::string::npos) << s;
    }
  }
  EXPECT_EQ(progress_line(p, r, w, 1000 + 99999, 30), "33% done, 55:33:18 left");
  EXPECT_EQ(progress_line(p, r, w, 1000 + 99999, 50), "read 1.0 TiB, 10.5 MiB/s, 33% done, 55:33:18 left");

  // Under a second, or under a MiB: no speed, no time left.
  EXPECT_EQ(progress_line(p, 5 << 20, 4 << 20, 1000.9, 200), "dupcut: read 5.0 MiB, wrote 4.0 MiB (80.0%), 0% done");
  EXPECT_EQ(progress_line(p, 1000, 0, 1010, 200), "dupcut: read 1000 B, wrote 0 B (0.0%), 0% done");
  p.in_size = 0;  // unknown size: no share done either
  EXPECT_EQ(progress_line(p, 4 << 20, 4 << 20, 1002, 200), "dupcut: read 4.0 MiB, wrote 4.0 MiB (100.0%), 2.0 MiB/s");
}
