#include "driver/outfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace dupcut {

namespace {

// The temporary name as the signal handler sees it; armed exactly while a
// file of ours exists under that name.
char temp_name[PATH_MAX];
volatile sig_atomic_t temp_armed = 0;

// Creating, renaming and removing the temporary file happen with the stop
// signals held back, so the handler never meets a file it does not know of,
// nor removes a name that is no longer ours.
class hold_signals {
 public:
  hold_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : stop_signals) sigaddset(&set, s);
    sigprocmask(SIG_BLOCK, &set, &old_);
  }
  ~hold_signals() {
    const int e = errno;
    sigprocmask(SIG_SETMASK, &old_, nullptr);
    errno = e;
  }

 private:
  sigset_t old_;
};

// A rename is on disk only once its directory is.
void sync_dir_of(const char* path) {
  char dir[PATH_MAX];
  const char* slash = std::strrchr(path, '/');
  if (!slash) {
    std::strcpy(dir, ".");
  } else {
    const size_t n = slash == path ? 1 : size_t(slash - path);
    std::memcpy(dir, path, n);
    dir[n] = '\0';
  }
  const int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  // The file is in place already; a file system that cannot sync a
  // directory is no reason to call the run failed.
  (void)fsync(fd);
  close(fd);
}

mode_t new_file_mode() {
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

}  // namespace

void catch_stop_signals(void (*handler)(int)) {
  struct sigaction sa {};
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  for (int s : stop_signals) sigaddset(&sa.sa_mask, s);
  for (int s : stop_signals) {
    struct sigaction old {};
    if (sigaction(s, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    sigaction(s, &sa, nullptr);
  }
}

int outfile_open(outfile& o, const char* name, int in_mode, const char** failed) {
  o.f = nullptr;
  o.staged = o.existed = false;
  o.temp = nullptr;
  o.path[0] = o.kept[0] = '\0';
  o.set_times = false;
  *failed = name;
  if (std::strcmp(name, "-") == 0) {
    o.f = stdout;
    return 0;
  }
  struct stat st;
  const int stat_err = stat(name, &st) == 0 ? 0 : errno;
  const size_t len = std::strlen(name);
  const bool stage = stat_err == 0 ? S_ISREG(st.st_mode) : stat_err == ENOENT && len > 0 && name[len - 1] != '/';
  if (!stage) {
    o.f = std::fopen(name, "wb");
    return o.f ? 0 : errno;
  }

  struct stat lst;
  if (lstat(name, &lst) == 0 && S_ISLNK(lst.st_mode)) {
    // Replace the file the link points to and keep the link, as writing
    // through it would; a link to nothing points to no file to replace.
    if (stat_err) return stat_err;
    if (!realpath(name, o.path)) return errno;
  } else {
    if (len >= sizeof o.path) return ENAMETOOLONG;
    std::memcpy(o.path, name, len + 1);
  }
  o.existed = stat_err == 0;
  const mode_t mode = in_mode >= 0 ? mode_t(in_mode) : o.existed ? st.st_mode & 0777 : new_file_mode();

  // ".NAME.XXXXXX" in the target's directory, so the rename stays on one
  // file system; NAME is shortened if the whole would be too long a name.
  const char* base = std::strrchr(o.path, '/');
  base = base ? base + 1 : o.path;
  const size_t dir_len = size_t(base - o.path);
  const size_t base_len = std::min(std::strlen(base), size_t(NAME_MAX - 8));
  if (dir_len + base_len + 9 > sizeof temp_name) return ENAMETOOLONG;

  int fd;
  {
    hold_signals hold;
    char* t = temp_name;
    std::memcpy(t, o.path, dir_len);
    t += dir_len;
    *t++ = '.';
    std::memcpy(t, base, base_len);
    std::memcpy(t + base_len, ".XXXXXX", 8);
    fd = mkstemp(temp_name);
    if (fd < 0) {
      *failed = temp_name;
      return errno;
    }
    temp_armed = 1;
  }
  o.staged = true;
  o.temp = temp_name;
  // mkstemp makes the file private (0600); the output gets the bits it
  // should have before any data is in it.
  if (fchmod(fd, mode) != 0 || !(o.f = fdopen(fd, "wb"))) {
    const int err = errno;
    close(fd);
    outfile_discard(o);
    return err;
  }
  return 0;
}

int outfile_close(outfile& o, bool durable) {
  if (!o.f) return 0;
  int err = std::fflush(o.f) == 0 ? 0 : errno;
  // After the last write, which would set the time again.
  if (!err && o.staged && o.set_times && futimens(fileno(o.f), o.times) != 0) err = errno;
  if (!err && o.staged && durable && fsync(fileno(o.f)) != 0) err = errno;
  if (o.f != stdout && std::fclose(o.f) != 0 && !err) err = errno;
  o.f = nullptr;
  return err;
}

int outfile_commit(outfile& o) {
  {
    hold_signals hold;
    if (rename(o.temp, o.path) != 0) return errno;
    temp_armed = 0;
  }
  o.staged = false;
  sync_dir_of(o.path);
  return 0;
}

const char* outfile_keep(outfile& o) {
  // link() never replaces a file, as rename() would.
  const int n = std::snprintf(o.kept, sizeof o.kept, "%s.partial", o.path);
  {
    hold_signals hold;
    if (n > 0 && size_t(n) < sizeof o.kept && link(o.temp, o.kept) == 0)
      unlink(o.temp);
    else
      std::strcpy(o.kept, o.temp);
    temp_armed = 0;
  }
  o.staged = false;
  return o.kept;
}

void outfile_discard(outfile& o) {
  if (!o.staged) return;
  if (o.f) std::fclose(o.f);
  o.f = nullptr;
  hold_signals hold;
  unlink(o.temp);
  temp_armed = 0;
  o.staged = false;
}

settled outfile_settle(outfile& o, bool ok, bool keep_on_failure, std::FILE* line_to, const char* line) {
  settled r{ok, 0, false, false, nullptr};
  o.set_times = o.set_times && ok;  // a failed run's data is not the input's
  if (const int err = outfile_close(o, ok || keep_on_failure); err && r.ok) {
    r.err = err;
    r.ok = false;
  }
  if (r.ok && line) {
    std::fputs(line, line_to);
    // Nobody is there to tell of a failed write to standard error.
    errno = 0;
    if (line_to == stdout && (std::fflush(stdout) != 0 || std::ferror(stdout))) {
      r.err = errno ? errno : EIO;
      r.line_failed = true;
      r.ok = false;
    }
  }
  if (o.staged && (r.ok || (keep_on_failure && !o.existed))) {
    if (const int err = outfile_commit(o); err && r.ok) {
      r.err = err;
      r.ok = false;
    } else {
      r.committed = r.ok;
    }
  }
  if (o.staged) {
    if (keep_on_failure)
      r.kept = outfile_keep(o);
    else
      outfile_discard(o);
  }
  return r;
}

void outfile_remove_on_signal() {
  if (temp_armed) unlink(temp_name);
}

}  // namespace dupcut
