// The driver's orders, one line each on its standard input: one table gives
// each command its handler and its line of help.
#pragma once

#include <stdio.h>

#include <string>

#include "driver_state.h"

namespace simphone {

// Carries out one order; the reply is "ok" with any figures, or "err" and
// why. *quit is set by "quit".
std::string run_command(DriverState& state, const std::string& line, bool* quit);

// One line per command.
void print_commands(FILE* out);

}  // namespace simphone
