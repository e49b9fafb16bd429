#include "driver/progress.h"

#include <unistd.h>

#include <cstdio>
#include <ctime>

namespace dupcut {

double now_seconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

void format_bytes(char* buf, int size, uint64_t n) {
  static const char* const unit[] = {"KiB", "MiB", "GiB", "TiB"};
  if (n < 1024) {
    std::snprintf(buf, size_t(size), "%llu B", static_cast<unsigned long long>(n));
    return;
  }
  double v = double(n) / 1024;
  int u = 0;
  while (v >= 1024 && u < 3) {
    v /= 1024;
    u++;
  }
  std::snprintf(buf, size_t(size), "%.1f %s", v, unit[u]);
}

void progress_start(progress& p, bool enabled, uint64_t in_size) {
  p.enabled = enabled;
  p.shown = false;
  p.in_size = in_size;
  p.start = now_seconds();
  p.last_draw = p.start;
}

void progress_tick(progress& p, uint64_t bytes_read, uint64_t bytes_written) {
  if (!p.enabled) return;
  double t = now_seconds();
  if (t - p.last_draw < 0.25) return;
  p.last_draw = t;
  double el = t - p.start;
  char r[32], w[32], line[200];
  format_bytes(r, sizeof r, bytes_read);
  format_bytes(w, sizeof w, bytes_written);
  double speed = el > 0 ? double(bytes_read) / el / 1048576.0 : 0;
  int n = std::snprintf(line, sizeof line, "\rdupcut: read %s, wrote %s", r, w);
  if (bytes_read)
    n += std::snprintf(line + n, sizeof line - size_t(n), " (%.1f%%)", 100.0 * double(bytes_written) / double(bytes_read));
  n += std::snprintf(line + n, sizeof line - size_t(n), ", %.1f MiB/s", speed);
  if (p.in_size && bytes_read <= p.in_size) {
    double frac = double(bytes_read) / double(p.in_size);
    long left = speed > 0 ? long(double(p.in_size - bytes_read) / 1048576.0 / speed + 0.5) : 0;
    n += std::snprintf(line + n, sizeof line - size_t(n), ", %.0f%% done, %ld:%02ld left", 100.0 * frac, left / 60,
                       left % 60);
  }
  std::snprintf(line + n, sizeof line - size_t(n), "\033[K");
  std::fputs(line, stderr);
  std::fflush(stderr);
  p.shown = true;
}

void progress_erase(progress& p) {
  if (!p.shown) return;
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
  p.shown = false;
}

void progress_summary(progress& p, uint64_t bytes_in, uint64_t bytes_out, uint64_t data_bytes, uint64_t dup_bytes) {
  if (!p.enabled) return;
  double el = now_seconds() - p.start;
  char i[32], o[32], d[32];
  format_bytes(i, sizeof i, bytes_in);
  format_bytes(o, sizeof o, bytes_out);
  format_bytes(d, sizeof d, dup_bytes);
  double ratio = bytes_in ? 100.0 * double(bytes_out) / double(bytes_in) : 0;
  double speed = el > 0 ? double(data_bytes) / el / 1048576.0 : 0;
  std::fprintf(stderr, "dupcut: %s -> %s (%.1f%%), %s in repeated chunks, %.2f s, %.1f MiB/s\n", i, o, ratio, d, el,
               speed);
}

}  // namespace dupcut
