// The option form of the command line (dupcut [OPTION...] [FILE...]): runs
// the codec on each file in turn, in the manner of gzip and zstd.
#pragma once

#include <cstdio>

namespace dupcut {

// The whole program for an option-form argv; returns the exit status.
int run_options(int argc, char** argv);

// The text of --help.
void print_help(std::FILE* to);

}  // namespace dupcut
