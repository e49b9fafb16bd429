#include "driver/cli.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdarg>
#include <cstring>
#include <memory>
#include <string>

#include "driver/driver.h"
#include "driver/options.h"
#include "driver/outfile.h"
#include "driver/probe.h"
#include "driver/progress.h"
#include "driver/sha256.h"
#include "driver/verify.h"

namespace dupcut {

namespace {

// Which progress line to blank when a stop signal ends the run.
progress* live_progress = nullptr;

extern "C" void on_stop(int sig) {
  if (live_progress && live_progress->shown) {
    if (live_progress->tty)
      (void)!write(2, "\r\033[K", 4);
    else
      (void)!write(2, "\n", 1);
  }
  outfile_remove_on_signal();
  _exit(128 + sig);
}

__attribute__((format(printf, 1, 2))) void say(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::fputs("dupcut: ", stderr);
  std::vfprintf(stderr, fmt, ap);
  std::fputc('\n', stderr);
  va_end(ap);
}

const char* err_text(int err) { return std::strerror(err); }

int stdout_done() {
  if (const int err = flush_stdout()) {
    say("cannot write to standard output: %s", err_text(err));
    return 1;
  }
  return 0;
}

// A size as the options take it: whole MiB or KiB.
std::string size_text(uint64_t bytes) {
  return bytes % (1u << 20) == 0 ? std::to_string(bytes >> 20) + " MiB" : std::to_string(bytes >> 10) + " KiB";
}

ssize_t read_some(int fd, void* p, size_t n) {
  for (;;) {
    const ssize_t r = read(fd, p, n);
    if (r >= 0 || errno != EINTR) return r;
  }
}

// Read ahead from an input that is not a regular file, to be encoded: one
// that ends within it has a known size (see open_codec).
constexpr size_t ahead_size = size_t(1) << 20;
uint8_t ahead_buf[ahead_size];

// The input as the driver reads it: first the bytes read ahead (for the
// probe, or to learn a pipe's size), then the rest of the file; every byte
// also goes to the verifier.
struct source {
  int fd;
  uint8_t* head;  // ahead_buf
  size_t head_n;
  size_t head_used;
  verifier* tap;
};

ssize_t source_read(void* cookie, char* buf, size_t size) {
  source& s = *static_cast<source*>(cookie);
  ssize_t n;
  if (s.head_used < s.head_n) {
    n = ssize_t(std::min(size, s.head_n - s.head_used));
    std::memcpy(buf, s.head + s.head_used, size_t(n));
    s.head_used += size_t(n);
  } else {
    // The encoder asks for input: what it made of the input so far is
    // decoded first, which keeps the verifier's queue short.
    if (s.tap) s.tap->catch_up();
    n = read_some(s.fd, buf, size);
  }
  if (n > 0 && s.tap) s.tap->took(reinterpret_cast<const uint8_t*>(buf), size_t(n));
  return n;
}

// Fills head with up to `want` bytes, as far as the input goes; 0 or an
// errno value.
int read_head(source& s, size_t want) {
  while (s.head_n < want) {
    const ssize_t r = read_some(s.fd, s.head + s.head_n, want - s.head_n);
    if (r < 0) return errno;
    if (r == 0) break;
    s.head_n += size_t(r);
  }
  return 0;
}

// Where -t and -l send the restored data: into the digest, if any.
ssize_t sink_write(void* cookie, const char* p, size_t n) {
  if (cookie) static_cast<sha256*>(cookie)->update(p, n);
  return ssize_t(n);
}

// The output of an encoding with --verify: to the file, then to the verifier.
struct tee {
  std::FILE* out;
  verifier* v;
};

ssize_t tee_write(void* cookie, const char* p, size_t n) {
  tee& t = *static_cast<tee*>(cookie);
  if (std::fwrite(p, 1, n, t.out) != n) return -1;
  t.v->written(reinterpret_cast<const uint8_t*>(p), n);
  return ssize_t(n);
}

// Reading, a buffer as large as the driver's lets its 64 KiB reads go
// straight through; unbuffered, stdio would read a byte at a time, and
// setvbuf without a buffer of ours gives 8 KiB. Writing, unbuffered hands
// each of the driver's writes over whole and at once, as the verifier needs.
char in_stdio_buf[driver_buf_size];

std::FILE* open_cookie(void* cookie, const char* mode, cookie_io_functions_t io) {
  std::FILE* f = fopencookie(cookie, mode, io);
  if (f && *mode == 'r') std::setvbuf(f, in_stdio_buf, _IOFBF, driver_buf_size);
  if (f && *mode == 'w') std::setvbuf(f, nullptr, _IONBF, 0);
  return f;
}

// Owners of what a run opens, so that every way out of it closes them.
struct fd_owner {
  int fd = -1;
  ~fd_owner() {
    if (fd > 2) close(fd);  // never a standard stream
  }
};

struct file_owner {
  std::FILE* f = nullptr;
  ~file_owner() { reset(); }
  void reset() {
    if (f) std::fclose(f);
    f = nullptr;
  }
};

struct ctx_owner {
  dupcut_ctx* c = nullptr;
  ~ctx_owner() { dupcut_free(c); }
};

outfile out;

// One input's run, from its name to its report.
struct job {
  std::string name, shown, out_name;  // shown: in messages and reports
  bool in_std = false, out_std = false, in_regular = false;
  struct stat ist {};
  fd_owner fd;
  source src{-1, ahead_buf, 0, 0, nullptr};
  stream_header hdr{};
  bool listed = false;  // a plain listing, done from the header alone
  uint32_t threads = 1;
  ctx_owner codec;
  std::unique_ptr<verifier> check;
  file_owner in;    // a stdio stream over src
  file_owner sink;  // where data goes when it is not out.f: nowhere, or a tee
  tee split{nullptr, nullptr};
  sha256 restored_hash;
  std::FILE* data_out = nullptr;
  driver_files f{};
  run_result res = run_result::ok;
  dupcut_counters n{};
  std::string codec_msg;
  bool verified = true;
  settled end{};
};

struct runner {
  const options& o;
  bool several;  // name the file in the summary
  bool list_head_done = false;
  progress prog{};

