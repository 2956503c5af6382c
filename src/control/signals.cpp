#include "control/signals.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "control/control_commands.h"
#include "logger/task_table.h"
#include "msg/error_text.h"
#include "msg/log_msg.h"

std::atomic<int> status_requested{0};

namespace {

constexpr int control_signals[] = {SIGTERM, SIGUSR2};
constexpr size_t status_line_size = 256;
constexpr double stale_after_seconds = 5.0;

bool thread_alive(const TaskEntry* task) { return task->thread != no_thread && thread_running(task); }

}  // namespace

int install_handler(int signal_number, void (*handler)(int)) {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = handler;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    return sigaction(signal_number, &action, nullptr) == 0 ? 0 : -1;
}

void hold_control_signals() {
    sigset_t held;
    sigemptyset(&held);
    for (int number : control_signals) sigaddset(&held, number);
    pthread_sigmask(SIG_BLOCK, &held, nullptr);
}

void control_wait_mask(sigset_t* mask) {
    pthread_sigmask(SIG_BLOCK, nullptr, mask);
    for (int number : control_signals) sigdelset(mask, number);
}

int take_daemon_signals() {
    hold_control_signals();
    // SIGALRM too, here rather than in each logger thread: the stop handler
    // sends it to threads that may not have run a single instruction yet.
    static const struct {
        int number;
        void (*handler)(int);
    } handlers[] = {{SIGTERM, stop_tasks}, {SIGUSR2, dump_status}, {SIGALRM, alarm_handler}};
    for (const auto& entry : handlers) {
        if (install_handler(entry.number, entry.handler) != 0) {
            MSG_ERROR("catch signal %d failed!\n", entry.number);
            return -1;
        }
    }
    return 0;
}

int wake_task(const int* wake_pipe) {
    if (wake_pipe == nullptr || wake_pipe[1] == -1) return -1;
    const char byte = ' ';
    ssize_t written;
    do {
        written = write(wake_pipe[1], &byte, 1);
    } while (written < 0 && errno == EINTR);
    return written == 1 ? 0 : -1;
}

void stop_tasks(int) {
    const int saved_errno = errno;
    runtime_state.done = 1;
    for (TaskEntry* task = task_table; task->name != nullptr; ++task) {
        if (task->excluded != 0) continue;
        wake_task(task->wake_pipe);
        if (task->thread != no_thread) pthread_kill(task->thread, SIGALRM);
    }
    errno = saved_errno;
}

void dump_status(int) { status_requested = 1; }

void alarm_handler(int) {}

void format_status_line(const TaskEntry* task, time_t now, char* line, size_t size) {
    const char* device = task->device_path != nullptr ? task->device_path : "";
    char path[status_line_size];
    const double idle = difftime(now, last_data_time(task));
    const int error = task_error(task);
    if (error != 0) {
        snprintf(line, size, "%s: error %d: %s", device, error, error_text(error).text);
    } else if (task->excluded != 0) {
        snprintf(line, size, "%s: excluded", device);
    } else if (!thread_alive(task)) {
        snprintf(line, size, "%s: thread is not running", device);
    } else if (idle > stale_after_seconds) {
        snprintf(line, size, "%s: no data for %.1lf sec", device, idle);
    } else if (copy_log_path(task, path, sizeof path)) {
        snprintf(line, size, "%s: logging to %s", device, path);
    } else {
        snprintf(line, size, "%s: running", device);
    }
}

void write_status() {
    const time_t now = time(nullptr);
    FILE* file = fopen(status_file_path, "wbe");
    MSG_DEBUG(1, "-- task status:\n");
    char line[status_line_size];
    for (const TaskEntry* task = task_table; task->name != nullptr; ++task) {
        format_status_line(task, now, line, sizeof line);
        MSG_DEBUG(1, "%s\n", line);
        if (file != nullptr) fprintf(file, "%s\n", line);
    }
    MSG_DEBUG(1, "--\n");
    if (file != nullptr) {
        fputs("--", file);
        // A report lost here shows as the -l timeout; there is no one else to tell.
        (void)fclose(file);
    }
}
