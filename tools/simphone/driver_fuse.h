// The driver's files as FUSE file systems: the diag devices and the modem
// nodes in one, served by one thread in the order the kernel queues the
// requests; each wake-lock file has a mount of its own over its name, with a
// thread of its own, so that a wake-lock write never waits behind the
// stream's reads, as on a phone, where sysfs does not wait for the diag
// driver.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <set>
#include <string>

#include "driver_state.h"

struct fuse_session;

namespace simphone {

// One mounted file system and the thread that serves it.
struct Mount {
    fuse_session* session = nullptr;
    pthread_t thread{};
    bool serving = false;
    std::string path;
    bool have_device = false;  // device is the mount's, for aborting its connection
    dev_t device = 0;
};

// What a mount serves: the main one the directory of every file, a
// wake-lock mount the one file that is its root.
struct MountRoot {
    DriverState* state = nullptr;
    Inode root = ino_root;
};

// The main mount, then the wake-lock ones.
struct FileServer {
    Mount mounts[3];
    MountRoot roots[3];
};

// Mounts the files at mountpoint and starts serving them; false (with a
// message on stderr) when they cannot be mounted. Where a wake-lock file
// cannot have a mount of its own, the main one serves it.
bool start_serving(DriverState& state, const std::string& mountpoint, FileServer* server);

// Ends the sessions and unmounts. A client that still holds a file is
// answered with ENOTCONN instead of a hang. False when the serving threads
// did not end in time.
bool stop_serving(FileServer& server);

// The wake locks held now.
std::set<std::string> wake_locks_held(DriverState& state);

}  // namespace simphone