  bool decoding() const { return o.mode != run_mode::encode; }
  bool no_output() const { return o.mode == run_mode::test || o.mode == run_mode::list; }

  void list_head(bool full) {
    if (list_head_done) return;
    list_head_done = true;
    if (full)
      std::printf("%7s %8s %9s %14s %14s %10s %6s %7s  %s\n", "divisor", "window", "memory", "stream", "data", "chunks",
                  "ratio", "check", "name");
    else
      std::printf("%7s %8s %9s  %s\n", "divisor", "window", "memory", "name");
  }

  void list_row(const stream_header& h, const std::string& name) {
    char mem[32];
    format_bytes(mem, sizeof mem, h.decoder_memory);
    list_head(false);
    std::printf("%7u %4u MiB %9s  %s\n", unsigned(h.chunkdiv), unsigned(h.window_mib), mem, name.c_str());
  }

  void list_row_full(const stream_header& h, uint64_t stream, uint64_t data, uint64_t chunks, bool damaged,
                     const std::string& name) {
    char mem[32], ratio[16] = "-";
    format_bytes(mem, sizeof mem, h.decoder_memory);
    if (data) std::snprintf(ratio, sizeof ratio, "%.1f%%", 100.0 * double(stream) / double(data));
    list_head(true);
    std::printf("%7u %4u MiB %9s %14" PRIu64 " %14" PRIu64 " %10" PRIu64 " %6s %7s  %s\n", unsigned(h.chunkdiv),
                unsigned(h.window_mib), mem, stream, data, chunks, ratio, damaged ? "damaged" : "ok", name.c_str());
  }

