// Appending a task's data to its current log file, and rotating that file by
// size and count under numbered, time-stamped names.
#pragma once

#include <stdint.h>

#include "logger/task_table.h"

// Every working path of a rotation fits in a buffer of this size.
constexpr size_t rotate_path_size = 256;

// Appends data[header_bytes .. length) to task->log_path, first rotating the
// file when it has reached RotateSizeMB. Returns 0 when that append succeeded,
// -1 when the task or its log_path is null or the append failed. An error
// that is not transient also stops the daemon (SIGTERM to own_pid, then
// notify_stop); that does not change the result. A length below header_bytes
// appends nothing. With MinFreeMB set, an append that would leave less free
// is not made: that stops the daemon as a full medium (ENOSPC) does.
int write_log_file(TaskEntry* task, const char* data, int length);

// The space of a file system, in bytes. Free is what an app may still use:
// the blocks that only root may take are the phone's own last resort.
struct FreeSpace {
    int64_t free_bytes;
    int64_t total_bytes;
    int64_t block_bytes;
};

// Measures the file system that holds dir: 0, or -1 with errno.
int measure_free_space(const char* dir, FreeSpace* space);

// Every task measures anew at its next append (for a log root that changes
// under the tasks, as between tests).
void forget_free_space();

// Moves the full current file to STEM.1.HHMMSS.dm, every STEM.K.HHMMSS.dm
// up one number, and deletes the one that would pass RotateCount (with
// RotateCount 0 or less, deletes the full file). Only those regular files
// are the task's: nothing else is moved, deleted or replaced. When any move
// cannot be made, none is: every file is kept and the current one takes more
// data. Such a rotation is reported once until a later one succeeds.
void rotate_file(TaskEntry* task);
