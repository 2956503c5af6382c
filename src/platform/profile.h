// How the daemon is installed on the phone, chosen when it is built: the
// files and properties it uses, how a running daemon is found and how it
// tells that it stopped. One source per profile (legacy_profile.cpp,
// vendor_profile.cpp) defines everything declared here; the rest of the
// daemon reads these fields and never asks which profile it is.
//
// legacy: the system image of the older phones: root, the companion app's
//   own folder, the SD card, a broadcast through `am`.
// vendor: a vendor daemon of current Android, which SELinux keeps out of app
//   data, shared storage and the system's programs: everything lives in its
//   own folder under /data/vendor and its state is a vendor property.
#pragma once

#include <sys/types.h>

struct PlatformProfile {
    const char* name;
    // The folder that holds the configuration and the status file, and the
    // start of every confined walk into it: a folder only the system can
    // change, opened as the system resolves it.
    const char* data_folder;
    const char* confined_base;
    const char* config_file;
    const char* status_file;
    // The log root that the storage keywords stand for, and the folder every
    // StoragePath must lie beneath; null: the keywords name the external
    // storage, and any absolute path may be given.
    const char* log_root;
    const char* storage_bound;
    // Properties the daemon reads.
    const char* debug_property;
    const char* trace_pts_property;
    // Where the boot mode comes from: the kernel command line (a file), or
    // else a property; the other one is null.
    const char* kernel_cmdline;
    const char* boot_mode_property;
    // Whether a manufacturing boot (its own log root on the SD card) is run.
    bool mfg_boot;
};

extern const PlatformProfile platform_profile;

// Whether another process's command line, split into words, starts the
// daemon rather than a control command.
using DaemonCommandTest = bool (*)(int argc, char* argv[]);

// The pid of the running daemon other than self: 0 when none runs, -1 when
// it cannot be looked for (errno set).
int find_daemon_process(pid_t self, DaemonCommandTest runs_daemon);

// Makes the calling process the one daemon, before it touches any device:
// 0, or -1 with errno (EEXIST: another one runs, its pid in *running). What
// it holds lasts until the process ends.
int claim_daemon(pid_t self, int* running);

// The daemon's state, for whoever watches it: "running" once the tasks run,
// "stopped" at a clean end. Failures are ignored.
void report_state(const char* state);

// Logging stopped on an error: tells the companion application (the error
// number is what it is given), and waits for that to be done.
void notify_stop(int error);
