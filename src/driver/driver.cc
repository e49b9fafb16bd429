#include "driver/driver.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "chunking/chunker.h"
#include "decoder/decode.h"
#include "driver/alloc.h"
#include "driver/cli.h"
#include "driver/codec_main.h"
#include "driver/options.h"
#include "driver/outfile.h"
#include "encoder/table.h"

namespace dupcut {

namespace {

alignas(64) uint8_t in_buf[io_buf_size];
alignas(64) uint8_t out_buf[io_buf_size];
uint32_t params[3] = {100, 256, 1024};  // cfg_chunkdiv, encmem MiB, decmem MiB
codec_state state;

bool write_all(driver_files& f, const uint8_t* p, size_t n) {
  if (n == 0) return true;
  size_t w = std::fwrite(p, 1, n, f.out);
  f.bytes_written += w;
  if (w != n) {
    f.err = errno ? errno : EIO;
    return false;
  }
  return true;
}

const char usage_long[] =
    "dupcut " DUPCUT_VERSION " - remove long-range repetitions before a general compressor\n"
    "\n"
    "usage: dupcut MODE IN OUT [CHUNKDIV [ENCMEM [DECMEM]]]\n"
    "       dupcut --help | --version\n"
    "\n"
    "MODE     a mode starting with 'd' decodes (d, dec, decode); anything else encodes (e, encode)\n"
    "IN OUT   file paths; '-' is standard input or output (a file named '-' is ./-)\n"
    "CHUNKDIV 1..65535, default 100: mean chunk length is about 63 + CHUNKDIV bytes\n"
    "ENCMEM   1..4095 MiB, default 256: chunk table memory of the encoder (20 bytes a chunk)\n"
    "DECMEM   1..4095 MiB, default 1024: the decoder's window; matches reach this far back\n"
    "\n"
    "Numbers are whole decimal numbers (a leading '-' is ignored). Decoding ignores\n"
    "them: it takes CHUNKDIV and DECMEM from the stream and needs DECMEM of memory.\n"
    "\n"
    "A file OUT is written under a temporary name beside it and renamed over it at\n"
    "the end, with IN's permissions; a failed or stopped run leaves an existing OUT\n"
    "as it was.\n"
    "\n"
    "examples:\n"
    "  dupcut e backup.tar backup.dc && zstd -19 backup.dc\n"
    "  tar c dir | dupcut e - - | zstd > dir.tar.dc.zst\n"
    "  zstd -d < dir.tar.dc.zst | dupcut d - - | tar x\n"
    "  dupcut e disk.img disk.dc 100 1024 4095\n"
    "\n"
    "exit status: 0 success; 1 bad arguments, unusable files, read or write errors,\n"
    "damaged streams; 128+N when stopped by signal N (HUP, INT, QUIT, TERM, USR1,\n"
    "USR2, ALRM, XFSZ; no partial output is left)\n";

progress run_progress;
outfile out;

extern "C" void on_signal(int sig) {
  if (run_progress.shown) (void)!write(2, "\r\033[K", 4);
  outfile_remove_on_signal();
  _exit(128 + sig);
}

void usage_short() {
  std::fputs(
      "usage: dupcut MODE IN OUT [CHUNKDIV [ENCMEM [DECMEM]]]\n"
      "  MODE d decodes, anything else encodes; IN or OUT '-' for standard input/output\n"
      "  CHUNKDIV 1..65535 (100), ENCMEM 1..4095 MiB (256), DECMEM 1..4095 MiB (1024)\n",
      stderr);
}

void say(const char* fmt, const char* name, int err) {
  std::fprintf(stderr, "dupcut: ");
  std::fprintf(stderr, fmt, name);
  if (err) std::fprintf(stderr, ": %s", std::strerror(err));
  std::fputc('\n', stderr);
}

bool same_file(std::FILE* in, std::FILE* out_std, const char* out_path) {
  struct stat a, b;
  if (fstat(fileno(in), &a) != 0) return false;
  if (out_std ? fstat(fileno(out_std), &b) != 0 : stat(out_path, &b) != 0) return false;
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && S_ISREG(a.st_mode);
}

// Writes to standard output fail unseen until it is flushed. Returns 0 or
// the errno value of a write that failed.
int flush_stdout() {
  errno = 0;
  if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return 0;
  return errno ? errno : EIO;
}

int stdout_failed(int err) {
  std::fprintf(stderr, "dupcut: cannot write to standard output: %s\n", std::strerror(err));
  return 1;
}

// Exit status after --help or --version.
int stdout_done() {
  const int err = flush_stdout();
  return err ? stdout_failed(err) : 0;
}

// A numeric argument: one optional leading '-' (so -100 is 100), then
// decimal digits only, whose value lies in 1..max. Anything else is refused,
// so that "1G", "5.5" or "12abc" cannot pass for another number.
bool parse_num(const char* arg, uint32_t max, uint32_t& value) {
  if (*arg == '-') arg++;
  if (!*arg) return false;
  uint64_t v = 0;
  for (; *arg; arg++) {
    if (*arg < '0' || *arg > '9') return false;
    // Past max it is refused anyway; stopping there keeps a digit string of
    // any length from wrapping.
    v = std::min<uint64_t>(v * 10 + uint64_t(*arg - '0'), uint64_t(max) + 1);
  }
  if (v < 1 || v > max) return false;
  value = uint32_t(v);
  return true;
}

}  // namespace

run_result driver_loop(codec_state& s, driver_files& f, codec_entry entry) {
  s.out_cur = s.out_start = out_buf;
  s.out_end = out_buf + io_buf_size;
  s.in_cur = s.in_start = s.in_end = nullptr;
  s.request = 0;
  run_result res = run_result::ok;

  for (;;) {
    int32_t req = codec_resume(s, entry);
    if (req == 0) break;
    if (req == 1) {
      size_t n = std::fread(in_buf, 1, io_buf_size, f.in);
      if (n < io_buf_size && std::ferror(f.in)) {
        // A read error is not the end of the input.
        f.err = errno ? errno : EIO;
        res = run_result::read_error;
        break;
      }
      if (n == 0) s.in_eof = 1;
      f.bytes_read += n;
      s.in_cur = s.in_start = in_buf;
      s.in_end = in_buf + n;
      if (f.prog) progress_tick(*f.prog, f.bytes_read, f.bytes_written);
    } else if (req == 2) {
      if (!write_all(f, out_buf, io_buf_size)) {
        res = run_result::write_error;
        break;
      }
      s.out_cur = s.out_start = out_buf;
      s.out_end = out_buf + io_buf_size;
      if (f.prog) progress_tick(*f.prog, f.bytes_read, f.bytes_written);
    }
  }
  if (res == run_result::ok) {
    if (!write_all(f, out_buf, size_t(s.out_cur - out_buf)))
      res = run_result::write_error;
    else if (s.fail_msg || s.damage_msg)
      res = run_result::codec_error;
  }
  codec_release(s);
  return res;
}

void format_stats(char* buf, size_t size, uint64_t total, uint64_t count) {
  uint64_t q = (10 * total) / count;
  int32_t r = int32_t(uint32_t(q));
  std::snprintf(buf, size, "sum=%i x=%i avglen=%i.%i\n", int32_t(uint32_t(total)), int32_t(uint32_t(count)), r / 10,
                r % 10);
}

int driver_main(int argc, char** argv) {
  if (option_form(argc, argv)) return run_options(argc, argv);
  // A standard stream closed by the caller would lend its number to a file
  // opened here, which would then be read as input or take messages. /dev/null
  // opened the wrong way round holds the number and fails as a closed stream.
  for (int fd : {0, 2})
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
  // Every run writes to standard output, the data or the console lines.
  if (fcntl(1, F_GETFD) < 0 && errno == EBADF) return stdout_failed(EBADF);
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(usage_long, stdout);
    return stdout_done();
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::puts("dupcut " DUPCUT_VERSION);
    return stdout_done();
  }
  if (argc < 4) {
    usage_short();
    return 1;
  }
  // A closed pipe must show up as a write error, not kill us silently.
  std::signal(SIGPIPE, SIG_IGN);

