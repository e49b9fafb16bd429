#include "driver/cli.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
#include "driver/streams.h"
#include "driver/verify.h"
#include "driver/zstd_stage.h"

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

struct zstd_in_owner {
  zstd_in z;
  bool on = false;
  ~zstd_in_owner() { zstd_in_close(z); }
};

struct zstd_out_owner {
  zstd_out z;
  bool on = false;
  ~zstd_out_owner() { zstd_out_close(z); }
};

outfile out;

// One input's run, from its name to its report.
struct job {
  std::string name, shown, out_name;  // shown: in messages and reports
  bool in_std = false, out_std = false, in_regular = false;
  struct stat ist {};
  fd_owner fd;
  source src{-1, ahead_buf, 0, 0, nullptr};
  probed_header hdr{};
  bool listed = false;  // a plain listing, done from the header alone
  uint32_t threads = 1;
  uint32_t zstd_workers = 1;
  ctx_owner codec;
  std::unique_ptr<verifier> check;
  zstd_in_owner unzstd;  // reads src's zstd frames
  zstd_out_owner zstd;   // writes the stream as zstd frames to out.f
  file_owner in;         // a stdio stream over src, or over unzstd
  file_owner zstd_file;  // the stream's way into zstd
  file_owner sink;       // where data goes when it is not out.f: nowhere, or a tee
  tee split{nullptr, nullptr};
  sha256 restored_hash;
  std::FILE* data_out = nullptr;
  driver_files f{};
  run_result res = run_result::ok;
  dupcut_counters n{};
  std::string codec_msg;
  std::string stage_msg;  // zstd's failure, which ends the run too
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

  bool name_output(job& j);
  bool open_input(job& j);
  bool check_output(job& j);
  bool probe_header(job& j);
  bool open_unzstd(job& j);
  bool size_table(job& j, uint32_t& table);
  bool open_codec(job& j);
  bool open_output(job& j);
  bool open_zstd(job& j);
  void finish_zstd(job& j);
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
  else if (!output_name(j.name, decoding(), j.out_name, why, o.zstd_level != 0)) {
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
  if (zstd_frame_start(j.src.head, j.src.head_n)) {
    if (!open_unzstd(j)) return false;
  } else {
    // Such a header can also open a valid stream, so the run goes on.
    if (const char* fmt = foreign_format(j.src.head, j.src.head_n); fmt && o.verbosity >= 1)
      say("%s: looks like a %s file; decompress it first?", shown, fmt);
    j.hdr = {read_header(j.src.head, j.src.head_n)};
  }
  if (o.mode == run_mode::list && j.hdr.problem) {
    say("%s: %s", shown, j.hdr.problem);
    return false;
  }
  // A plain listing allocates nothing, so the cap has nothing to refuse.
  if (o.mode == run_mode::list && o.verbosity < 2) {
    list_row(j.hdr, j.shown, list_head_done);
    j.listed = true;
    return true;
  }
  const uint64_t need = j.hdr.decoder_memory + j.hdr.zstd_memory;
  if (!j.hdr.problem && o.memory_cap && need > o.memory_cap) {
    say("%s: decoding needs %s of memory for the stream's window%s, more than the %s that -M allows", shown,
        size_text(need).c_str(), j.hdr.zstd_memory ? " and zstd's" : "", size_text(o.memory_cap).c_str());
    return false;
  }
  return true;
}

// A stream in zstd frames: zstd's window is held against the cap before
// its decoder takes it, and the stream's header is read from the first
// bytes decompressed.
bool runner::open_unzstd(job& j) {
  const char* shown = j.shown.c_str();
  constexpr size_t frame_header_max = 18;
  if (const int err = read_head(j.src, frame_header_max)) {
    say("cannot read input '%s': %s", j.name.c_str(), err_text(err));
    return false;
  }
  uint64_t window = 0;
  if (!zstd_frame_window(j.src.head, j.src.head_n, window)) {
    say("%s: damaged zstd frame header", shown);
    return false;
  }
  if (o.memory_cap && window > o.memory_cap) {
    say("%s: decoding needs %s of memory for zstd's window, more than the %s that -M allows", shown,
        size_text(window).c_str(), size_text(o.memory_cap).c_str());
    return false;
  }
  char msg[256];
  if (!zstd_in_open(j.unzstd.z, source_read, &j.src, window, msg, sizeof msg)) {
    say("%s: %s", shown, msg);
    return false;
  }
  j.unzstd.on = true;
  j.hdr = {read_header(j.unzstd.z.head, j.unzstd.z.head_n)};
  j.hdr.zstd_memory = j.unzstd.z.memory;
  if (j.hdr.problem && !j.unzstd.z.problem.empty()) j.hdr.problem = j.unzstd.z.problem.c_str();
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
  if (o.zstd_level && !decoding()) {
    const zstd_split s = zstd_share(j.threads);
    j.threads = s.dupcut;
    j.zstd_workers = s.workers;
  }
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
  j.in.f = j.unzstd.on ? open_cookie(&j.unzstd.z, "r", cookie_io_functions_t{zstd_in_read, nullptr, nullptr, nullptr})
                       : open_cookie(&j.src, "r", cookie_io_functions_t{source_read, nullptr, nullptr, nullptr});
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
    if (o.zstd_level && !decoding() && !open_zstd(j)) return false;
    if (j.check && j.data_out) {
      j.split = tee{j.data_out, j.check.get()};
      j.data_out = j.sink.f = open_cookie(&j.split, "w", cookie_io_functions_t{nullptr, tee_write, nullptr, nullptr});
    }
  }
  if (!j.data_out) {
    say("cannot write output '%s': %s", j.out_name.c_str(), err_text(errno));
    return false;
  }
  return true;
}

