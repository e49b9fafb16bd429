#include "driver/options.h"

#include "driver/zstd_stage.h"

#include <algorithm>
#include <cstring>
#include <strings.h>

namespace dupcut {

const char help_text[] =
    "dupcut " DUPCUT_VERSION " - remove long-range repetitions before a general compressor\n"
    "\n"
    "usage: dupcut [OPTION...] [FILE...]\n"
    "Encodes each FILE to FILE.dc (FILE.dc.zst with --zstd), or with -d decodes\n"
    "FILE.dc or FILE.dc.zst to FILE. With no FILE,\n"
    "or FILE '-', reads standard input and writes standard output, so 'dupcut' alone\n"
    "is a filter (tar -I dupcut, sort --compress-program=dupcut). Any command line\n"
    "of fewer than three arguments is this form, as is one whose first argument is\n"
    "an option; otherwise it is read in the positional form below.\n"
    "\n"
    "  -z, --encode        encode (the default); the last of -z and -d counts\n"
    "  -d, --decode        decode\n"
    "  -t, --test          decode to nowhere; report bytes, chunks and damage. A\n"
    "                      stream cut where a record ends reads as ok: it has no\n"
    "                      end marker, so no decoder can tell. Use --verify when\n"
    "                      encoding, and a compressor with a checksum after it\n"
    "  -l, --list          show each stream's header; with -v, scan it for counts\n"
    "  -c, --stdout        write to standard output\n"
    "  -o FILE             write to FILE (one input only)\n"
    "  -f, --force         overwrite existing outputs; allow a terminal as stream\n"
    "  -k, --keep          keep source files (the default)\n"
    "      --rm            remove each source once its output file is complete\n"
    "  -q, --quiet         errors only: no warnings, summary or test reports\n"
    "  -v, --verbose       console lines; digests with -t; full scans with -l\n"
    "  -T, --threads=N     run on N threads, 1..256, 0: one per core (the encoder\n"
    "                      uses up to 16); the default is DUPCUT_THREADS, else\n"
    "                      one per core; with --zstd, N is shared with zstd's\n"
    "                      workers (at least one)\n"
    "  -M, --memory=SIZE   refuse to decode a stream whose window (and zstd's, for a\n"
    "                      .dc.zst) exceeds SIZE\n"
    "      --zstd[=LEVEL]  compress the stream with zstd in the same process, level\n"
    "                      1..19 (3), to standard zstd frames: FILE.dc.zst. Decoding\n"
    "                      finds zstd frames by itself (-d, -t, -l, standard input)\n"
    "      --ultra         allow --zstd levels 20..22\n"
    "      --chunk=N       chunk divisor 1..65535 (100): mean chunk about 63+N bytes\n"
    "      --table=SIZE    encoder's chunk table, 1M..4095M (256M); without it, an\n"
    "                      input of known size (a file, or a pipe that ends within\n"
    "                      1 MiB) gets a table sized to it, so a small input's\n"
    "                      stream may differ from the positional form's, which\n"
    "                      --table=256M gives\n"
    "      --window=SIZE   how far back matches reach, which is also the memory a\n"
    "                      decoder needs, 1M..4095M (1024M); 4G means 4095M\n"
    "      --verify        decode the stream while encoding and compare it with the\n"
    "                      input; takes the window's memory as well, and time\n"
    "      --progress      show the progress line even when stderr is no terminal\n"
    "      --no-progress   never show it\n"
    "  -h, --help          this text\n"
    "  -V, --version       the version\n"
    "  --                  every later argument is a FILE\n"
    "\n"
    "SIZE is a whole number with K, M or G (or KiB, MiB, GiB, in any case) for\n"
    "2^10, 2^20, 2^30 bytes; a bare number is MiB.\n"
    "\n"
    "Quiet by default: errors, warnings and, when standard error is a terminal, the\n"
    "progress line and a summary. -v adds the positional form's console lines on\n"
    "standard error. -t -v and --verify print the SHA-256 of the restored data as\n"
    "sha256sum prints it. An existing output file is replaced only with -f, and an\n"
    "encoded stream is written to or read from a terminal only with -f. A symbolic\n"
    "link as input is skipped without -f, unless the data goes to standard output\n"
    "or nowhere (-c, -t, -l). An output file gets its input's permission bits and\n"
    "times (from standard input: 0666 less the umask, and the current time). A\n"
    "source is removed (--rm) only after a successful run.\n"
    "\n"
    "examples:\n"
    "  dupcut --zstd=19 backup.tar       # writes backup.tar.dc.zst, keeps backup.tar\n"
    "  dupcut -d -o restored.tar backup.tar.dc.zst\n"
    "  dupcut -tv backup.tar.dc.zst      # test a file; SHA-256 of its data\n"
    "  zstd -dc backup.tar.dc.zst | dupcut -d | cmp - backup.tar  # zstd reads it too\n"
    "  dupcut backup.tar                 # writes backup.tar.dc, for any compressor\n"
    "  tar c dir | dupcut | xz > dir.tar.dc.xz\n"
    "  dupcut -z --verify --window=4G disk.img\n"
    "  tar -I 'dupcut --zstd' -cf d.tar.dc.zst dir && tar -I dupcut -tf d.tar.dc.zst\n"
    "\n"
    "exit status: 0 success; 1 failure (with several files, after trying the rest);\n"
    "128+N when stopped by signal N\n"
    "\n"
    "The positional form, with three arguments or more of which the first is '-' or\n"
    "does not start with it:\n"
    "usage: dupcut MODE IN OUT [CHUNKDIV [ENCMEM [DECMEM]]]\n"
    "  MODE d decodes, anything else encodes; IN or OUT '-' is standard input or\n"
    "  output; CHUNKDIV 1..65535 (100), ENCMEM 1..4095 MiB (256) and DECMEM 1..4095\n"
    "  MiB (1024) are --chunk, --table and --window; the console lines go to\n"
    "  standard output, or to standard error when OUT is '-'. A MODE that names a\n"
    "  file while OUT exists is refused (three names are 'dupcut -z FILE...'). E.g.:\n"
    "  dupcut e backup.tar backup.dc && dupcut d backup.dc backup.tar.new\n";

namespace {

// Keys of options that have no short letter.
enum : int {
  key_rm = 256, key_chunk, key_table, key_window, key_verify, key_progress, key_no_progress, key_zstd, key_ultra
};

struct long_opt {
  const char* name;
  int key;
  bool takes_value;
};

constexpr long_opt long_opts[] = {
    {"encode", 'z', false},         {"decode", 'd', false},         {"test", 't', false},
    {"list", 'l', false},           {"stdout", 'c', false},         {"force", 'f', false},
    {"keep", 'k', false},           {"rm", key_rm, false},          {"quiet", 'q', false},
    {"verbose", 'v', false},        {"threads", 'T', true},         {"memory", 'M', true},
    {"chunk", key_chunk, true},     {"table", key_table, true},     {"window", key_window, true},
    {"verify", key_verify, false},  {"progress", key_progress, false}, {"no-progress", key_no_progress, false},
    {"zstd", key_zstd, false},      {"ultra", key_ultra, false},
    {"help", 'h', false},           {"version", 'V', false},
};

constexpr char short_flags[] = "zdtlcfkqvhV";
constexpr char short_valued[] = "oTM";

// Values past this saturate, so a long digit string reads as "too large"
// instead of wrapping; times 2^30 it still fits in 64 bits.
constexpr uint64_t digits_cap = uint64_t(1) << 33;

// Leading decimal digits of s, saturating; false when there are none.
bool read_digits(const char*& s, uint64_t& v) {
  if (*s < '0' || *s > '9') return false;
  v = 0;
  for (; *s >= '0' && *s <= '9'; s++) v = std::min(v * 10 + uint64_t(*s - '0'), digits_cap);
  return true;
}

bool read_number(const char* s, uint64_t& v) { return read_digits(s, v) && *s == 0; }

struct parser {
  options o;
  // The spelling that asked for each mode, for conflict messages.
  std::string mode_arg[4];  // z, d, t, l
  std::string stdout_arg, verify_arg, zstd_arg;
  const std::string output_arg = "-o";
  int verbose = 0, quiet = 0;

