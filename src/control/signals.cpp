#include "control/signals.h"

#include <errno.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include "logger/task_table.h"
#include "msg/log_msg.h"
#include "platform/fd_io.h"

std::atomic<int> status_requested{0};

namespace {

constexpr int control_signals[] = {SIGTERM, SIGUSR2};

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
    return write_retrying(wake_pipe[1], &byte, 1) == 1 ? 0 : -1;
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
