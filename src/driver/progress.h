// The status line and closing summary for a person at a terminal, both on
// standard error. The driver ticks it once per buffer exchange, never per
// byte, and redraws at most four times a second.
#pragma once

#include <cstdint>
#include <string>

namespace dupcut {

// automatic: shown when standard error is a terminal; on (--progress) also
// for pipelines and logs; off (--no-progress) never.
enum class progress_mode { automatic, on, off };

struct progress {
  bool enabled;        // draw the line and the summary
  bool shown;          // a status line is on screen now
  bool tty;            // standard error is a terminal
  int drawn_len;       // columns of the line on screen, to blank it without a terminal
  uint64_t in_size;    // 0 when unknown
  double start;        // seconds, monotonic
  double last_draw;
};

double now_seconds();
// The enabled argument of progress_start for a mode.
bool progress_wanted(progress_mode mode);
void progress_start(progress& p, bool enabled, uint64_t in_size);
void progress_tick(progress& p, uint64_t bytes_read, uint64_t bytes_written);
// Removes the status line, if one is drawn.
void progress_erase(progress& p);
// name: the file's, when there are several, else null; data_bytes: the
// unencoded side, which sets the speed; dup_bytes: data in chunks coded as
// (or restored from) references to earlier chunks.
void progress_summary(progress& p, const char* name, uint64_t bytes_in, uint64_t bytes_out, uint64_t data_bytes,
                      uint64_t dup_bytes);

// The status line's text at time t (seconds, as now_seconds) for a terminal
// of width columns: at most width - 1 characters, so the cursor never wraps
// to a row that the next redraw would leave behind. Less important fields
// go first when it is narrow.
std::string progress_line(const progress& p, uint64_t bytes_read, uint64_t bytes_written, double t, int width);

// Human-readable byte count (B, KiB, MiB, GiB) into buf.
void format_bytes(char* buf, int size, uint64_t n);

}  // namespace dupcut
