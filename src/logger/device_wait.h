// Where a logger thread waits: for its device to become readable, or for a
// stop request on its wake pipe.
#pragma once

// wake_pipe: the task's two pipe descriptors, read end first. timeout_ms: as
// for poll (-1 waits without limit).
// Returns 1 when fd is readable; 0 when a wake byte was taken (one byte per
// call) or the time ran out; -1 when wake_pipe is null, poll failed (errno
// set, EINTR included) or poll reported only error or hang-up conditions.
int wait_for_data(const int* wake_pipe, int fd, int timeout_ms);

// Whether fd reports a hang-up now, without waiting: a terminal whose other
// side has closed stays readable, yet every read returns 0. A device that
// merely has nothing this time reports no hang-up.
bool device_hung_up(int fd);

// Whether fd has data to read now, without waiting.
bool device_has_data(int fd);
