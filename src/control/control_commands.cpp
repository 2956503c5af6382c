#include "control/control_commands.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "config/confined_path.h"
#include "config/number_text.h"
#include "control/entry.h"
#include "logger/task_table.h"
#include "msg/error_text.h"
#include "msg/log_msg.h"
#include "platform/fd_io.h"

namespace {

constexpr const char* process_name_pattern = " (zarnorlith) ";
constexpr int status_attempts = 10;
constexpr useconds_t status_retry_us = 10000;
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
// daemon. Its command line is read the way that process itself reads it.
// One that cannot be read (the process ended) or is empty (it is ending) is
// no running daemon either.
bool runs_without_command(int pid) {
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
    return command_of(count, words) == ControlCommand::none;
}

bool is_daemon_process(int pid) {
    char line[256];
    snprintf(line, sizeof line - 1, "/proc/%d/stat", pid);
    line[sizeof line - 1] = '\0';
    FILE* stat = fopen(line, "rbe");
    if (stat == nullptr) return false;
    if (fgets(line, sizeof line - 1, stat) == nullptr) line[0] = '\0';
    (void)fclose(stat);
    line[sizeof line - 1] = '\0';
    return strstr(line, process_name_pattern) != nullptr && runs_without_command(pid);
}

}  // namespace

int find_daemon_pid() {
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return -1;
    int found = 0;
    while (struct dirent* entry = readdir(proc)) {
        if (entry->d_type != DT_DIR || !all_digits(entry->d_name)) continue;
        int pid = parse_int(entry->d_name);
        if (pid == runtime_state.own_pid) continue;
        if (is_daemon_process(pid)) {
            found = pid;
            break;
        }
    }
    closedir(proc);
    return found;
}

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
    unlink_confined(status_file_path);
    kill(pid, SIGUSR2);
    char text[status_text_size];
    for (int attempt = 0;;) {
        memset(text, 0, sizeof text);
        if (attempt == status_attempts) {
            MSG_ERROR("dump status failed, timeout = %d ms\n", status_attempts * 10);
            break;
        }
        int result = read_status_file(status_file_path, text);
        ++attempt;
        if (result == 1) break;
        if (result == 0) {
            MSG_DEBUG(2, "[%02d/%02d] find pattern failed, retry\n", attempt, status_attempts);
        } else {
            int error = errno;
            MSG_DEBUG(2, "[%02d/%02d] open [%s] failed, error: %s (%d), retry\n", attempt, status_attempts,
                      status_file_path, error_text(error).text, error);
        }
        usleep(status_retry_us);
    }
    printf("%s\n", text);
    return 0;
}