  codec_state& s = state;
  const char* in_name = argv[2];
  const char* out_name = argv[3];
  const bool in_std = std::strcmp(in_name, "-") == 0;
  const bool out_std = std::strcmp(out_name, "-") == 0;
  s.decode_mode = argv[1][0] == 'd';
  // DUPCUT_PATH=scalar keeps to the one-byte-at-a-time reference route.
  const char* path = std::getenv("DUPCUT_PATH");
  s.span_io = !(path && std::strcmp(path, "scalar") == 0);
  simd_select(path);

  std::FILE* in = in_std ? stdin : std::fopen(in_name, "rb");
  if (!in) {
    say("cannot open input '%s'", in_name, errno);
    return 1;
  }

  // A decode takes its numbers from the stream and ignores these.
  if (!s.decode_mode) {
    static const struct {
      const char* name;
      uint32_t max;
    } nums[3] = {{"CHUNKDIV", 65535}, {"ENCMEM", 4095}, {"DECMEM", 4095}};
    for (int i = 0; i < 3 && 4 + i < argc; i++) {
      if (!parse_num(argv[4 + i], nums[i].max, params[i])) {
        std::fprintf(stderr, "dupcut: invalid %s '%s': expected a whole number 1..%u\n", nums[i].name, argv[4 + i],
                     unsigned(nums[i].max));
        return 1;
      }
    }
  }
  s.cfg_chunkdiv = params[0];
  s.tbl.encmem = params[1] << 20;
  s.tbl.cfg_decwinsize = params[2] << 20;

