// The control side of the executable: finding a running daemon and talking
// to it through signals and the status file.
#pragma once

#include <stddef.h>

constexpr const char* status_terminator = "\n--";
constexpr size_t status_text_size = 1024;

// PID of the running daemon other than this process, 0 when there is none,
// -1 when it cannot be looked for.
int find_daemon_pid();

// Reads a status file into text (status_text_size bytes). Returns 1 when the
// file ends in the terminator, with text holding what came before it (cut to
// fit), 0 when it is incomplete, -1 when it cannot be opened (errno set).
int read_status_file(const char* path, char* text);

// The -p, -q and -l commands; each returns main's result.
int print_daemon_pid();
int stop_daemon();
int list_status();
