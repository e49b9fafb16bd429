// The status line and closing summary for a person at a terminal, both on
// standard error. The driver ticks it once per buffer exchange, never per
// byte, and redraws at most four times a second.
#pragma once

#include <cstdint>

namespace dupcut {

struct progress {
  bool enabled;        // standard error is a terminal
  bool shown;          // a status line is on screen now
  uint64_t in_size;    // 0 when unknown
  double start;        // seconds, monotonic
  double last_draw;
};

double now_seconds();
void progress_start(progress& p, bool enabled, uint64_t in_size);
void progress_tick(progress& p, uint64_t bytes_read, uint64_t bytes_written);
// Removes the status line, if one is drawn.
void progress_erase(progress& p);
// data_bytes: the unencoded side, which sets the speed; dup_bytes: data in
// chunks coded as (or restored from) references to earlier chunks.
void progress_summary(progress& p, uint64_t bytes_in, uint64_t bytes_out, uint64_t data_bytes, uint64_t dup_bytes);

// Human-readable byte count (B, KiB, MiB, GiB) into buf.
void format_bytes(char* buf, int size, uint64_t n);

}  // namespace dupcut
