// Keeping the phone awake while a chunk of modem data is handled.
#pragma once

// Write the lock name into the kernel's wake-lock control file. Return what
// the write returned (the name's length, or -1 with errno), or -1 when the
// control file does not open.
int acquire_wake_lock(const char* name);
int release_wake_lock(const char* name);
