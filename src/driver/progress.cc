#include "driver/progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace dupcut {

namespace {

// Columns of the terminal on standard error, asked at every redraw so a
// resized window is followed without a SIGWINCH handler. Without a
// terminal (--progress into a pipe), COLUMNS or 80.
int terminal_width() {
  winsize ws;
  if (ioctl(2, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  const char* c = std::getenv("COLUMNS");
  const int n = c ? std::atoi(c) : 0;
  return n > 0 ? n : 80;
}

}  // namespace

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

bool progress_wanted(progress_mode mode) {
  return mode == progress_mode::on || (mode == progress_mode::automatic && isatty(2) == 1);
}

void progress_start(progress& p, bool enabled, uint64_t in_size) {
  p.enabled = enabled;
  p.shown = false;
  p.tty = isatty(2) == 1;
  p.drawn_len = 0;
  p.in_size = in_size;
  p.start = now_seconds();
  p.last_draw = p.start;
}

std::string progress_line(const progress& p, uint64_t bytes_read, uint64_t bytes_written, double t, int width) {
  const double el = t - p.start;
  // A speed from the first fraction of a second or megabyte is noise.
  const bool settled = el >= 1.0 && bytes_read >= (1u << 20);
  const double speed = settled ? double(bytes_read) / el / 1048576.0 : 0;
  const bool sized = p.in_size && bytes_read <= p.in_size;

  // In display order; drop[] is the order in which they give way.
  enum { prefix, read, wrote, rate, done, left, count };
  std::string f[count];
  char a[32], b[96];
  f[prefix] = "dupcut: ";
  format_bytes(a, sizeof a, bytes_read);
  f[read] = std::string("read ") + a;
  format_bytes(a, sizeof a, bytes_written);
  if (bytes_read)
    std::snprintf(b, sizeof b, "wrote %s (%.1f%%)", a, 100.0 * double(bytes_written) / double(bytes_read));
  else
    std::snprintf(b, sizeof b, "wrote %s", a);
  f[wrote] = b;
  if (settled) {
    std::snprintf(b, sizeof b, "%.1f MiB/s", speed);
    f[rate] = b;
  }
  if (sized) {
    std::snprintf(b, sizeof b, "%.0f%% done", 100.0 * double(bytes_read) / double(p.in_size));
    f[done] = b;
    if (settled) {
      const long s = long(double(p.in_size - bytes_read) / 1048576.0 / speed + 0.5);
      if (s >= 3600)
        std::snprintf(b, sizeof b, "%ld:%02ld:%02ld left", s / 3600, s / 60 % 60, s % 60);
      else
        std::snprintf(b, sizeof b, "%ld:%02ld left", s / 60, s % 60);
      f[left] = b;
    }
  }
  static const int drop[] = {wrote, prefix, rate, read, left, done};

  std::string line;
  for (int k = 0;; k++) {
    line = f[prefix];
    bool first = true;
    for (int i = read; i < count; i++) {
      if (f[i].empty()) continue;
      line += (first ? "" : ", ") + f[i];
      first = false;
    }
    if (int(line.size()) < width || k == count) break;
    f[drop[k]].clear();
  }
  if (int(line.size()) >= width) line.resize(width > 1 ? size_t(width - 1) : 0);
  return line;
}

void progress_tick(progress& p, uint64_t bytes_read, uint64_t bytes_written) {
  if (!p.enabled) return;
  double t = now_seconds();
  if (t - p.last_draw < 0.25) return;
  p.last_draw = t;
  const std::string text = progress_line(p, bytes_read, bytes_written, t, terminal_width());
  std::string out = "\r" + text;
  // A terminal clears the rest of the row; a log or pipe gets blanks instead
  // of control codes.
  if (p.tty)
    out += "\033[K";
  else if (int(text.size()) < p.drawn_len)
    out.append(size_t(p.drawn_len) - text.size(), ' ');
  p.drawn_len = int(text.size());
  std::fputs(out.c_str(), stderr);
  std::fflush(stderr);
  p.shown = true;
}

void progress_erase(progress& p) {
  if (!p.shown) return;
  if (p.tty)
    std::fputs("\r\033[K", stderr);
  else
    std::fprintf(stderr, "\r%*s\r", p.drawn_len, "");
  std::fflush(stderr);
  p.shown = false;
}

void progress_summary(progress& p, const char* name, uint64_t bytes_in, uint64_t bytes_out, uint64_t data_bytes,
                      uint64_t dup_bytes) {
  if (!p.enabled) return;
  double el = now_seconds() - p.start;
  char i[32], o[32], d[32];
  format_bytes(i, sizeof i, bytes_in);
  format_bytes(o, sizeof o, bytes_out);
  format_bytes(d, sizeof d, dup_bytes);
  double ratio = bytes_in ? 100.0 * double(bytes_out) / double(bytes_in) : 0;
  double speed = el > 0 ? double(data_bytes) / el / 1048576.0 : 0;
  std::fprintf(stderr, "dupcut: %s%s%s -> %s (%.1f%%), %s in repeated chunks, %.2f s, %.1f MiB/s\n", name ? name : "",
               name ? ": " : "", i, o, ratio, d, el, speed);
}

}  // namespace dupcut
