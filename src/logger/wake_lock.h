// Keeping the phone awake while a chunk of modem data is handled, and telling
// the companion application that logging stopped on an error.
#pragma once

// Write the lock name into the kernel's wake-lock control file. Return what
// the write returned (the name's length, or -1 with errno), or -1 when the
// control file does not open.
int acquire_wake_lock(const char* name);
int release_wake_lock(const char* name);

// While adb debugging is on, broadcasts the stop to the companion application
// with the error number as the extra ERRNO, and waits for `am` to end.
void notify_stop(int error);
