// The run's output file. A regular file is written under a temporary name
// beside it and renamed over it only when the run has succeeded, so a
// failed or interrupted run never changes a file that was there, and the
// output appears complete or not at all, also after a crash. Anything else
// (standard output, /dev/null, a pipe, a terminal) is written to directly.
#pragma once

#include <climits>
#include <csignal>
#include <cstdio>
#include <ctime>

namespace dupcut {

// The signals that stop a run; their handler removes the temporary file.
inline constexpr int stop_signals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM, SIGXFSZ};

struct outfile {
  std::FILE* f;
  bool staged;          // written under temp, not yet under path
  bool existed;         // path named a file before the run
  const char* temp;     // the temporary name while staged
  char path[PATH_MAX];  // where a staged file goes: OUT, or the file a symbolic link OUT points to
  char kept[PATH_MAX];  // where outfile_keep put it
  bool set_times;       // a staged file takes `times` (access, modification)
  timespec times[2];    // when it is closed
};

// Installs handler for the stop signals, except those the caller ignores
// (nohup), each blocking the others while it runs.
void catch_stop_signals(void (*handler)(int));

// Opens name for writing; "-" is standard output. A staged file gets the
// permission bits in_mode, or with in_mode < 0 those of the file it
// replaces, or 0666 less the umask. Returns 0, or an errno value with
// *failed set to the name that could not be opened or created.
int outfile_open(outfile& o, const char* name, int in_mode, const char** failed);

// Writes out what is buffered and closes the file (not standard output);
// durable: a staged file reaches the disk first. Returns 0 or an errno value.
int outfile_close(outfile& o, bool durable);

// Renames a closed staged file over its target and makes the rename
// durable. Returns 0 or an errno value; on failure it stays staged.
int outfile_commit(outfile& o);

// Keeps a closed staged file beside its target, which stays as it is: as
// target.partial if that name is free, else under its temporary name.
// Returns the name.
const char* outfile_keep(outfile& o);

// Removes a staged file.
void outfile_discard(outfile& o);

// The end of a run's output, for both forms of the command line. The file
// is closed, durably when it is to stay; then `line`, if any, is written to
// line_to: a closing line that is part of the result, so a run that cannot
// write it has failed and replaces no file. Then a staged file is renamed
// over its target when the run succeeded, or, for a failed run whose data
// is to be kept (keep_on_failure), under the target when that did not
// exist, else beside it (outfile_keep); otherwise it is removed.
struct settled {
  bool ok;           // the run succeeded, output and line included
  int err;           // errno of a close or rename that failed a good run
  bool line_failed;  // the line could not be written (err tells why)
  bool committed;    // the output is a complete file under its name
  const char* kept;  // where a failed run's data was kept, or null
};
settled outfile_settle(outfile& o, bool ok, bool keep_on_failure, std::FILE* line_to, const char* line);

// Closes and removes what is still open or staged when a run ends early.
struct outfile_guard {
  outfile& o;
  ~outfile_guard() {
    outfile_close(o, false);
    outfile_discard(o);
  }
};

// For a signal handler (async-signal-safe): removes the temporary file.
void outfile_remove_on_signal();

}  // namespace dupcut
