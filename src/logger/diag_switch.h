// The switch of a diag device's logging mode, in whichever form the kernel's
// driver takes it, and the end of the session it opened.
//
// The oldest drivers take the mode by value. Later ones take a pointer to a
// mode record and, handed a plain number, fail the copy from that address
// with EFAULT and change nothing; the oldest one, handed a pointer, would
// store the address as the mode. So the value goes first, and the record
// only after an EFAULT.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Which modems a record switch covers: the phone's own, and the first
// external one where its data rides the same device.
constexpr uint32_t diag_device_own_modem = 0x1;
constexpr uint32_t diag_device_first_external = 0x2;

// ioctl 7, by value and then, on EFAULT, as a record. Returns the ioctl's
// result (any value from 0 up is a success) or -1 with errno. A record
// switch that succeeds marks the process's driver as one of record form.
int switch_logging_mode(int fd, int mode, uint32_t device_mask);

// Ends the session a record switch made, so that the close that follows does
// not wait for the driver to give up on the client. Nothing on drivers that
// took the switch by value: they have no sessions.
void end_logging_session(int fd);

// What one read of a device asks for, and the batch that collects reads for
// the writer. A record-form driver hands out apps-processor entries of up to
// 32771 bytes, and only whole entries: a read that cannot hold one would get
// nothing for ever. Decided while the tasks are set up, before any logger
// thread exists.
size_t stream_read_size();
size_t stream_batch_size();
