// The stream engine: what the simulated modems produce, what a read, a
// request or a mode switch of a diag device does to it, and the thread that
// runs the timed streams, the delayed answers and the trace terminal. Every
// function here is called with state.lock held, except engine_main, which
// takes it itself.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <string>

#include "driver_state.h"

namespace simphone {

// Who asked: the thread the kernel names in the request and its process,
// which a 4.14 driver keys its clients by.
struct Caller {
    pid_t tid = 0;
    pid_t tgid = 0;
};

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
// *id, or an errno (a modem node that is not there yet, a second /dev/diag
// of one process on 4.14).
int open_device(DriverState& state, uint64_t ino, int access, const Caller& caller, uint32_t* id);

// Whether the file is served at all: /dev/diag_mdm only where the
// generation has it.
bool file_exists(const DriverState& state, uint64_t ino);

// A close() of the file. The opener's first close of a 4.14 session that
// did not end with ioctl 9 clears the masks, and true says the close is to
// sleep 3 s.
bool flush_device(DriverState& state, Handle& h, const Caller& caller);

// Forgets the handle; a logging reader stops being one.
void close_device(DriverState& state, Handle& h);

// A read of a diag device through h: an answer first, then the stream, then
// a note of the external modem. Fills *out (empty: nothing to read) or
// returns an errno.
int read_device(DriverState& state, Handle& h, size_t size, std::string* out);

// A request written to a diag device through h: 0 and in *written what
// write() returns, or an errno.
int write_device(DriverState& state, Handle& h, const char* data, size_t size, const Caller& caller, size_t* written);

// An ioctl of file ino through the open file fh: the logging-mode switch of
// a diag device, and ioctl 9 on a named generation. 0 and in *result what
// ioctl() returns, or an errno.
int ioctl_device(DriverState& state, uint64_t ino, uint64_t fh, unsigned cmd, uintptr_t value, bool compat,
                 const Caller& caller, int* result);

// What a poll of a diag device through h sees, besides POLLOUT.
unsigned poll_device(DriverState& state, const Handle& h);

// Queues one chunk on the stream, if the stream takes it.
void queue_chunk(DriverState& state, Stream& s);
// Queues one chunk of exactly `bytes` bytes, header included, if the
// stream takes it.
void queue_sized_chunk(DriverState& state, Stream& s, size_t bytes);
// Queues the modem's signalling samples (signalling_set.h), in chunks of
// whole frames, if the stream takes them.
void queue_signalling(DriverState& state, Stream& s);
// The largest chunk the stream's driver buffers hold, and the largest one
// queue_sized_chunk makes (the apps processor's buffer).
size_t chunk_limit(const DriverState& state, const Stream& s);
size_t sized_chunk_limit(const DriverState& state, const Stream& s);

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
