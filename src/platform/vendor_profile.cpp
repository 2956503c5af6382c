// The vendor daemon of current Android (8 and later): init starts it in the
// foreground as the system user, SELinux keeps it out of app data, shared
// storage and the system's programs, so everything it keeps lies in its own
// folder under /data/vendor. It cannot read other processes' /proc entries:
// it is found through a PID file it holds locked while it lives. An app
// learns how it ended from a vendor property, as `am` cannot run.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

#include "config/confined_path.h"
#include "platform/fd_io.h"
#include "platform/platform.h"
#include "platform/profile.h"

extern const PlatformProfile platform_profile = {
    "vendor",
    "/data/vendor/orlith",
    "/data/vendor",
    "/data/vendor/orlith/orlith.conf",
    "/data/vendor/orlith/.orlith.stat",
    "/data/vendor/orlith/logs",
    "/data/vendor/orlith",
    "persist.vendor.orlith.debug",
    "vendor.orlith.trace_pts",
    nullptr,
    "ro.boot.mode",
    false,
};

namespace {

constexpr const char* pid_file = "/data/vendor/orlith/zarnorlith.pid";
constexpr const char* state_property = "vendor.orlith.state";

// Held for the life of the daemon: its lock says the daemon lives.
int pid_file_fd = -1;
// An error's state is what the app is to see at the end, not "stopped".
std::atomic<bool> error_reported{false};

// The pid in the PID file while a process holds the file locked; 0 when the
// file is missing or nobody holds it (a daemon that ended leaves it so).
int locked_pid() {
    const int fd = open_confined(pid_file, O_RDONLY | O_NONBLOCK);
    if (fd < 0) return errno == ENOENT ? 0 : -1;
    struct stat info;
    int pid = 0;
    if (fstat(fd, &info) != 0) {
        pid = -1;
    } else if (S_ISREG(info.st_mode) && retry_interrupted([&] { return flock(fd, LOCK_SH | LOCK_NB); }) != 0) {
        if (errno == EWOULDBLOCK) {
            char text[16] = {};
            const ssize_t got = read_retrying(fd, text, sizeof text - 1);
            pid = got > 0 ? static_cast<int>(strtol(text, nullptr, 10)) : 0;
            // A file that says nothing sensible is a daemon not yet known.
            if (pid < 1) pid = 0;
        } else {
            pid = -1;
        }
    }
    const int error = errno;
    close(fd);
    errno = error;
    return pid;
}

}  // namespace

int find_daemon_process(pid_t self, DaemonCommandTest) {
    const int pid = locked_pid();
    return pid == self ? 0 : pid;
}

int claim_daemon(pid_t self, int* running) {
    *running = 0;
    // Two daemons that start at once take turns on the folder; the second
    // then finds the first one's file locked.
    const int folder = open_confined(platform_profile.data_folder, O_RDONLY | O_DIRECTORY | O_NONBLOCK);
    if (folder < 0) return -1;
    int result = -1;
    int error = EEXIST;
    if (retry_interrupted([&] { return flock(folder, LOCK_EX | LOCK_NB); }) == 0) {
        *running = locked_pid();
        if (*running == 0) {
            char text[16];
            const int length = snprintf(text, sizeof text, "%d\n", static_cast<int>(self));
            pid_file_fd = replace_confined(pid_file, text, static_cast<size_t>(length), true);
            result = pid_file_fd >= 0 ? 0 : -1;
            error = errno;
        } else if (*running < 0) {
            *running = 0;
            error = errno;
        }
    }
    close(folder);
    errno = error;
    return result;
}

void report_state(const char* state) {
    if (error_reported && strcmp(state, "stopped") == 0) return;
    platform_property_set(state_property, state);
}

void notify_stop(int error) {
    char state[32];
    snprintf(state, sizeof state, "error %d", error);
    error_reported = true;
    platform_property_set(state_property, state);
}