  bool fail(const std::string& msg) {
    o.error = msg;
    return false;
  }

  // shown: the option as written ("-T", "--window"); value: its argument.
  bool apply(int key, const std::string& shown, const char* value) {
    // "--window=5000" or "-T 300", as the person typed it.
    const std::string as_given = shown + (shown[1] == '-' ? "=" : " ") + (value ? value : "");
    uint64_t n = 0;
    switch (key) {
      // The last of -z and -d wins, as in gzip, xz and zstd: a client that
      // runs "dupcut -z" adds -d to decode.
      case 'z': mode_arg[0] = shown; mode_arg[1].clear(); return true;
      case 'd': mode_arg[1] = shown; mode_arg[0].clear(); return true;
      case 't': mode_arg[2] = shown; return true;
      case 'l': mode_arg[3] = shown; return true;
      case 'c': o.to_stdout = true; stdout_arg = shown; return true;
      case 'f': o.force = true; return true;
      case 'k': o.remove_source = false; return true;
      case key_rm: o.remove_source = true; return true;
      case 'q': quiet++; return true;
      case 'v': verbose++; return true;
      case 'h': o.help = true; return true;
      case 'V': o.version = true; return true;
      case key_verify: o.verify = true; verify_arg = shown; return true;
      case key_progress: o.progress = progress_mode::on; return true;
      case key_no_progress: o.progress = progress_mode::off; return true;
      case key_ultra: o.ultra = true; return true;
      case key_zstd:
        // As zstd reads its levels; a value only after '=', so that
        // "--zstd FILE" stays a file.
        zstd_arg = value ? as_given : shown;
        if (!value) {
          o.zstd_level = zstd_level_default;
          return true;
        }
        if (!read_number(value, n) || n < 1 || n > uint64_t(zstd_level_ultra))
          return fail("'" + as_given + "': expected a level 1.." + std::to_string(zstd_level_max) + " (up to " +
                      std::to_string(zstd_level_ultra) + " with --ultra)");
        o.zstd_level = int(n);
        return true;
      case 'o':
        if (!*value) return fail("'" + shown + "' needs a file name");
        o.has_output = true;
        o.output = value;
        return true;
      case 'T':
        if (!read_number(value, n) || n > 256) return fail("'" + as_given + "': expected a whole number 0..256");
        o.threads = uint32_t(n);
        o.threads_set = true;
        return true;
      case key_chunk:
        if (!read_number(value, n) || n < 1 || n > 65535)
          return fail("'" + as_given + "': expected a whole number 1..65535");
        o.chunk = uint32_t(n);
        o.chunk_set = true;
        return true;
    }
    // The rest take a SIZE.
    if (!parse_size(value, n))
      return fail("'" + as_given + "': not a size (digits, then K, M, G, KiB, MiB or GiB; a bare number is MiB)");
    if (key == 'M') {
      if (n < (uint64_t(1) << 20)) return fail("'" + as_given + "': below 1 MiB, the smallest window");
      o.memory_cap = n;
      return true;
    }
    // 4G is the natural way to ask for the largest; the header holds 4095 MiB.
    if (n == uint64_t(4096) << 20) n = uint64_t(4095) << 20;
    if (n % (1u << 20)) return fail("'" + as_given + "': not a whole number of MiB");
    if (n < (uint64_t(1) << 20) || n > (uint64_t(4095) << 20))
      return fail("'" + as_given + "': out of range 1 MiB..4095 MiB (a bare number is MiB)");
    (key == key_table ? o.table_mib : o.window_mib) = uint32_t(n >> 20);
    (key == key_table ? o.table_set : o.window_set) = true;
    return true;
  }