  bool name_output(job& j);
  bool open_input(job& j);
  bool check_output(job& j);
  bool probe_header(job& j);
  bool size_table(job& j, uint32_t& table);
  bool open_codec(job& j);
  bool open_output(job& j);
  bool open_job(job& j);
  void run_job(job& j);
  void settle_output(job& j);
  bool report(job& j);

  // One input; false when it failed (the message is out).
  bool file(const std::string& name) {
    job j;
    j.name = name;
    outfile_guard g{out};  // what an early return leaves open or staged
    if (!open_job(j)) return false;
    if (j.listed) return true;
    run_job(j);
    settle_output(j);
    return report(j);
  }
};

bool runner::name_output(job& j) {
  j.in_std = j.name == "-";
  j.shown = j.in_std ? "standard input" : j.name;
  if (no_output()) return true;
  std::string why;
  if (o.to_stdout || (j.in_std && !o.has_output))
    j.out_name.assign(1, '-');  // not = "-": GCC 12 warns wrongly of overlap
  else if (o.has_output)
    j.out_name = o.output;
  else if (!output_name(j.name, decoding(), j.out_name, why)) {
    say("%s", why.c_str());
    return false;
  }
  j.out_std = j.out_name == "-";
  return true;
}

bool runner::open_input(job& j) {
  const char* name = j.name.c_str();
  // Following a link would write its target's data under the link's name;
  // to standard output or nowhere, nothing is named after it.
  struct stat lst;
  if (!j.in_std && !o.force && !no_output() && !j.out_std && lstat(name, &lst) == 0 && S_ISLNK(lst.st_mode)) {
    say("'%s' is a symbolic link; skipped (use -f to follow it)", name);
    return false;
  }
  j.fd.fd = j.in_std ? 0 : open(name, O_RDONLY | O_CLOEXEC);
  if (j.fd.fd < 0) {
    say("cannot open input '%s': %s", name, err_text(errno));
    return false;
  }
  if (fstat(j.fd.fd, &j.ist) != 0) {
    say("cannot read input '%s': %s", name, err_text(errno));
    return false;
  }
  if (S_ISDIR(j.ist.st_mode)) {
    say("'%s' is a directory", name);
    return false;
  }
  if (decoding() && !o.force && isatty(j.fd.fd) == 1) {
    say("not reading an encoded stream from a terminal (%s); use -f to force", j.shown.c_str());
    return false;
  }
  j.in_regular = S_ISREG(j.ist.st_mode);
  j.src.fd = j.fd.fd;
  return true;
}

bool runner::check_output(job& j) {
  if (no_output()) return true;
  const char* out_name = j.out_name.c_str();
  struct stat st;
  const bool found = j.out_std ? fstat(1, &st) == 0 : stat(out_name, &st) == 0;
  if (found && j.in_regular && S_ISREG(st.st_mode) && st.st_dev == j.ist.st_dev && st.st_ino == j.ist.st_ino) {
    say("input and output are the same file '%s'", out_name);
    return false;
  }
  // Devices and pipes hold no data to lose; a file, or a link to one or to
  // nothing, does.
  struct stat lst;
  if (!j.out_std && !o.force && lstat(out_name, &lst) == 0 && (!found || S_ISREG(st.st_mode))) {
    say("'%s' exists; use -f to overwrite it", out_name);
    return false;
  }
  return true;
}

// A stream's header, read ahead: the warning for other formats, the plain
// listing and the memory cap need nothing more.
bool runner::probe_header(job& j) {
  if (!decoding()) return true;
  const char* shown = j.shown.c_str();
  if (const int err = read_head(j.src, probe_size)) {
    say("cannot read input '%s': %s", j.name.c_str(), err_text(err));
    return false;
  }
  // Such a header can also open a valid stream, so the run goes on.
  if (const char* fmt = foreign_format(j.src.head, j.src.head_n); fmt && o.verbosity >= 1)
    say("%s: looks like a %s file; decompress it first?", shown, fmt);
  j.hdr = read_header(j.src.head, j.src.head_n);
  if (o.mode == run_mode::list && j.hdr.problem) {
    say("%s: %s", shown, j.hdr.problem);
    return false;
  }
  // A plain listing allocates nothing, so the cap has nothing to refuse.
  if (o.mode == run_mode::list && o.verbosity < 2) {
    list_row(j.hdr, j.shown);
    j.listed = true;
    return true;
  }
  if (!j.hdr.problem && o.memory_cap && j.hdr.decoder_memory > o.memory_cap) {
    say("%s: decoding needs %s of memory for the stream's window, more than the %s that -M allows", shown,
        size_text(j.hdr.decoder_memory).c_str(), size_text(o.memory_cap).c_str());
    return false;
  }
  return true;
}

// The table for an encoding: an input of known size needs none larger
// than its chunks fill, and the stream is valid for any decoder either
// way. A pipe's size is known when it ends within the bytes read ahead
// (the encoder's first stage would wait for them anyway); so tar and
// sort, which pipe small inputs through, get a small table too.
bool runner::size_table(job& j, uint32_t& table) {
  table = o.table_mib;
  if (decoding() || o.table_set) return true;
  if (j.in_regular) {
    const off_t at = lseek(j.fd.fd, 0, SEEK_CUR);
    table = table_for_size(at >= 0 && at < j.ist.st_size ? uint64_t(j.ist.st_size - at) : 0, o.chunk);
    return true;
  }
  if (const int err = read_head(j.src, ahead_size)) {
    say("cannot read input '%s': %s", j.name.c_str(), err_text(err));
    return false;
  }
  if (j.src.head_n < ahead_size) table = table_for_size(j.src.head_n, o.chunk);
  return true;
}

bool runner::open_codec(job& j) {
  uint32_t table;
  if (!size_table(j, table)) return false;
  char msg[256];
  j.threads = run_threads(o.threads_set, o.threads);
  j.codec.c = ctx_new(decoding(), o.chunk, table, o.window_mib, j.threads, msg, sizeof msg);
  if (!j.codec.c) {
    say("%s", msg);
    return false;
  }
  if (o.verify) {
    j.check = std::make_unique<verifier>();
    if (!j.check->open(msg, sizeof msg)) {
      say("%s", msg);
      return false;
    }
    j.src.tap = j.check.get();
  }
  j.in.f = open_cookie(&j.src, "r", cookie_io_functions_t{source_read, nullptr, nullptr, nullptr});
  if (!j.in.f) {
    say("cannot read input '%s': %s", j.name.c_str(), err_text(errno));
    return false;
  }
  return true;
}

bool runner::open_output(job& j) {
  if (no_output()) {
    const bool want_hash = o.mode == run_mode::test && o.verbosity >= 2;
    j.sink.f = open_cookie(want_hash ? &j.restored_hash : nullptr, "w",
                           cookie_io_functions_t{nullptr, sink_write, nullptr, nullptr});
    j.data_out = j.sink.f;
  } else {
    const char* out_name = j.out_name.c_str();
    const char* failed;
    // Standard input's bits are not the data's: a new file gets 0666 less
    // the umask, as from a pipe.
    const int mode = j.in_regular && !j.in_std ? int(j.ist.st_mode & 0777) : -1;
    if (const int err = outfile_open(out, out_name, mode, &failed)) {
      if (failed == out_name)
        say("cannot open output '%s': %s", out_name, err_text(err));
      else
        say("cannot create temporary file '%s': %s", failed, err_text(err));
      return false;
    }
    if (!decoding() && !o.force && !out.staged && isatty(fileno(out.f)) == 1) {
      say("not writing an encoded stream to a terminal (%s); use -f to force",
          j.out_std ? "standard output" : out_name);
      return false;
    }
    // A named file's times go to its output, as gzip keeps them.
    if (mode >= 0) {
      out.set_times = true;
      out.times[0] = j.ist.st_atim;
      out.times[1] = j.ist.st_mtim;
    }
    j.data_out = out.f;
    if (j.check) {
      j.split = tee{out.f, j.check.get()};
      j.data_out = j.sink.f = open_cookie(&j.split, "w", cookie_io_functions_t{nullptr, tee_write, nullptr, nullptr});
    }
  }
  if (!j.data_out) {
    say("cannot write output '%s': %s", j.out_name.c_str(), err_text(errno));
    return false;
  }
  return true;
}

// Output name, input, output checks, header, codec and output, in that
// order; false (and a message) at the first that fails.
bool runner::open_job(job& j) {
  if (!name_output(j) || !open_input(j) || !check_output(j) || !probe_header(j)) return false;
  if (j.listed) return true;
  return open_codec(j) && open_output(j);
}

void runner::run_job(job& j) {
  // A listing is a table of its own; the console lines go with the others.
  const bool console_lines = o.verbosity >= 2 && o.mode != run_mode::list;
  progress_start(prog, progress_wanted(o.progress), j.in_regular ? uint64_t(j.ist.st_size) : 0);
  live_progress = &prog;
  if (!decoding() && console_lines) print_setup_line(stderr, j.codec.c);

  // The verifier reads the output buffer as the encoder fills it, and is
  // fed in step with the writes: it needs them on this thread.
  j.f = driver_files{j.in.f, j.data_out, 0, 0, 0, &prog, {}, j.check ? 1 : j.threads};
  j.f.keep_pipe = decoding();
  j.f.console = console_lines ? stderr : nullptr;
  if (decoding() && j.in_regular) {
    // The bytes read ahead for the probe are the file's from here.
    const off_t at = lseek(j.src.fd, 0, SEEK_CUR);
    if (at >= off_t(j.src.head_n)) j.f.keep_fd = j.src.fd, j.f.keep_at = uint64_t(at) - j.src.head_n;
  }
  if (j.check) j.check->follow(&j.f.obuf);
  dupcut_status status;
  j.res = driver_loop(j.codec.c, j.f, status);
  if (j.res == run_result::ok && status < 0) j.res = run_result::codec_error;
  j.codec_msg = dupcut_error_message(j.codec.c);
  j.n = counters_of(j.codec.c);
  j.in.reset();
  j.sink.reset();  // unbuffered: nothing is left to write; out.f stays open
  if (j.check && j.res == run_result::ok) j.verified = j.check->finish();
}

// A failed encode leaves nothing; a failed decode keeps what it restored,
// as the positional form does.
void runner::settle_output(job& j) {
  const bool ok = j.res == run_result::ok && j.verified;
  j.end = settled{ok, 0, false, false, nullptr};
  if (!no_output()) {
    j.end = outfile_settle(out, ok, o.mode == run_mode::decode && j.f.bytes_written > 0, nullptr, nullptr);
    if (j.end.err) {
      j.f.err = j.end.err;
      j.res = run_result::write_error;
    }
  }
  progress_erase(prog);
  live_progress = nullptr;
}

// The closing lines of a run, or its one message; whether it succeeded.
bool runner::report(job& j) {
  const char* shown = j.shown.c_str();
  const bool damaged = j.res == run_result::codec_error;
  if (j.end.ok || (damaged && no_output())) {
    if (o.verbosity >= 2 && o.mode != run_mode::list) {
      char line[128];
      format_stats(line, sizeof line, j.n.data_bytes, j.n.chunks);
      std::fputs(line, stderr);
    }
    if (o.mode == run_mode::test && o.verbosity >= 1)
      std::printf("%s: %" PRIu64 " bytes, %" PRIu64 " chunks, %s\n", shown, j.n.data_bytes, j.n.chunks,
                  damaged ? "damaged" : "ok");
    if (o.mode == run_mode::list) list_row_full(j.hdr, j.f.bytes_read, j.n.data_bytes, j.n.chunks, damaged, j.shown);
  }
  if (j.end.ok) {
    const bool want_hash = o.mode == run_mode::test && o.verbosity >= 2;
    // The restored data's name, so the line reads as sha256sum's would.
    std::string data_name = j.name;
    if (want_hash && !j.in_std) {
      std::string derived, unused;
      if (output_name(j.name, true, derived, unused)) data_name = derived;
    }
    const std::string digest = want_hash ? j.restored_hash.hex() : j.check ? j.check->digest() : "";
    if ((want_hash || j.check) && o.verbosity >= 1) {
      if (digest.empty()) {
        say("%s: cannot compute the SHA-256 digest", shown);
        return false;
      }
      std::fprintf(j.out_std ? stderr : stdout, "%s  %s\n", digest.c_str(), data_name.c_str());
    }
    if (j.check && o.verbosity >= 3)
      say("%s: verified %" PRIu64 " bytes; at most %zu input bytes waited for the decoder", shown, j.n.data_bytes,
          j.check->queue_peak());
    if (o.verbosity >= 1)
      progress_summary(prog, several ? shown : nullptr, j.f.bytes_read, j.f.bytes_written, j.n.data_bytes,
                       j.n.match_bytes);
    // Only once the output is a complete file of its own: never for data
    // sent to standard output or a device.
    if (o.remove_source && j.end.committed && !j.in_std && unlink(j.name.c_str()) != 0) {
      say("cannot remove '%s': %s", j.name.c_str(), err_text(errno));
      return false;
    }
    return true;
  }

  if (!j.verified)
    say("%s: verification failed after %" PRIu64 " restored bytes: %s; output removed", shown,
        j.check->mismatch_at(), j.check->problem().c_str());
  else if (j.res == run_result::read_error)
    say("cannot read input '%s': %s", j.name.c_str(), err_text(j.f.err));
  else if (j.res == run_result::write_error)
    say("cannot write output '%s': %s", j.out_name.c_str(), err_text(j.f.err));
  else if (j.end.kept)
    say("%s: %s; restored data kept in '%s'", shown, j.codec_msg.c_str(), j.end.kept);
  else
    say("%s: %s", shown, j.codec_msg.c_str());
  return false;
}

}  // namespace

void print_help(std::FILE* to) { std::fputs(help_text, to); }

int run_options(int argc, char** argv) {
  // A standard stream closed by the caller would lend its number to a file
  // opened here. /dev/null opened the wrong way round holds the number and
  // fails as a closed stream would.
  for (int fd : {0, 1, 2})
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);

