#include "driver/driver.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <thread>

#include "core/alloc.h"
#include "core/prefault.h"
#include "driver/cli.h"
#include "driver/options.h"
#include "driver/outfile.h"
#include "driver/reader.h"
#include "driver/writer.h"

namespace dupcut {

namespace {

alignas(64) uint8_t in_buf[driver_buf_size];
alignas(64) uint8_t out_buf[driver_buf_size];

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

progress run_progress;
outfile out;

extern "C" void on_signal(int sig) {
  if (run_progress.shown) (void)!write(2, "\r\033[K", 4);
  outfile_remove_on_signal();
  _exit(128 + sig);
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

int stdout_failed(int err) {
  std::fprintf(stderr, "dupcut: cannot write to standard output: %s\n", std::strerror(err));
  return 1;
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

// Writes to standard output fail unseen until it is flushed. Returns 0 or
// the errno value of a write that failed.
int flush_stdout() {
  errno = 0;
  if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return 0;
  return errno ? errno : EIO;
}

namespace {

// A decoder's stream read into memory that stays while the decoder takes
// its copies from there instead of writing every chunk into its window.
// A regular file no longer than its window is kept whole. A pipe is kept
// while what is kept and what has been restored together fit in the
// window, and the kept part is at most a quarter of it; then new chunks go
// into the window, and the memory goes once no chunk held back in it is
// within reach. A stream that ends within its window never holds more than
// the window would; a longer one at most a quarter more, for a window's
// length of data.
struct kept_input {
  uint8_t* p = nullptr;
  uint64_t cap = 0;     // bytes of memory at p
  uint64_t given = 0;   // read into it and handed to the decoder so far
  uint64_t window = 0;  // the stream's window in bytes
  bool file = false;    // read with pread from keep_fd, else through `in`
  bool on = false;      // pieces still go into p
  void* map = nullptr;  // a file mapped in place of memory and reads
  uint64_t map_len = 0;
  prefault* fill = nullptr;  // faults the memory in ahead of the reads
};

constexpr uint64_t keep_piece = uint64_t(1) << 20;
// With a second thread, fresh memory is faulted in this far ahead of the
// reads, as the decoder's window would be.
constexpr uint64_t keep_lead = uint64_t(12) << 20;

// Memory for k.cap bytes and the decoder's promise; false when either
// cannot be had. A pipe's memory is faulted in ahead of the reads by a
// helper on a second thread (a file's by the thread that reads it ahead).
bool keep_start(dupcut_ctx* c, const driver_files& f, kept_input& k) {
  k.p = static_cast<uint8_t*>(alloc_pages(k.cap));
  if (!k.p) return false;
  if (dupcut_set_option(c, DUPCUT_OPTION_STABLE_INPUT, 2) != DUPCUT_DONE) {
    free_pages(k.p, k.cap);
    k.p = nullptr;
    return false;
  }
  k.on = true;
  if (!k.file && f.threads > 1 && k.cap > keep_piece) k.fill = prefault_start(k.p, k.cap, keep_lead);
  return true;
}

void keep_end(kept_input& k) {
  prefault_stop(k.fill);
  if (k.map)
    munmap(k.map, k.map_len);
  else
    free_pages(k.p, k.cap);
  k.p = nullptr;
  k.map = nullptr;
  k.on = false;
}

// A mapped file that shrinks, or fails to read, under the decoder faults
// with SIGBUS where a read would have come up short: the run fails as a
// read error would, the input as it is.
extern "C" void on_bus(int) {
  static const char msg[] = "\ndupcut: the input file shrank or could not be read while it was decoded\n";
  (void)!write(2, msg, sizeof msg - 1);
  outfile_remove_on_signal();
  _exit(1);
}

// The stream file mapped read-only: its pages come from the page cache in
// place, where reading it would fill as much fresh memory (zeroed by the
// kernel first) and copy it there; on this machine mapping 256 MiB costs
// 0.01 s against 0.06 to 0.7 s. False when the file cannot be mapped.
bool keep_mapped(dupcut_ctx* c, const driver_files& f, kept_input& k) {
  const uint64_t page = uint64_t(sysconf(_SC_PAGESIZE));
  const uint64_t from = f.keep_at & ~(page - 1);
  k.map_len = k.cap + (f.keep_at - from);
  k.map = mmap(nullptr, k.map_len, PROT_READ, MAP_PRIVATE, f.keep_fd, off_t(from));
  if (k.map == MAP_FAILED || dupcut_set_option(c, DUPCUT_OPTION_STABLE_INPUT, 2) != DUPCUT_DONE) {
    if (k.map != MAP_FAILED) munmap(k.map, k.map_len);
    k.map = nullptr;
    return false;
  }
  static const bool caught = [] {
    struct sigaction sa {};
    sa.sa_handler = on_bus;
    sigemptyset(&sa.sa_mask);
    return sigaction(SIGBUS, &sa, nullptr) == 0;
  }();
  (void)caught;
  madvise(k.map, k.map_len, MADV_SEQUENTIAL);
  k.p = static_cast<uint8_t*>(k.map) + (f.keep_at - from);
  k.on = true;
  return true;
}

// A regular file holding a stream no longer than its window; false
// otherwise, and it is read as usual.
bool keep_file(dupcut_ctx* c, const driver_files& f, kept_input& k) {
  struct stat st;
  if (f.keep_fd < 0 || fstat(f.keep_fd, &st) != 0 || !S_ISREG(st.st_mode) || uint64_t(st.st_size) <= f.keep_at)
    return false;
  uint8_t h[4];
  dupcut_header_info info;
  if (pread(f.keep_fd, h, sizeof h, off_t(f.keep_at)) != ssize_t(sizeof h) ||
      dupcut_probe_header(h, sizeof h, &info) != DUPCUT_DONE)
    return false;
  const uint64_t size = uint64_t(st.st_size) - f.keep_at, window = uint64_t(info.window_mib) << 20;
  if (size > window) return false;
  k.cap = size;
  k.window = window;
  k.file = true;
  if (keep_mapped(c, f, k) || keep_start(c, f, k)) return true;
  k = kept_input{};
  return false;
}

// A stream that is not a regular file: its header is read first for the
// window. The bytes read are handed over in `in`,
// from kept memory or from in_buf. False on a read error.
bool keep_pipe(dupcut_ctx* c, driver_files& f, kept_input& k, dupcut_in_buffer& in, bool& end) {
  uint8_t h[4];
  const size_t n = std::fread(h, 1, sizeof h, f.in);
  if (n < sizeof h && std::ferror(f.in)) return false;
  f.bytes_read += n;
  dupcut_header_info info;
  if (n == sizeof h && dupcut_probe_header(h, sizeof h, &info) == DUPCUT_DONE) {
    // A quarter of the window at most is kept (see kept_input).
    k.window = uint64_t(info.window_mib) << 20;
    k.cap = k.window / 4;
    if (keep_start(c, f, k)) {
      std::memcpy(k.p, h, n);
      k.given = n;
      in = {k.p, n, 0};
      return true;
    }
  }
  std::memcpy(in_buf, h, n);
  in = {in_buf, n, 0};
  end = n < sizeof h;
  return true;
}

// The next piece in kept memory, read here or by ra; 0 at the end of the
// input (or of the file as it was), -1 with errno set on a read error.
ssize_t keep_read(const driver_files& f, kept_input& k, read_ahead* ra) {
  if (ra) {
    int err;
    const uint64_t n = std::min(ra_wait(*ra, k.given, err) - k.given, 4 * keep_piece);
    if (n == 0 && err) errno = err;
    return n == 0 && err ? -1 : ssize_t(n);
  }
  if (k.map) return ssize_t(std::min(keep_piece, k.cap - k.given));
  if (!k.file) {
    const size_t n = std::fread(k.p + k.given, 1, size_t(std::min<uint64_t>(driver_buf_size, k.cap - k.given)), f.in);
    return n == 0 && std::ferror(f.in) ? -1 : ssize_t(n);
  }
  const size_t n = size_t(std::min(keep_piece, k.cap - k.given));
  for (;;) {
    const ssize_t r = pread(f.keep_fd, k.p + k.given, n, off_t(f.keep_at + k.given));
    if (r >= 0 || errno != EINTR) return r;
  }
}

}  // namespace

run_result driver_loop(dupcut_ctx* c, driver_files& f, dupcut_status& status) {
  dupcut_in_buffer in{in_buf, 0, 0};
  bool end = false;
  kept_input k;
  if (!keep_file(c, f, k) && f.keep_pipe && f.keep_fd < 0 && !keep_pipe(c, f, k, in, end)) {
    f.err = errno ? errno : EIO;
    return run_result::read_error;
  }
  const bool kept_file = k.on && k.file;
  static read_ahead ra;
  const bool ahead = kept_file && !k.map && f.threads > 1 && ra_start(ra, f.keep_fd, f.keep_at, k.p, k.cap);
  // The decoder may hold pointers into kept memory until its context is
  // freed; the stream has ended (or failed) by then.
  struct release {
    kept_input& k;
    bool ahead;
    ~release() {
      if (ahead) ra_stop(ra);
      keep_end(k);
    }
  } const release_at_end{k, ahead};
  static write_behind wb;
  const bool behind = f.threads > 1 && wb_start(wb, f.out);
  uint32_t cur = 0;  // the write-behind buffer being filled
  f.obuf = behind ? dupcut_out_buffer{wb.buf[0], write_behind::buf_size, 0} : dupcut_out_buffer{out_buf, driver_buf_size, 0};
  run_result res = run_result::ok;
  bool started = !f.console;  // the start-up line is out, or goes nowhere
  for (;;) {
    status = dupcut_code(c, &f.obuf, &in, end);
    if (!started) started = print_start_line(f.console, c);
    if (k.p && !k.on && !dupcut_input_held(c)) keep_end(k);
    if (status == DUPCUT_NEED_INPUT && k.on && !k.file &&
        (k.given == k.cap || k.given + counters_of(c).data_bytes >= k.window)) {
      // The kept part is full, or kept and restored bytes together would
      // pass the window.
      dupcut_keep_no_more(c);
      k.on = false;
    }
    if (status == DUPCUT_NEED_INPUT && k.on) {
      const ssize_t n = keep_read(f, k, ahead ? &ra : nullptr);
      if (n < 0) {
        f.err = errno ? errno : EIO;
        res = run_result::read_error;
        break;
      }
      in = {k.p + k.given, size_t(n), 0};
      k.given += uint64_t(n);
      prefault_to(k.fill, k.given + keep_lead);
      prefault_skip_to(k.fill, k.given + keep_piece);
      end = n == 0;
      f.bytes_read += uint64_t(n);
    } else if (status == DUPCUT_NEED_INPUT) {
      const size_t n = std::fread(in_buf, 1, driver_buf_size, f.in);
      if (n < driver_buf_size && std::ferror(f.in)) {
        // A read error is not the end of the input.
        f.err = errno ? errno : EIO;
        res = run_result::read_error;
        break;
      }
      end = n == 0;
      f.bytes_read += n;
      in = {in_buf, n, 0};
    } else if (status == DUPCUT_NEED_OUTPUT) {
      if (behind) {
        const int k = wb_swap(wb, cur, f.obuf.pos);
        if (k < 0) break;  // wb_finish tells why
        cur = uint32_t(k);
        f.obuf.dst = wb.buf[cur];
        f.bytes_written = wb_written(wb);
      } else if (!write_all(f, out_buf, f.obuf.pos)) {
        return run_result::write_error;
      }
      f.obuf.pos = 0;
    } else {
      break;
    }
    if (f.prog) progress_tick(*f.prog, f.bytes_read, f.bytes_written);
  }
  // The file offset ends where reading would have left it, for a caller
  // that shares the descriptor (a shell's standard input).
  if (kept_file) lseek(f.keep_fd, off_t(f.keep_at + k.given), SEEK_SET);
  if (!behind)
    return res == run_result::ok && !write_all(f, out_buf, f.obuf.pos) ? run_result::write_error : res;
  // A run cut short by a read error leaves its last buffer unwritten, as
  // it always has.
  const int err = wb_finish(wb, cur, res == run_result::ok ? f.obuf.pos : 0);
  f.bytes_written = wb.written;
  if (err && res == run_result::ok) {
    f.err = err;
    res = run_result::write_error;
  }
  return res;
}

void format_stats(char* buf, size_t size, uint64_t total, uint64_t count) {
  uint64_t q = (10 * total) / count;
  int32_t r = int32_t(uint32_t(q));
  std::snprintf(buf, size, "sum=%i x=%i avglen=%i.%i\n", int32_t(uint32_t(total)), int32_t(uint32_t(count)), r / 10,
                r % 10);
}

namespace {

// One run of the program, from the command line to the exit status.
struct job {
  const char* in_name;
  const char* out_name;
  bool out_std;
  bool in_regular;     // IN is a regular file: its size and mode are known
  struct stat ist;
  std::FILE* in;
  std::FILE* console;  // where the console lines go
  driver_files f;
  run_result res;
  bool decode;
  uint32_t threads;
  dupcut_ctx* ctx;
  dupcut_status status;  // the context's last word
  dupcut_counters cnt;   // its counters at the end
};

// What needs no codec: the standard streams, and a MODE that is a file's
// name when OUT exists too (fewer than three arguments, help and version
// belong to the option form). Returns the exit status, or -1 to go on.
int preliminaries(char** argv) {
  // A standard stream closed by the caller would lend its number to a file
  // opened here, which would then be read as input or take messages. /dev/null
  // opened the wrong way round holds the number and fails as a closed stream.
  for (int fd : {0, 2})
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
  // Every run writes to standard output, the data or the console lines.
  if (fcntl(1, F_GETFD) < 0 && errno == EBADF) return stdout_failed(EBADF);
  // "dupcut a b c" from a gzip habit would encode b over c.
  struct stat st;
  if (std::strcmp(argv[1], "-") != 0 && std::strcmp(argv[3], "-") != 0 && lstat(argv[1], &st) == 0 &&
      lstat(argv[3], &st) == 0) {
    std::fprintf(stderr,
                 "dupcut: '%s' is a file, and '%s' would be replaced: the positional form reads MODE IN OUT; to "
                 "encode files use 'dupcut -z FILE...'\n",
                 argv[1], argv[3]);
    return 1;
  }
  return -1;
}

// CHUNKDIV, ENCMEM and DECMEM, defaults for those not given; false (and a
// message) when one is refused.
bool parse_params(int argc, char** argv, uint32_t params[3]) {
  static const struct {
    const char* name;
    uint32_t max;
  } nums[3] = {{"CHUNKDIV", 65535}, {"ENCMEM", 4095}, {"DECMEM", 4095}};
  for (int i = 0; i < 3 && 4 + i < argc; i++) {
    if (!parse_num(argv[4 + i], nums[i].max, params[i])) {
      std::fprintf(stderr, "dupcut: invalid %s '%s': expected a whole number 1..%u\n", nums[i].name, argv[4 + i],
                   unsigned(nums[i].max));
      return false;
    }
  }
  return true;
}

// Input, numbers, codec and output, in that order; false (and a message)
// at the first that fails.
bool open_job(job& j, int argc, char** argv) {
  const bool decode = argv[1][0] == 'd';
  j.decode = decode;
  j.in_name = argv[2];
  j.out_name = argv[3];
  j.out_std = std::strcmp(j.out_name, "-") == 0;
  j.in = std::strcmp(j.in_name, "-") == 0 ? stdin : std::fopen(j.in_name, "rb");
  if (!j.in) {
    say("cannot open input '%s'", j.in_name, errno);
    return false;
  }
  // A decode takes its numbers from the stream and ignores these.
  uint32_t params[3] = {100, 256, 1024};  // cfg_chunkdiv, encmem MiB, decmem MiB
  if (!decode && !parse_params(argc, argv, params)) return false;
  if (same_file(j.in, j.out_std ? stdout : nullptr, j.out_name)) {
    say("input and output are the same file '%s'", j.out_name, 0);
    return false;
  }
  char err[128];
  j.threads = run_threads(false, 0);
  j.ctx = ctx_new(decode, params[0], params[1], params[2], j.threads, err, sizeof err);
  if (!j.ctx) {
    std::fprintf(stderr, "dupcut: %s\n", err);
    return false;
  }
  j.in_regular = fstat(fileno(j.in), &j.ist) == 0 && S_ISREG(j.ist.st_mode);
  // Armed before the output exists, so no signal finds it unknown.
  catch_stop_signals(on_signal);
  const char* failed;
  // Standard input's bits are not the data's: a new file gets 0666 less the
  // umask, as from a pipe.
  const bool named = j.in != stdin;
  if (int err = outfile_open(out, j.out_name, named && j.in_regular ? int(j.ist.st_mode & 0777) : -1, &failed)) {
    if (failed == j.out_name)
      say("cannot open output '%s'", j.out_name, err);
    else
      say("cannot create temporary file '%s'", failed, err);
    dupcut_free(j.ctx);
    return false;
  }
  return true;
}

// The start-up line and the run itself.
void run_job(job& j) {
  j.console = j.out_std ? stderr : stdout;
  progress_start(run_progress, isatty(2) == 1, j.in_regular ? uint64_t(j.ist.st_size) : 0);
  if (!j.decode) print_setup_line(j.console, j.ctx);
  j.f = driver_files{j.in, out.f, 0, 0, 0, &run_progress, {}, j.threads};
  j.f.keep_pipe = j.decode;
  j.f.console = j.console;
  if (j.decode && j.in_regular) {
    // Nothing has been read through j.in yet.
    const off_t at = ftello(j.in);
    if (at >= 0) j.f.keep_fd = fileno(j.in), j.f.keep_at = uint64_t(at);
  }
  j.res = driver_loop(j.ctx, j.f, j.status);
  if (j.res == run_result::ok && j.status < 0) j.res = run_result::codec_error;
  j.cnt = counters_of(j.ctx);
}

// The output file's fate and the closing line, which is part of the
// result (see outfile_settle). A failed encode leaves nothing: a cut-short
// stream would decode without complaint to a cut-short file. A failed
// decode keeps what it restored, unless that is nothing at all.
settled settle_output(job& j) {
  progress_erase(run_progress);
  // A failed run may have counted no chunk to divide by.
  const bool ok = j.res == run_result::ok;
  char line[128];
  if (ok) format_stats(line, sizeof line, j.cnt.data_bytes, j.cnt.chunks);
  const bool keep_on_failure = j.decode && j.f.bytes_written > 0;
  settled s = outfile_settle(out, ok, keep_on_failure, j.console, ok ? line : nullptr);
  if (s.err) {
    j.f.err = s.err;
    if (!s.line_failed) j.res = run_result::write_error;
  }
  return s;
}

// The summary for a person, or the one message of a failure; the exit status.
int report(const job& j, const settled& s) {
  if (s.ok) {
    progress_summary(run_progress, nullptr, j.f.bytes_read, j.f.bytes_written, j.cnt.data_bytes, j.cnt.match_bytes);
    return 0;
  }
  char msg[PATH_MAX + 160];
  if (s.line_failed)
    std::snprintf(msg, sizeof msg, "cannot write to standard output: %s", std::strerror(j.f.err));
  else if (j.res == run_result::read_error)
    std::snprintf(msg, sizeof msg, "cannot read input '%s': %s", j.in_name, std::strerror(j.f.err));
  else if (j.res == run_result::write_error)
    std::snprintf(msg, sizeof msg, "cannot write output '%s': %s", j.out_name, std::strerror(j.f.err));
  else
    std::snprintf(msg, sizeof msg, "%s", dupcut_error_message(j.ctx));
  if (s.kept)
    std::fprintf(stderr, "dupcut: %s; restored data kept in '%s'\n", msg, s.kept);
  else
    std::fprintf(stderr, "dupcut: %s\n", msg);
  return 1;
}

}  // namespace

int driver_main(int argc, char** argv) {
  if (option_form(argc, argv)) return run_options(argc, argv);
  if (int status = preliminaries(argv); status >= 0) return status;
  // A closed pipe must show up as a write error, not kill us silently.
  std::signal(SIGPIPE, SIG_IGN);
  job j{};
  if (!open_job(j, argc, argv)) return 1;
  run_job(j);
  const int status = report(j, settle_output(j));
  dupcut_free(j.ctx);
  return status;
}

void print_setup_line(std::FILE* to, const dupcut_ctx* c) {
  dupcut_setup u{};
  dupcut_get_setup(c, &u);
  std::fprintf(to, "sizeof(this)=%i cfg_tblsize=%i cfg_decwinsize=%i sizeof(hinf)=%i htbl=%" PRIXPTR "\n",
               int(u.state_size), int(u.table_slots), int(u.window_bytes), int(u.record_size), u.table_address);
}

bool print_start_line(std::FILE* to, const dupcut_ctx* c) {
  dupcut_setup u{};
  if (dupcut_get_setup(c, &u) != DUPCUT_DONE || !u.started) return false;
  std::fprintf(to, "len=%i encmem=%iM decmem=%iM\n", int(u.divisor + 64), int(u.table_bytes >> 20),
               int(u.window_bytes >> 20));
  return true;
}

dupcut_counters counters_of(const dupcut_ctx* c) {
  dupcut_counters n{};
  dupcut_get_counters(c, &n);
  return n;
}

uint32_t run_threads(bool given, uint32_t asked) {
  const char* v = given ? nullptr : std::getenv("DUPCUT_THREADS");
  // Unset, or not a count: one per core.
  if (v && *v >= '0' && *v <= '9') {
    char* end;
    const unsigned long n = std::strtoul(v, &end, 10);
    if (!*end) given = true, asked = uint32_t(std::min(n, 256ul));
  }
  if (!given || asked == 0) asked = std::thread::hardware_concurrency();
  return std::clamp<uint32_t>(asked, 1, 256);
}

dupcut_ctx* ctx_new(bool decode, uint32_t chunkdiv, uint32_t table_mib, uint32_t window_mib, uint32_t threads,
                    char* err, size_t err_size) {
  dupcut_status st;
  dupcut_ctx* c = decode ? dupcut_decoder_create(0, &st) : dupcut_encoder_create(chunkdiv, table_mib, window_mib, &st);
  // The driver refills its input only when asked for more.
  if (c && decode) {
    dupcut_set_option(c, DUPCUT_OPTION_PAST_DAMAGE, 1);
    dupcut_set_option(c, DUPCUT_OPTION_STABLE_INPUT, 1);
  }
  if (c) dupcut_set_option(c, DUPCUT_OPTION_THREADS, threads);
  if (!c && st == DUPCUT_ERROR_MEMORY && !decode)
    std::snprintf(err, err_size, "cannot allocate the chunk table (%" PRIu64 " bytes)",
                  uint64_t(20) * ((uint64_t(table_mib) << 20) / 20));
  else if (!c)
    std::snprintf(err, err_size, "%s", dupcut_status_string(st));
  return c;
}

}  // namespace dupcut
