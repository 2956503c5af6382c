// Sending a mask file, the request packets that select the modem's log
// items, to a task's device.
#pragma once

#include <stddef.h>

#include "logger/mask_packets.h"
#include "logger/task_table.h"

// Diag tasks: every packet of the file (bytes up to a 0x7E) is written behind
// the type word and one response is read into response (at most
// response_size bytes, and no more than a device read). A packet too long for
// the packet buffer is dropped whole. The tiTrace task takes the file as raw
// chunks without responses, written without blocking. Once the daemon is
// stopping, a modem that does not answer and a terminal that takes nothing
// are waited for only briefly.
// Returns -1 when the mask file does not open or is no regular file (a link,
// a FIFO, a device, a directory), 0 otherwise.
int inject_mask(TaskEntry* task, const char* mask_path, char* response, size_t response_size);

// Whether a configured mask name stays inside the log root it is joined to:
// not absolute, and without a ".." component.
bool mask_name_inside_root(const char* name);
