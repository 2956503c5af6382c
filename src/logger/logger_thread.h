// The body of one logger task: mask, then read, batch and write until the
// stop, then the null mask and what is still held.
#pragma once

// Started with the task's own TaskEntry; always returns null.
void* logger_thread(void* task_entry);