  // A word starting with "--", not "--" itself; i may step past its value.
  bool long_option(int argc, char** argv, int& i) {
    const char* a = argv[i] + 2;
    const char* eq = std::strchr(a, '=');
    const std::string name(a, eq ? size_t(eq - a) : std::strlen(a));
    const long_opt* opt = nullptr;
    for (const long_opt& l : long_opts)
      if (name == l.name) opt = &l;
    if (!opt) return fail("unknown option '--" + name + "'");
    const std::string shown = "--" + name;
    if (opt->key == key_zstd) return apply(opt->key, shown, eq ? eq + 1 : nullptr);
    if (!opt->takes_value) {
      if (eq) return fail("option '" + shown + "' takes no value");
      return apply(opt->key, shown, nullptr);
    }
    const char* value = eq ? eq + 1 : nullptr;
    if (!value) {
      if (i + 1 >= argc) return fail("option '" + shown + "' needs a value");
      value = argv[++i];
    }
    return apply(opt->key, shown, value);
  }

  // A cluster of short options such as "-dcf" or "-qT2".
  bool short_options(int argc, char** argv, int& i) {
    const char* a = argv[i];
    for (const char* p = a + 1; *p; p++) {
      const std::string shown = std::string("-") + *p;
      if (std::strchr(short_valued, *p)) {
        const char* value = p[1] ? p + 1 : nullptr;
        if (!value) {
          if (i + 1 >= argc) return fail("option '" + shown + "' needs a value");
          value = argv[++i];
        }
        return apply(*p, shown, value);
      }
      if (!std::strchr(short_flags, *p))
        return fail("unknown option '" + shown + "'" + (a[2] ? " in '" + std::string(a) + "'" : ""));
      if (!apply(*p, shown, nullptr)) return false;
    }
    return true;
  }

