// The option form of the command line, in the manner of gzip, xz and zstd.
// Parsing only: no I/O and no exit, so the caller decides what to print.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "driver/progress.h"

namespace dupcut {

enum class run_mode { encode, decode, test, list };

struct options {
  run_mode mode = run_mode::encode;
  bool to_stdout = false;        // -c
  bool has_output = false;       // -o given
  std::string output;            // -o FILE
  bool force = false;            // -f
  bool remove_source = false;    // --rm; -k restores the default
  int verbosity = 1;             // 0 with -q, 2 and up with -v
  bool threads_set = false;
  uint32_t threads = 1;          // 0: all cores
  uint64_t memory_cap = 0;       // -M, bytes; 0: no cap
  bool chunk_set = false, table_set = false, window_set = false;
  uint32_t chunk = 100;          // divisor, 1..65535
  uint32_t table_mib = 256;      // encoder's chunk table, 1..4095
  uint32_t window_mib = 1024;    // decoder's window, 1..4095
  bool verify = false;
  int zstd_level = 0;            // --zstd: 1..22 when encoding; 0: a plain stream
  bool ultra = false;            // --ultra: levels 20..22 allowed
  progress_mode progress = progress_mode::automatic;
  bool help = false, version = false;
  std::vector<std::string> files;  // empty, or "-": standard input
  std::string error;               // empty when the line is valid
};

// True when argv is in the option form: fewer than three arguments, or a
// first argument that starts with '-' and is not a lone '-' (which is a
// positional mode). Clients that run a compressor (tar -I, sort
// --compress-program) call it bare, or with -d.
bool option_form(int argc, char** argv);

// Table slots per expected chunk when the table is sized to its input.
inline constexpr uint32_t table_slots_per_chunk = 4;

// The chunk table in MiB for an input of `size` bytes with divisor `chunk`
// when --table is not given: table_slots_per_chunk slots per expected
// chunk, 1 MiB at least and the 256 MiB default at most.
uint32_t table_for_size(uint64_t size, uint32_t chunk);

// Reads argv[1..argc-1]. On a fault, error names the argument and says what
// is wrong; the other fields are then unspecified.
options parse_options(int argc, char** argv);

// SIZE as the options take it: digits, then nothing (MiB) or K, M, G, KiB,
// MiB, GiB in any case, meaning 2^10, 2^20, 2^30. False when malformed. A
// count past 2^33 units reads as 2^33 of them, too large for any use, so
// no value wraps to a small one.
bool parse_size(const char* s, uint64_t& bytes);

// The output file of a run on `in` when neither -o nor -c is given:
// FILE -> FILE.dc when encoding (FILE.dc.zst with zstd), FILE.dc or
// FILE.dc.zst -> FILE when decoding. Returns false with err set for a name
// that has none (decoding without a suffix, encoding a name that has one
// already).
bool output_name(const std::string& in, bool decode, std::string& out, std::string& err, bool zstd = false);

// What --help prints: the option form, then the positional form.
extern const char help_text[];

}  // namespace dupcut
