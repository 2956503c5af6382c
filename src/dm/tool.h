// orlith-dm's commands: the whole tool but its main, so that tests and the
// simulated phone's demo run it in-process.
#pragma once

#include <stdio.h>

namespace dm {

constexpr int exit_ok = 0;
constexpr int exit_bad = 1;    // a bad frame, a flagged mask request
constexpr int exit_usage = 2;  // and I/O errors

// argv[0] is the tool's name, argv[1] the command.
int tool_main(int argc, const char* const* argv, FILE* out, FILE* err);

}  // namespace dm
