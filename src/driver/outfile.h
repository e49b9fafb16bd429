// The run's output file. A regular file is written under a temporary name
// beside it and renamed over it only when the run has succeeded, so a
// failed or interrupted run never changes a file that was there, and the
// output appears complete or not at all, also after a crash. Anything else
// (standard output, /dev/null, a pipe, a terminal) is written to directly.
#pragma once

#include <climits>
#include <csignal>
#include <cstdio>

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

// For a signal handler (async-signal-safe): removes the temporary file.
void outfile_remove_on_signal();

}  // namespace dupcut
