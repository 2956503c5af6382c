// Appending a task's data to its current log file, and rotating that file by
// size and count under numbered, time-stamped names.
#pragma once

#include "logger/task_table.h"

// Every working path of a rotation fits in a buffer of this size.
constexpr size_t rotate_path_size = 256;

// Appends data[header_bytes .. length) to task->log_path, first rotating the
// file when it has reached RotateSizeMB. Returns 0 when that append succeeded,
// -1 when the task or its log_path is null or the append failed. An error
// that is not transient also stops the daemon (SIGTERM to own_pid, then
// notify_stop); that does not change the result. A length below header_bytes
// appends nothing.
int write_log_file(TaskEntry* task, const char* data, int length);

// Moves the full current file to STEM.1.HHMMSS.dm, every STEM.K.* up one
// number, and deletes the one that would pass RotateCount. The current file
// is kept, and takes more data, when the rotation cannot be completed.
void rotate_file(TaskEntry* task);