  if (same_file(in, out_std ? stdout : nullptr, out_name)) {
    say("input and output are the same file '%s'", out_name, 0);
    return 1;
  }

  uint64_t tbl_bytes = 0;
  if (s.decode_mode) {
    s.win_buf = nullptr;
    s.win_pos = 0;
  } else {
    const uint32_t encmem = s.tbl.encmem;
    tbl_bytes = uint64_t(20) * (encmem / 20);
    if (!tbl_open(s.tbl, encmem / 20, s.tbl.cfg_decwinsize)) {
      std::fprintf(stderr, "dupcut: cannot allocate the chunk table (%" PRIu64 " bytes)\n", tbl_bytes);
      return 1;
    }
    s.tbl.encmem = encmem;
  }

  struct stat ist;
  const bool in_regular = fstat(fileno(in), &ist) == 0 && S_ISREG(ist.st_mode);
  // Armed before the output exists, so no signal finds it unknown.
  catch_stop_signals(on_signal);
  const char* failed;
  if (int err = outfile_open(out, out_name, in_regular ? int(ist.st_mode & 0777) : -1, &failed)) {
    if (failed == out_name)
      say("cannot open output '%s'", out_name, err);
    else
      say("cannot create temporary file '%s'", failed, err);
    tbl_close(s.tbl);
    return 1;
  }
  console = out_std ? stderr : stdout;
  progress_start(run_progress, isatty(2) == 1, in_regular ? uint64_t(ist.st_size) : 0);

  if (!s.decode_mode)
    std::fprintf(console, "sizeof(this)=%i cfg_tblsize=%i cfg_decwinsize=%i sizeof(hinf)=%i htbl=%" PRIXPTR "\n",
                 int(sizeof(codec_state)), int(s.tbl.cfg_tblsize), int(s.tbl.cfg_decwinsize), int(sizeof(hinf)),
                 reinterpret_cast<uintptr_t>(s.tbl.htbl));

  driver_files f{in, out.f, 0, 0, 0, &run_progress};
  run_result res = driver_loop(s, f, codec_main);

  if (s.decode_mode) {
    free_pages(s.win_buf, s.tbl.cfg_decwinsize);
    s.win_buf = nullptr;
    chunk_log_free(s);
  } else {
    tbl_close(s.tbl);
  }

