// The system-image daemon of the older phones: it runs as root, reads its
// configuration from the companion app's own folder, logs to the SD card,
// is found among the processes by name, and tells the app of a stop through
// a broadcast.
#include <dirent.h>
#include <fcntl.h>
#include <paths.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "msg/log_msg.h"
#include "platform/fd_io.h"
#include "platform/platform.h"
#include "platform/profile.h"

extern const PlatformProfile platform_profile = {
    "legacy",
    "/data/data/com.zarn.android.orlith/data",
    "/data/data",
    "/data/data/com.zarn.android.orlith/data/orlith.conf",
    "/data/data/com.zarn.android.orlith/data/.orlith.stat",
    nullptr,
    nullptr,
    "debugtool.anrhistory",
    "ro.muxd.trace_pts_name",
    "/proc/cmdline",
    nullptr,
    true,
};

namespace {

constexpr const char* process_name_pattern = " (zarnorlith) ";
constexpr size_t cmdline_text_size = 1024;
constexpr int cmdline_word_limit = 64;

bool all_digits(const char* name) {
    if (*name == '\0') return false;
    for (; *name != '\0'; ++name) {
        if (*name < '0' || *name > '9') return false;
    }
    return true;
}

// Whether the process runs without a control command: another zarnorlith
// that was started as -p, -q, -l, -v or with a bad option is a control
// command, however long it lives (a -l waiting for its file), and never the
// daemon. One whose command line cannot be read (the process ended) or is
// empty (it is ending) is no running daemon either.
bool runs_daemon_command(int pid, DaemonCommandTest runs_daemon) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/cmdline", pid);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    // One read returns as much of the command line as fits; a longer one is
    // judged by the words that fit.
    char text[cmdline_text_size];
    ssize_t got = read_retrying(fd, text, sizeof text - 1);
    close(fd);
    if (got <= 0) return false;
    text[got] = '\0';
    char* words[cmdline_word_limit + 1];
    int count = 0;
    for (char* word = text; word < text + got && count < cmdline_word_limit; word += strlen(word) + 1) {
        words[count++] = word;
    }
    words[count] = nullptr;
    return runs_daemon(count, words);
}

bool is_daemon_process(int pid, DaemonCommandTest runs_daemon) {
    char line[256];
    snprintf(line, sizeof line - 1, "/proc/%d/stat", pid);
    line[sizeof line - 1] = '\0';
    FILE* stat = fopen(line, "rbe");
    if (stat == nullptr) return false;
    if (fgets(line, sizeof line - 1, stat) == nullptr) line[0] = '\0';
    (void)fclose(stat);
    line[sizeof line - 1] = '\0';
    return strstr(line, process_name_pattern) != nullptr && runs_daemon_command(pid, runs_daemon);
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

int find_daemon_process(pid_t self, DaemonCommandTest runs_daemon) {
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return -1;
    int found = 0;
    while (struct dirent* entry = readdir(proc)) {
        if (entry->d_type != DT_DIR || !all_digits(entry->d_name)) continue;
        int pid = static_cast<int>(strtol(entry->d_name, nullptr, 10));
        if (pid == self) continue;
        if (is_daemon_process(pid, runs_daemon)) {
            found = pid;
            break;
        }
    }
    closedir(proc);
    return found;
}

// The look among the processes before the start is the only guard.
int claim_daemon(pid_t, int*) { return 0; }

// The app learns of a stop only from the broadcast.
void report_state(const char*) {}

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