  bool finish() {
    // -d and -t agree (a test is a decode); any other pair does not.
    for (int x = 0; x < 4; x++)
      for (int y = x + 1; y < 4; y++)
        if (!mode_arg[x].empty() && !mode_arg[y].empty() && !(x == 1 && y == 2))
          return fail("conflicting modes '" + mode_arg[x] + "' and '" + mode_arg[y] + "'");
    o.mode = !mode_arg[3].empty()   ? run_mode::list
             : !mode_arg[2].empty() ? run_mode::test
             : !mode_arg[1].empty() ? run_mode::decode
                                    : run_mode::encode;
    if (o.has_output && o.to_stdout) return fail("'" + stdout_arg + "' and '-o' conflict");
    const std::string& mode_word = !mode_arg[3].empty() ? mode_arg[3] : !mode_arg[2].empty() ? mode_arg[2] : mode_arg[1];
    const std::string& output_word = o.has_output ? output_arg : stdout_arg;
    if ((o.mode == run_mode::test || o.mode == run_mode::list) && (o.has_output || o.to_stdout))
      return fail("'" + output_word + "' has no use with '" + mode_word + "', which writes no data");
    if (o.verify && o.mode != run_mode::encode)
      return fail("'" + verify_arg + "' applies to encoding, not to '" + mode_word + "'");
    // Decoding finds zstd frames by themselves; tar -I 'dupcut --zstd' adds
    // -d to read what it wrote.
    if (o.zstd_level > zstd_level_max && !o.ultra)
      return fail("'" + zstd_arg + "': levels above " + std::to_string(zstd_level_max) + " need --ultra");
    if (o.has_output && o.files.size() > 1)
      return fail("'-o' takes one input file, not " + std::to_string(o.files.size()));
    o.verbosity = std::max(0, 1 + verbose - quiet);
    return true;
  }
};

}  // namespace

bool option_form(int argc, char** argv) { return argc < 4 || (argv[1][0] == '-' && argv[1][1] != 0); }

uint32_t table_for_size(uint64_t size, uint32_t chunk) {
  // Chunks are at least 64 bytes, about chunk + 63 on average.
  const uint64_t mean = std::max<uint64_t>(64, uint64_t(chunk) + 63);
  const uint64_t bytes = (size / mean + 1) * table_slots_per_chunk * 20;
  return uint32_t(std::clamp<uint64_t>((bytes + (1u << 20) - 1) >> 20, 1, 256));
}

bool parse_size(const char* s, uint64_t& bytes) {
  uint64_t n;
  if (!read_digits(s, n)) return false;
  static const struct {
    const char* a;
    const char* b;
    int shift;
  } units[] = {{"", "", 20}, {"k", "kib", 10}, {"m", "mib", 20}, {"g", "gib", 30}};
  for (const auto& u : units)
    if (strcasecmp(s, u.a) == 0 || strcasecmp(s, u.b) == 0) {
      bytes = n << u.shift;
      return true;
    }
  return false;
}

options parse_options(int argc, char** argv) {
  parser p;
  bool only_files = false;
  for (int i = 1; i < argc; i++) {
    const char* a = argv[i];
    if (only_files || a[0] != '-' || a[1] == 0) {
      p.o.files.emplace_back(a);
      continue;
    }
    if (a[1] == '-' && a[2] == 0) {
      only_files = true;
      continue;
    }
    if (!(a[1] == '-' ? p.long_option(argc, argv, i) : p.short_options(argc, argv, i))) return p.o;
  }
  p.finish();
  return p.o;
}

bool output_name(const std::string& in, bool decode, std::string& out, std::string& err, bool zstd) {
  const size_t base = in.rfind('/') == std::string::npos ? 0 : in.rfind('/') + 1;
  auto ends_in = [&](const std::string& s) {
    return in.size() >= s.size() && in.compare(in.size() - s.size(), s.size(), s) == 0;
  };
  const std::string suffix = ends_in(".dc.zst") ? ".dc.zst" : ".dc";
  const bool has_suffix = ends_in(suffix);
  // "x/.dc" has the suffix but no name in front of it.
  const bool bare_suffix = has_suffix && in.size() - base == suffix.size();
  if (in.empty() || in == "-") {
    err = "standard input has no name to derive an output name from";
    return false;
  }
  if (!decode) {
    if (has_suffix) {
      err = "'" + in + "' already has the " + suffix + " suffix; use -o or -c to encode it again";
      return false;
    }
    out = in + (zstd ? ".dc.zst" : ".dc");
    return true;
  }
  if (!has_suffix || bare_suffix) {
    err = "'" + in + "' does not end in .dc or .dc.zst; use -o or -c to name the output";
    return false;
  }
  out = in.substr(0, in.size() - suffix.size());
  return true;
}

}  // namespace dupcut
