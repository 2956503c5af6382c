// The task status report that -l asks for: one line per task, written by the
// main thread into the status file once the SIGUSR2 handler has recorded the
// request.
#pragma once

#include <stddef.h>
#include <time.h>

struct TaskEntry;

// Writes the status file and the report's debug messages.
void write_status();

// The status line of one task at time now, cut to fit line (size bytes).
void format_status_line(const TaskEntry* task, time_t now, char* line, size_t size);
