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
#include "platform/platform.h"

namespace {

constexpr const char* wake_lock_path = "/sys/power/wake_lock";
constexpr const char* wake_unlock_path = "/sys/power/wake_unlock";

constexpr const char* stop_action = "com.zarn.android.orlith.ORLITH.DAEMON.STOP";
constexpr const char* stop_component = "com.zarn.android.orlith/.ORLITH";
constexpr size_t property_value_size = 4096;
constexpr size_t command_size = 4096;

// The kernel takes the whole name in one write or refuses it; a partial name
// would name another lock, so there is no continuation.
int write_lock_file(const char* path, const char* name, const char* operation) {
    int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        MSG_ERROR("%s: open %s failed: %s\n", name, path, error_text(errno).text);
        return -1;
    }
    ssize_t written;
    do {
        written = write(fd, name, strlen(name));
    } while (written < 0 && errno == EINTR);
    const int error = errno;
    if (written < 0) {
        MSG_ERROR("%s: %s failed, error: %s (%d)\n", name, operation, error_text(error).text, error);
    } else {
        MSG_DEBUG(3, "%s: %s successful\n", name, operation);
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
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {}
}

bool adb_debugging_on() {
    char value[property_value_size];
    platform_property_get("persist.service.adb.enable", value, sizeof value, "");
    if (value[0] != '1') {
        platform_property_get("persist.sys.usb.config", value, sizeof value, "");
        if (strstr(value, "adb") != nullptr) value[0] = '1';
    }
    return value[0] == '1';
}

}  // namespace

int acquire_wake_lock(const char* name) { return write_lock_file(wake_lock_path, name, "acquire_wake_lock"); }

int release_wake_lock(const char* name) { return write_lock_file(wake_unlock_path, name, "release_wake_lock"); }

void notify_stop(int error) {
    if (!adb_debugging_on()) {
        MSG_DEBUG(1, "do not send notification when adb debugging is off.\n");
        return;
    }
    char command[command_size];
    snprintf(command, sizeof command, "am broadcast -a %s -n %s --ei ERRNO %d", stop_action, stop_component, error);
    command[sizeof command - 1] = '\0';
    // Whether the broadcast arrived cannot be known here; am's status is not it.
    run_shell_command(command);
}
