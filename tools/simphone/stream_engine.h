// The stream engine: what the simulated modems produce, what a read, a
// request or a mode switch of a diag device does to it, and the thread that
// runs the timed streams, the delayed answers and the trace terminal. Every
// function here is called with state.lock held, except engine_main, which
// takes it itself.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "driver_state.h"

namespace simphone {

// Event line: time kind device handle a b result hex-data ('-' when empty).
// Takes state.records.lock; callable with or without state.lock.
void record_event(DriverState& state, const char* kind, const char* device, uint32_t handle, long long a, long long b,
                  long long result, const std::string& data = std::string());

// Makes the engine look again at its timers and the terminal.
void poke_engine(DriverState& state);

// Tells a client polling the handle to poll again.
void wake_handle(Handle& handle);

// The handle whose file has this number, or null.
Handle* find_handle(DriverState& state, uint64_t id);

// Opens a diag device or a modem node: 0 and the new handle's number in
// *id, or an errno (a modem node that is not there yet).
int open_device(DriverState& state, uint64_t ino, int access, uint32_t* id);

// Forgets the handle; a logging reader stops being one.
void close_device(DriverState& state, Handle& h);

// A read of a diag device through h: an answer first, then the stream, then
// a note of the external modem. Fills *out (empty: nothing to read) or
// returns an errno.
int read_device(DriverState& state, Handle& h, size_t size, std::string* out);

// A request written to a diag device through h; 0 or an errno.
int write_device(DriverState& state, Handle& h, const char* data, size_t size);

// An ioctl of file ino through the open file fh; only the logging-mode
// request of a diag device is known. 0 or an errno.
int ioctl_device(DriverState& state, uint64_t ino, uint64_t fh, unsigned cmd, uintptr_t value, bool compat);

// What a poll of a diag device through h sees, besides POLLOUT.
unsigned poll_device(DriverState& state, const Handle& h);

// Queues one chunk on the stream, if the stream takes it.
void queue_chunk(DriverState& state, Stream& s);

// Notifies the files of /dev/diag that do not log that the external modem
// has data.
void announce_external(DriverState& state);

// Wakes whoever waits for the stream.
void wake_stream_readers(DriverState& state, Stream& s);

// Answers held back on the stream's device are due now.
void release_responses(DriverState& state, const Stream& s);

// The engine thread; arg is the DriverState. Ends once state.stopping is set
// and the engine poked.
void* engine_main(void* arg);

}  // namespace simphone
