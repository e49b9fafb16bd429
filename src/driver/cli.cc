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

#include "codec/codec.h"
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

// The input as the driver reads it: first the bytes read ahead for the
// probe, then the rest of the file; every byte also goes to the verifier.
struct source {
  int fd;
  uint8_t head[probe_size];
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

// Fills head as far as the input goes; 0 or an errno value.
int read_head(source& s) {
  while (s.head_n < probe_size) {
    const ssize_t r = read_some(s.fd, s.head + s.head_n, probe_size - s.head_n);
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
char in_stdio_buf[io_buf_size];

std::FILE* open_cookie(void* cookie, const char* mode, cookie_io_functions_t io) {
  std::FILE* f = fopencookie(cookie, mode, io);
  if (f && *mode == 'r') std::setvbuf(f, in_stdio_buf, _IOFBF, io_buf_size);
  if (f && *mode == 'w') std::setvbuf(f, nullptr, _IONBF, 0);
  return f;
}

class fd_closer {
 public:
  explicit fd_closer(int fd) : fd_(fd) {}
  ~fd_closer() {
    if (fd_ > 2) close(fd_);
  }
  fd_closer(const fd_closer&) = delete;
  fd_closer& operator=(const fd_closer&) = delete;

 private:
  int fd_;
};

struct ctx_closer {
  dupcut_ctx* c;
  ~ctx_closer() { dupcut_free(c); }
};

outfile out;

struct runner {
  const options& o;
  bool list_head_done = false;
  progress prog{};

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

  // One input; false when it failed (the message is out).
  bool file(const std::string& name);
};

bool runner::file(const std::string& name) {
  const bool in_std = name == "-";
  const std::string shown = in_std ? "standard input" : name;  // in messages and reports
  const bool decoding = o.mode != run_mode::encode;
  const bool no_output = o.mode == run_mode::test || o.mode == run_mode::list;

  std::string out_name, why;
  if (!no_output) {
    if (o.to_stdout || (in_std && !o.has_output))
      out_name = "-";
    else if (o.has_output)
      out_name = o.output;
    else if (!output_name(name, decoding, out_name, why)) {
      say("%s", why.c_str());
      return false;
    }
  }
  const bool out_std = out_name == "-";

  const int fd = in_std ? 0 : open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    say("cannot open input '%s': %s", name.c_str(), err_text(errno));
    return false;
  }
  fd_closer close_fd(fd);
  struct stat ist;
  if (fstat(fd, &ist) != 0) {
    say("cannot read input '%s': %s", name.c_str(), err_text(errno));
    return false;
  }
  if (S_ISDIR(ist.st_mode)) {
    say("'%s' is a directory", name.c_str());
    return false;
  }
  if (decoding && !o.force && isatty(fd) == 1) {
    say("not reading an encoded stream from a terminal (%s); use -f to force", shown.c_str());
    return false;
  }
  const bool in_regular = S_ISREG(ist.st_mode);

  if (!no_output) {
    struct stat st;
    const bool found = out_std ? fstat(1, &st) == 0 : stat(out_name.c_str(), &st) == 0;
    if (found && in_regular && S_ISREG(st.st_mode) && st.st_dev == ist.st_dev && st.st_ino == ist.st_ino) {
      say("input and output are the same file '%s'", out_name.c_str());
      return false;
    }
    // Devices and pipes hold no data to lose; a file, or a link to one or to
    // nothing, does.
    struct stat lst;
    if (!out_std && !o.force && lstat(out_name.c_str(), &lst) == 0 && (!found || S_ISREG(st.st_mode))) {
      say("'%s' exists; use -f to overwrite it", out_name.c_str());
      return false;
    }
  }

  source src{fd, {}, 0, 0, nullptr};
  stream_header hdr{};
  if (decoding) {
    if (const int err = read_head(src)) {
      say("cannot read input '%s': %s", name.c_str(), err_text(err));
      return false;
    }
    // Such a header can also open a valid stream, so the run goes on.
    if (const char* fmt = foreign_format(src.head, src.head_n); fmt && o.verbosity >= 1)
      say("%s: looks like a %s file; decompress it first?", shown.c_str(), fmt);
    hdr = read_header(src.head, src.head_n);
    if (o.mode == run_mode::list && hdr.problem) {
      say("%s: %s", shown.c_str(), hdr.problem);
      return false;
    }
    // A plain listing allocates nothing, so the cap has nothing to refuse.
    if (o.mode == run_mode::list && o.verbosity < 2) {
      list_row(hdr, shown);
      return true;
    }
    if (!hdr.problem && o.memory_cap && hdr.decoder_memory > o.memory_cap) {
      say("%s: decoding needs %s of memory for the stream's window, more than the %s that -M allows",
          shown.c_str(), size_text(hdr.decoder_memory).c_str(), size_text(o.memory_cap).c_str());
      return false;
    }
  }

  char msg[256];
  const uint32_t threads = run_threads(o.threads_set, o.threads);
  ctx_closer codec{ctx_new(decoding, o.chunk, o.table_mib, o.window_mib, threads, msg, sizeof msg)};
  if (!codec.c) {
    say("%s", msg);
    return false;
  }
  std::unique_ptr<verifier> check;
  if (o.verify) {
    check = std::make_unique<verifier>();
    if (!check->open(msg, sizeof msg)) {
      say("%s", msg);
      return false;
    }
    src.tap = check.get();
  }
  std::FILE* in = open_cookie(&src, "r", cookie_io_functions_t{source_read, nullptr, nullptr, nullptr});
  if (!in) {
    say("cannot read input '%s': %s", name.c_str(), err_text(errno));
    return false;
  }

  sha256 restored_hash;
  const bool want_hash = o.mode == run_mode::test && o.verbosity >= 2;
  std::FILE* data_out;
  tee split{nullptr, check.get()};
  if (no_output) {
    data_out = open_cookie(want_hash ? &restored_hash : nullptr, "w",
                           cookie_io_functions_t{nullptr, sink_write, nullptr, nullptr});
  } else {
    const char* failed;
    if (const int err = outfile_open(out, out_name.c_str(), in_regular ? int(ist.st_mode & 0777) : -1, &failed)) {
      if (failed == out_name.c_str())
        say("cannot open output '%s': %s", out_name.c_str(), err_text(err));
      else
        say("cannot create temporary file '%s': %s", failed, err_text(err));
      std::fclose(in);
      return false;
    }
    if (!decoding && !o.force && !out.staged && isatty(fileno(out.f)) == 1) {
      say("not writing an encoded stream to a terminal (%s); use -f to force",
          out_std ? "standard output" : out_name.c_str());
      outfile_close(out, false);
      std::fclose(in);
      return false;
    }
    data_out = out.f;
    if (check) {
      split.out = out.f;
      data_out = open_cookie(&split, "w", cookie_io_functions_t{nullptr, tee_write, nullptr, nullptr});
    }
  }
  if (!data_out) {
    const int err = errno;
    if (!no_output) {
      outfile_close(out, false);
      outfile_discard(out);
    }
    std::fclose(in);
    say("cannot write output '%s': %s", out_name.c_str(), err_text(err));
    return false;
  }

  // A listing is a table of its own; the console lines go with the others.
  const bool console_lines = o.verbosity >= 2 && o.mode != run_mode::list;
  set_console(codec.c, console_lines ? stderr : nullptr);
  progress_start(prog, progress_wanted(o.progress), in_regular ? uint64_t(ist.st_size) : 0);
  live_progress = &prog;
  if (!decoding && console_lines) print_setup_line(stderr, codec.c);

  // The verifier reads the output buffer as the encoder fills it, and is
  // fed in step with the writes: it needs them on this thread.
  driver_files f{in, data_out, 0, 0, 0, &prog, {}, check ? 1 : threads};
  f.keep_pipe = decoding;
  if (decoding && in_regular) {
    // The bytes read ahead for the probe are the file's from here.
    const off_t at = lseek(src.fd, 0, SEEK_CUR);
    if (at >= off_t(src.head_n)) f.keep_fd = src.fd, f.keep_at = uint64_t(at) - src.head_n;
  }
  if (check) check->follow(&f.obuf);
  dupcut_status status;
  run_result res = driver_loop(codec.c, f, status);
  if (res == run_result::ok && status < 0) res = run_result::codec_error;
  const std::string codec_msg = dupcut_error_message(codec.c);
  const dupcut_counters n = counters_of(codec.c);
  std::fclose(in);
  if (data_out != out.f) std::fclose(data_out);  // a cookie of ours; out.f stays open

  bool verified = true;
  if (check && res == run_result::ok) verified = check->finish();

  bool ok = res == run_result::ok && verified;
  // A failed encode leaves nothing; a failed decode keeps what it restored,
  // as the positional form does.
  const bool keep_on_failure = o.mode == run_mode::decode && f.bytes_written > 0;
  const char* kept = nullptr;
  bool committed = false;
  if (!no_output) {
    if (const int err = outfile_close(out, ok || keep_on_failure); err && ok) {
      f.err = err;
      res = run_result::write_error;
      ok = false;
    }
    if (out.staged && (ok || (keep_on_failure && !out.existed))) {
      if (const int err = outfile_commit(out); err && ok) {
        f.err = err;
        res = run_result::write_error;
        ok = false;
      } else {
        committed = ok;
      }
    }
    if (out.staged) {
      if (keep_on_failure)
        kept = outfile_keep(out);
      else
        outfile_discard(out);
    }
  }
  progress_erase(prog);
  live_progress = nullptr;

  const bool damaged = res == run_result::codec_error;
  if (ok || (damaged && no_output)) {
    if (console_lines) {
      char line[128];
      format_stats(line, sizeof line, n.data_bytes, n.chunks);
      std::fputs(line, stderr);
    }
    if (o.mode == run_mode::test && o.verbosity >= 1)
      std::printf("%s: %" PRIu64 " bytes, %" PRIu64 " chunks, %s\n", shown.c_str(), n.data_bytes, n.chunks,
                  damaged ? "damaged" : "ok");
    if (o.mode == run_mode::list)
      list_row_full(hdr, f.bytes_read, n.data_bytes, n.chunks, damaged, shown);
  }
  if (ok) {
    // The restored data's name, so the line reads as sha256sum's would.
    std::string data_name = name;
    if (want_hash && !in_std) {
      std::string derived, unused;
      if (output_name(name, true, derived, unused)) data_name = derived;
    }
    const std::string digest = want_hash ? restored_hash.hex() : check ? check->digest() : "";
    if ((want_hash || check) && o.verbosity >= 1) {
      if (digest.empty()) {
        say("%s: cannot compute the SHA-256 digest", shown.c_str());
        return false;
      }
      std::fprintf(out_std ? stderr : stdout, "%s  %s\n", digest.c_str(), data_name.c_str());
    }
    if (check && o.verbosity >= 3)
      say("%s: verified %" PRIu64 " bytes; at most %zu input bytes waited for the decoder", shown.c_str(),
          n.data_bytes, check->queue_peak());
    if (o.verbosity >= 1) progress_summary(prog, f.bytes_read, f.bytes_written, n.data_bytes, n.match_bytes);
    // Only once the output is a complete file of its own: never for data
    // sent to standard output or a device.
    if (o.remove_source && committed && !in_std && unlink(name.c_str()) != 0) {
      say("cannot remove '%s': %s", name.c_str(), err_text(errno));
      return false;
    }
    return true;
  }

  if (!verified)
    say("%s: verification failed after %" PRIu64 " restored bytes: %s; output removed", shown.c_str(),
        check->mismatch_at(), check->problem().c_str());
  else if (res == run_result::read_error)
    say("cannot read input '%s': %s", name.c_str(), err_text(f.err));
  else if (res == run_result::write_error)
    say("cannot write output '%s': %s", out_name.c_str(), err_text(f.err));
  else if (kept)
    say("%s: %s; restored data kept in '%s'", shown.c_str(), codec_msg.c_str(), kept);
  else
    say("%s: %s", shown.c_str(), codec_msg.c_str());
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

  runner r{o};
  bool all_ok = true;
  for (const std::string& name : o.files) all_ok &= r.file(name);
  if (const int err = flush_stdout(); err && all_ok) {
    say("cannot write to standard output: %s", err_text(err));
    return 1;
  }
  return all_ok ? 0 : 1;
}

}  // namespace dupcut