// The stream's way into zstd, whose frames go to the output file.
bool runner::open_zstd(job& j) {
  char msg[256];
  if (!zstd_out_open(j.zstd.z, out.f, o.zstd_level, j.zstd_workers, o.verify, msg, sizeof msg)) {
    say("%s", msg);
    return false;
  }
  j.zstd.on = true;
  j.data_out = j.zstd_file.f = open_cookie(&j.zstd.z, "w", cookie_io_functions_t{nullptr, zstd_out_write, nullptr, nullptr});
  return true;
}

// zstd's verdict: a damaged or cut frame in the input ends the run as a
// damaged stream does; the frame written is ended, and with --verify
// checked.
void runner::finish_zstd(job& j) {
  if (j.unzstd.on && !j.unzstd.z.problem.empty() && j.res != run_result::read_error) {
    j.res = run_result::codec_error;
    j.codec_msg = j.unzstd.z.problem;
  }
  if (!j.zstd.on) return;
  if (j.res == run_result::ok) {
    const int err = zstd_out_finish(j.zstd.z);
    if (err > 0) {
      j.res = run_result::write_error;
      j.f.err = err;
    }
  }
  if (j.res != run_result::read_error) j.stage_msg = j.zstd.z.problem;
  j.zstd_file.reset();
}

// Output name, input, output checks, header, codec and output, in that
// order; false (and a message) at the first that fails.
bool runner::open_job(job& j) {
  if (!name_output(j) || !open_input(j) || !check_output(j) || !probe_header(j)) return false;
  return j.listed || (open_codec(j) && open_output(j));
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
  if (decoding() && j.in_regular && !j.unzstd.on) {
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
  finish_zstd(j);
  if (j.check && j.res == run_result::ok) j.verified = j.check->finish();
}

// A failed encode leaves nothing; a failed decode keeps what it restored,
// as the positional form does.
void runner::settle_output(job& j) {
  const bool ok = j.res == run_result::ok && j.verified && j.stage_msg.empty();
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
    if (o.mode == run_mode::list)
      list_row_full(j.hdr, j.f.bytes_read, j.n.data_bytes, j.n.chunks, damaged, j.shown, list_head_done);
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
      progress_summary(prog, several ? shown : nullptr, j.f.bytes_read, j.zstd.on ? j.zstd.z.written : j.f.bytes_written,
                       j.n.data_bytes, j.n.match_bytes);
    // Only once the output is a complete file of its own: never for data
    // sent to standard output or a device.
    if (o.remove_source && j.end.committed && !j.in_std && unlink(j.name.c_str()) != 0) {
      say("cannot remove '%s': %s", j.name.c_str(), err_text(errno));
      return false;
    }
    return true;
  }

  if (!j.stage_msg.empty())
    say("%s: %s", shown, j.stage_msg.c_str());
  else if (!j.verified)
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
