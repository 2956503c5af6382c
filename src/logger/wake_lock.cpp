#include "logger/wake_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <paths.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "msg/error_text.h"
#include "msg/log_msg.h"
#include "platform/fd_io.h"
#include "platform/platform.h"

namespace {

// The kernel's two wake-lock files, each with the operation that its
// messages name.
struct LockFile {
    const char* path;
    const char* operation;
};
constexpr LockFile lock_file = {"/sys/power/wake_lock", "acquire_wake_lock"};
constexpr LockFile unlock_file = {"/sys/power/wake_unlock", "release_wake_lock"};

// The kernel takes the whole name in one write or refuses it; a partial name
// would name another lock, so there is no continuation.
int write_lock_file(const LockFile& file, const char* name) {
    int fd = open(file.path, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        MSG_ERROR("%s: open %s failed: %s\n", name, file.path, error_text(errno).text);
        return -1;
    }
    const ssize_t written = write_retrying(fd, name, strlen(name));
    const int error = errno;
    if (written < 0) {
        MSG_ERROR("%s: %s failed, error: %s (%d)\n", name, file.operation, error_text(error).text, error);
    } else {
        MSG_DEBUG(3, "%s: %s successful\n", name, file.operation);
    }
    close(fd);
    errno = error;
    return static_cast<int>(written);
}

// What system() does, but the shell starts with no signal blocked: the
// logger thread that calls this holds the daemon's stop and status signals
// blocked, and system() would hand that mask on to the shell and to am.
// The mask cannot be changed in the calling thread instead, since a stop
// or a status request would then be handled there and not wake the main
// thread. Between fork and exec the child of this multi-threaded process
// makes only async-signal-safe calls. Returns once the command has ended.
void run_shell_command(const char* command) {
    pid_t child = fork();
    if (child == 0) {
        sigset_t none;
        sigemptyset(&none);
        // NOLINTNEXTLINE(concurrency-mt-unsafe): in the forked child, which has one thread
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execl(_PATH_BSHELL, "sh", "-c", command, static_cast<char*>(nullptr));
        _exit(127);
    }
    if (child < 0) return;
    // The daemon's handlers restart an interrupted wait (SA_RESTART); a
    // handler without that flag must not end it before the shell either.
    int status;
    (void)retry_interrupted([&] { return waitpid(child, &status, 0); });
}

bool adb_debugging_on() {
    constexpr size_t property_value_size = 4096;
    char value[property_value_size];
    platform_property_get("persist.service.adb.enable", value, sizeof value, "");
    if (value[0] != '1') {
        platform_property_get("persist.sys.usb.config", value, sizeof value, "");
        if (strstr(value, "adb") != nullptr) value[0] = '1';
    }
    return value[0] == '1';
}

}  // namespace

int acquire_wake_lock(const char* name) { return write_lock_file(lock_file, name); }

int release_wake_lock(const char* name) { return write_lock_file(unlock_file, name); }

void notify_stop(int error) {
    if (!adb_debugging_on()) {
        MSG_DEBUG(1, "do not send notification when adb debugging is off.\n");
        return;
    }
    // The app's receiver of the stop, with the error as the extra ERRNO.
    const char* action = "com.zarn.android.orlith.ORLITH.DAEMON.STOP";
    const char* component = "com.zarn.android.orlith/.ORLITH";
    constexpr size_t command_size = 4096;
    char command[command_size];
    snprintf(command, sizeof command, "am broadcast -a %s -n %s --ei ERRNO %d", action, component, error);
    command[sizeof command - 1] = '\0';
    // Whether the broadcast arrived cannot be known here; am's status is not it.
    run_shell_command(command);
}
