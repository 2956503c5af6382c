#include "control/control_commands.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "config/confined_path.h"
#include "control/entry.h"
#include "logger/task_table.h"
#include "msg/error_text.h"
#include "msg/log_msg.h"
#include "platform/fd_io.h"
#include "platform/profile.h"

namespace {

constexpr int status_attempts = 10;
constexpr useconds_t status_retry_us = 10000;

// Another zarnorlith started as -p, -q, -l, -v or with a bad option is a
// control command, however long it lives (a -l waiting for its file), and
// never the daemon; its command line is read the way that process itself
// reads it.
bool starts_daemon(int argc, char* argv[]) { return command_of(argc, argv) == ControlCommand::none; }

}  // namespace

int find_daemon_pid() { return find_daemon_process(runtime_state.own_pid, starts_daemon); }

int read_status_file(const char* path, char* text) {
    memset(text, 0, status_text_size);
    // The daemon writes a regular file; whatever else an app put at the
    // name is not read, and nothing there can hold up the command.
    int fd = open_confined(path, O_RDONLY | O_NONBLOCK);
    if (fd < 0) return -1;
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    // A report of four full lines is longer than the buffer, so the file is
    // read to its end: the buffer keeps what fits, and the terminator is
    // looked for at the true end of the text (its first zero byte or EOF).
    size_t length = 0;
    char tail[3] = {};
    bool ended = false;
    char chunk[4096];
    while (!ended) {
        const ssize_t got = read_retrying(fd, chunk, sizeof chunk);
        if (got <= 0) break;
        for (ssize_t i = 0; i < got; ++i) {
            if (chunk[i] == '\0') {
                ended = true;
                break;
            }
            if (length < status_text_size - 1) text[length] = chunk[i];
            ++length;
            tail[0] = tail[1];
            tail[1] = tail[2];
            tail[2] = chunk[i];
        }
    }
    close(fd);
    if (length < 3 || memcmp(tail, status_terminator, 3) != 0) {
        memset(text, 0, status_text_size);
        return 0;
    }
    size_t body = length - 3;
    if (body < status_text_size - 1) text[body] = '\0';
    return 1;
}

int print_daemon_pid() {
    printf("%d\n", find_daemon_pid());
    return 0;
}

int stop_daemon() {
    int pid = find_daemon_pid();
    if (pid >= 1) kill(pid, SIGTERM);
    return 0;
}

int list_status() {
    int pid = find_daemon_pid();
    if (pid < 1) return 0;
    unlink_confined(platform_profile.status_file);
    kill(pid, SIGUSR2);
    char text[status_text_size];
    for (int attempt = 0;;) {
        memset(text, 0, sizeof text);
        if (attempt == status_attempts) {
            MSG_ERROR("dump status failed, timeout = %d ms\n", status_attempts * 10);
            break;
        }
        int result = read_status_file(platform_profile.status_file, text);
        ++attempt;
        if (result == 1) break;
        if (result == 0) {
            MSG_DEBUG(2, "[%02d/%02d] find pattern failed, retry\n", attempt, status_attempts);
        } else {
            int error = errno;
            MSG_DEBUG(2, "[%02d/%02d] open [%s] failed, error: %s (%d), retry\n", attempt, status_attempts,
                      platform_profile.status_file, error_text(error).text, error);
        }
        usleep(status_retry_us);
    }
    printf("%s\n", text);
    return 0;
}