  options o = parse_options(argc, argv);
  if (!o.error.empty()) {
    say("%s", o.error.c_str());
    std::fputs("usage: dupcut [OPTION...] [FILE...]; 'dupcut --help' tells more\n", stderr);
    return 1;
  }
  if (o.help) {
    print_help(stdout);
    return stdout_done();
  }
  if (o.version) {
    std::puts("dupcut " DUPCUT_VERSION);
    return stdout_done();
  }
  if (o.files.empty()) o.files.emplace_back("-");
  if (o.mode == run_mode::encode) {
    // Streams have no end marker: two in a row do not decode.
    size_t to_stdout = 0;
    for (const std::string& f : o.files) to_stdout += o.to_stdout || (f == "-" && !o.has_output);
    if (to_stdout > 1) {
      say("%zu encoded streams to standard output would not decode as one; encode one at a time", to_stdout);
      return 1;
    }
  }

  // A closed pipe must show up as a write error, not kill us silently.
  std::signal(SIGPIPE, SIG_IGN);
  // Armed before any output exists, so no signal finds one unknown.
  catch_stop_signals(on_stop);

  runner r{o, o.files.size() > 1};
  bool all_ok = true;
  for (const std::string& name : o.files) all_ok &= r.file(name);
  if (const int err = flush_stdout(); err && all_ok) {
    say("cannot write to standard output: %s", err_text(err));
    return 1;
  }
  return all_ok ? 0 : 1;
}

}  // namespace dupcut
