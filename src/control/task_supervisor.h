// The main thread's part while the daemon logs: set up every device, run
// one logger thread per usable task, wait for the stop, and put it all back.
#pragma once

int open_wake_pipe(int* wake_pipe);
int close_wake_pipe(int* wake_pipe);

struct TaskEntry;
// Whether the task failed because /dev/diag itself is missing: a kernel
// built without the diag driver, which every diag task depends on.
bool diag_driver_missing(const TaskEntry* task);

// Set-up of every entry of the table; failures only exclude the entry.
void set_up_tasks();
// Always 0: the daemon's orderly end.
int run_tasks();
