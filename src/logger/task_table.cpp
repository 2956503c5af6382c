#include "logger/task_table.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "logger/diag_device.h"

namespace {

constexpr TaskEntry make_task(const char* name, const char* device_path, const char* file_template, int request,
                              int enable_arg, int disable_arg) {
    return TaskEntry{0, 0,       -1,      {-1, -1}, no_thread,  nullptr,    name, device_path, file_template,
                     0, nullptr, nullptr, request,  enable_arg, disable_arg};
}

const char* const default_external_candidates[] = {"/sdcard2", nullptr};

}  // namespace

constexpr TaskEntry initial_task_table[task_count + 1] = {
    make_task("qxdm7k", "/dev/diag", "qxdm_7k_[_DATETIMESTR_XXXX].dm", diag_ioctl_switch_logging,
              diag_mode_memory_device, diag_mode_usb),
    make_task("qxdm9k", "/dev/diag_mdm", "qxdm_9k_[_DATETIMESTR_XXXX].dm", diag_ioctl_switch_logging,
              diag_mode_memory_device, diag_mode_usb),
    make_task("qxdmExt", "/dev/extdiag", "qxdm_ext_[_DATETIMESTR_XXXX].dm", -1, -1, -1),
    make_task("tiTrace", "ro.muxd.trace_pts_name", "ti_trace_[_DATETIMESTR_XXXX].dm", -1, -1, -1),
    make_task(nullptr, nullptr, nullptr, -1, -1, -1),
};

static_assert(task_count == 4, "task_table holds one copy of each initial entry");
TaskEntry task_table[task_count + 1] = {initial_task_table[0], initial_task_table[1], initial_task_table[2],
                                        initial_task_table[3], initial_task_table[4]};

constexpr DaemonSettings initial_daemon_settings = {
    {}, 1, 64, 10, -1, -1, {}, default_external_candidates,
};
DaemonSettings daemon_settings = initial_daemon_settings;

RuntimeState runtime_state{};

bool task_is(const TaskEntry* task, const char* name) { return task->name != nullptr && strcmp(task->name, name) == 0; }

namespace {
pthread_mutex_t log_path_lock = PTHREAD_MUTEX_INITIALIZER;
std::atomic<int> running_flags[task_count + 1];
}  // namespace

void mark_thread_running(const TaskEntry* task, bool running) { running_flags[task - task_table] = running ? 1 : 0; }

bool thread_running(const TaskEntry* task) { return running_flags[task - task_table] != 0; }

void set_log_path(TaskEntry* task, char* path) {
    pthread_mutex_lock(&log_path_lock);
    char* old = task->log_path;
    task->log_path = path;
    pthread_mutex_unlock(&log_path_lock);
    free(old);
}

bool copy_log_path(const TaskEntry* task, char* out, size_t size) {
    pthread_mutex_lock(&log_path_lock);
    bool present = task->log_path != nullptr;
    if (present) snprintf(out, size, "%s", task->log_path);
    pthread_mutex_unlock(&log_path_lock);
    return present;
}