  // A failed encode leaves nothing: a cut-short stream would decode without
  // complaint to a cut-short file. A failed decode keeps what it restored,
  // unless that is nothing at all.
  const bool keep_on_failure = s.decode_mode && f.bytes_written > 0;
  if (int err = outfile_close(out, res == run_result::ok || keep_on_failure); err && res == run_result::ok) {
    f.err = err;
    res = run_result::write_error;
  }
  progress_erase(run_progress);

  // The closing line is part of the result: a run that cannot report it has
  // failed and must not replace a file.
  bool console_failed = false;
  if (res == run_result::ok) {
    char line[128];
    format_stats(line, sizeof line, s.total_bytes, s.chunk_count);
    std::fputs(line, console);
    // Nobody is there to tell of a failed write to standard error.
    if (console == stdout && (f.err = flush_stdout()) != 0) console_failed = true;
  }
  bool ok = res == run_result::ok && !console_failed;
  if (out.staged && (ok || (keep_on_failure && !out.existed))) {
    if (int err = outfile_commit(out); err && ok) {
      f.err = err;
      res = run_result::write_error;
      ok = false;
    }
  }
  const char* kept = nullptr;
  if (out.staged) {
    if (keep_on_failure)
      kept = outfile_keep(out);
    else
      outfile_discard(out);
  }
  if (ok) {
    progress_summary(run_progress, f.bytes_read, f.bytes_written, s.total_bytes, s.match_bytes);
    return 0;
  }

  char msg[PATH_MAX + 160];
  if (console_failed)
    std::snprintf(msg, sizeof msg, "cannot write to standard output: %s", std::strerror(f.err));
  else if (res == run_result::read_error)
    std::snprintf(msg, sizeof msg, "cannot read input '%s': %s", in_name, std::strerror(f.err));
  else if (res == run_result::write_error)
    std::snprintf(msg, sizeof msg, "cannot write output '%s': %s", out_name, std::strerror(f.err));
  else
    std::snprintf(msg, sizeof msg, "%s", s.fail_msg ? s.fail_msg : s.damage_msg);
  if (kept)
    std::fprintf(stderr, "dupcut: %s; restored data kept in '%s'\n", msg, kept);
  else
    std::fprintf(stderr, "dupcut: %s\n", msg);
  return 1;
}

codec_state* codec_open(bool decode, uint32_t chunkdiv, uint32_t table_mib, uint32_t window_mib, char* err,
                        size_t err_size) {
  // Value-initialised: zero, as the static state of driver_main is.
  auto* s = new codec_state();
  s->decode_mode = decode;
  const char* path = std::getenv("DUPCUT_PATH");
  s->span_io = !(path && std::strcmp(path, "scalar") == 0);
  simd_select(path);
  s->cfg_chunkdiv = chunkdiv;
  s->tbl.encmem = table_mib << 20;
  s->tbl.cfg_decwinsize = window_mib << 20;
  if (!decode) {
    const uint32_t encmem = s->tbl.encmem;
    if (!tbl_open(s->tbl, encmem / 20, s->tbl.cfg_decwinsize)) {
      std::snprintf(err, err_size, "cannot allocate the chunk table (%" PRIu64 " bytes)", uint64_t(20) * (encmem / 20));
      delete s;
      return nullptr;
    }
    s->tbl.encmem = encmem;
  }
  return s;
}

void codec_close(codec_state* s) {
  if (!s) return;
  codec_release(*s);
  if (s->decode_mode) {
    free_pages(s->win_buf, s->tbl.cfg_decwinsize);
    chunk_log_free(*s);
  } else {
    tbl_close(s->tbl);
  }
  delete s;
}

void print_setup_line(std::FILE* to, const codec_state& s) {
  std::fprintf(to, "sizeof(this)=%i cfg_tblsize=%i cfg_decwinsize=%i sizeof(hinf)=%i htbl=%" PRIXPTR "\n",
               int(sizeof(codec_state)), int(s.tbl.cfg_tblsize), int(s.tbl.cfg_decwinsize), int(sizeof(hinf)),
               reinterpret_cast<uintptr_t>(s.tbl.htbl));
}

}  // namespace dupcut
