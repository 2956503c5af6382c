#include "control/task_supervisor.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "control/signals.h"
#include "control/status_report.h"
#include "logger/diag_device.h"
#include "logger/diag_switch.h"
#include "logger/logger_thread.h"
#include "logger/task_table.h"
#include "msg/error_text.h"
#include "msg/log_msg.h"
#include "platform/platform.h"
#include "platform/profile.h"

namespace {

constexpr time_t supervision_step_seconds = 3600;

// Raw mode as cfmakeraw makes it, control characters left as they are.
constexpr uint32_t raw_clear_input = IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON;
constexpr uint32_t raw_clear_output = OPOST;
constexpr uint32_t raw_clear_local = ECHO | ECHONL | ICANON | ISIG | IEXTEN;
constexpr uint32_t raw_clear_control = CSIZE | PARENB;
constexpr uint32_t raw_set_control = CS8;
// The flags go to the kernel's own attributes (KernelTermios); these are the
// values it knows them by.
static_assert(raw_clear_input == 0x5eb && raw_clear_output == 0x1 && raw_clear_local == 0x804b &&
                  raw_clear_control == 0x130 && raw_set_control == 0x30,
              "the kernel's termios flag values");
constexpr unsigned long request_get_attributes = 0x5401;  // TCGETS
constexpr unsigned long request_set_attributes = 0x5402;  // TCSETS

void close_fd(int* fd) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
}

// A shared control descriptor is qxdm7k's, which closes it.
void close_control_device() {
    if (daemon_settings.ext_ctrl_shared != 0) {
        daemon_settings.ext_ctrl_fd = -1;
        daemon_settings.ext_ctrl_shared = 0;
        return;
    }
    close_fd(&daemon_settings.ext_ctrl_fd);
}

// The modems a task's switch covers.
uint32_t switched_modems(const TaskEntry* task) {
    if (task_is(task, task_qxdm_9k)) return diag_device_own_modem;
    return diag_device_own_modem | diag_device_first_external;
}

void free_text(char** text) {
    free(*text);
    *text = nullptr;
}

// Undoes what set-up had opened for the entry and excludes it.
void exclude(TaskEntry* task) {
    close_wake_pipe(task->wake_pipe);
    close_fd(&task->device_fd);
    task->excluded = 1;
}

void resolve_device_path(TaskEntry* task) {
    char property_value[256];
    const char* path = task->device_path;
    if (path[0] != '/') {
        // The trace terminal, named by a property: the one of this build's
        // profile, and the name of that property while it is unset.
        const char* key = platform_profile.trace_pts_property;
        platform_property_get(key, property_value, sizeof property_value, key);
        path = property_value;
    }
    task->device_path = strdup(path);
    if (task->device_path == nullptr) task->device_path = "";
}

void switch_to_raw_mode(TaskEntry* task) {
    MSG_DEBUG(1, "%s: ignore: ioctl %s (%d)\n", task->name, task->device_path, task->device_fd);
    MSG_DEBUG(1, "%s: switch %s (%d) to raw mode\n", task->name, task->device_path, task->device_fd);
    KernelTermios& attrs = runtime_state.tty_attrs;
    ioctl(task->device_fd, request_get_attributes, &attrs);
    attrs.c_iflag &= ~raw_clear_input;
    attrs.c_oflag &= ~raw_clear_output;
    attrs.c_lflag &= ~raw_clear_local;
    attrs.c_cflag &= ~raw_clear_control;
    attrs.c_cflag |= raw_set_control;
    ioctl(task->device_fd, request_set_attributes, &attrs);
}

// Where the driver allows one "/dev/diag" per process, the control device is
// the one qxdm7k has open already.
bool share_primary_device() {
    const TaskEntry* primary = &task_table[0];
    if (primary->device_fd < 0 || strcmp(primary->device_path, ext_control_device) != 0) return false;
    daemon_settings.ext_ctrl_fd = primary->device_fd;
    daemon_settings.ext_ctrl_shared = 1;
    return true;
}

void set_up_external(TaskEntry* task) {
    if (access(ext_control_device, R_OK) != 0) {
        task->error = errno;
        exclude(task);
        MSG_ERROR("%s: cannot access device node %s!\n", task->name, ext_control_device);
        return;
    }
    daemon_settings.ext_ctrl_fd = open(ext_control_device, O_RDWR | O_CLOEXEC);
    if (daemon_settings.ext_ctrl_fd < 0 && errno == EEXIST && share_primary_device()) {
        MSG_DEBUG(1, "%s: %s is open once per process: shared with %s (%d)\n", task->name, ext_control_device,
                  task_table[0].name, daemon_settings.ext_ctrl_fd);
    }
    if (daemon_settings.ext_ctrl_fd < 0) {
        int error = errno;
        task->error = error;
        MSG_ERROR("%s: open %s failed, errno: %d (%s)\n", task->name, ext_control_device, error,
                  error_text(error).text);
        exclude(task);
        daemon_settings.ext_ctrl_fd = -1;
        return;
    }
    if (task->ioctl_request >= 0 &&
        ioctl(daemon_settings.ext_ctrl_fd, task->ioctl_request, task->ioctl_enable_arg) < 0) {
        task->error = errno;
        MSG_ERROR("%s: ioctl %s failed (enable): %s\n", task->name, ext_control_device, error_text(errno).text);
        exclude(task);
        close_control_device();
    }
}

}  // namespace

bool diag_driver_missing(const TaskEntry* task) {
    return task_error(task) == ENOENT && task->device_path != nullptr &&
           strcmp(task->device_path, ext_control_device) == 0;
}

namespace {

void set_up_task(TaskEntry* task) {
    resolve_device_path(task);
    if (access(task->device_path, R_OK) != 0) {
        task->excluded = 1;
        task->error = errno;
        MSG_DEBUG(1, "%s: ignore: cannot access device node (%s)!\n", task->name, task->device_path);
        // Without the primary device nothing of the modem can be logged;
        // a kernel built without the diag driver must not look like a
        // quiet modem.
        if (diag_driver_missing(task)) {
            MSG_ERROR("%s: %s is missing: this kernel has no diag driver, the modem cannot be logged\n", task->name,
                      task->device_path);
        }
        return;
    }
    if (open_wake_pipe(task->wake_pipe) != 0) {
        task->excluded = 1;
        task->error = errno;
        MSG_ERROR("%s: cannot open pipe!\n", task->name);
        return;
    }
    // Close-on-exec: the stop broadcast runs a shell, which must not inherit
    // a device. No controlling terminal: the daemon leads a session of its
    // own, and the trace terminal hanging up would send it SIGHUP.
    task->device_fd = open(task->device_path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (task->device_fd < 0) {
        int error = errno;
        task->error = error;
        exclude(task);
        MSG_ERROR("%s: open %s failed: %s\n", task->name, task->device_path, error_text(error).text);
        return;
    }
    if (task_is(task, task_qxdm_ext)) {
        set_up_external(task);
    } else if (task_is(task, task_ti_trace)) {
        switch_to_raw_mode(task);
    } else if (task->ioctl_request >= 0 &&
               switch_logging_mode(task->device_fd, task->ioctl_enable_arg, switched_modems(task)) < 0) {
        int error = errno;
        task->error = error;
        MSG_ERROR("%s: ioctl %s failed (enable): %s\n", task->name, task->device_path, error_text(error).text);
        exclude(task);
    }
}

void start_threads() {
    for (TaskEntry* task = task_table; task->name != nullptr; ++task) {
        if (task->excluded != 0) continue;
        int result = pthread_create(&task->thread, nullptr, logger_thread, task);
        if (result != 0) {
            task->thread = no_thread;
            task->error = result;
            MSG_ERROR("%s: pthread_create failed: %s\n", task->name, error_text(result).text);
        }
    }
}

// Sleeps until a stop is requested, answering status requests meanwhile.
// SIGTERM and SIGUSR2 are blocked except inside ppoll, so neither can slip in
// between the test of done and the sleep, and neither can reach a logger
// thread (which inherits the blocked mask).
void supervise(const sigset_t& wait_mask) {
    while (runtime_state.done == 0) {
        if (status_requested.exchange(0) != 0) write_status();
        struct timespec step = {supervision_step_seconds, 0};
        int result = ppoll(nullptr, 0, &step, &wait_mask);
        if (status_requested.exchange(0) != 0) write_status();
        if (result == 0 || runtime_state.done != 0) {
            MSG_DEBUG(1, "wakeup, done = %d\n", runtime_state.done.load());
        }
    }
}

void join_threads() {
    for (TaskEntry* task = task_table; task->name != nullptr; ++task) {
        if (task->excluded != 0 || task->thread == no_thread) continue;
        pthread_join(task->thread, nullptr);
        task->thread = no_thread;
    }
}

void switch_back(TaskEntry* task) {
    if (task_is(task, task_qxdm_ext)) {
        if (task->ioctl_request >= 0 &&
            ioctl(daemon_settings.ext_ctrl_fd, task->ioctl_request, task->ioctl_disable_arg) < 0) {
            MSG_ERROR("%s: ioctl %s failed (disable): %s\n", task->name, ext_control_device, error_text(errno).text);
        }
        MSG_DEBUG(1, "%s: close: %s (%d)\n", task->name, ext_control_device, daemon_settings.ext_ctrl_fd);
        close_control_device();
    } else if (task_is(task, task_ti_trace)) {
        MSG_DEBUG(1, "%s: ignore: ioctl %s (%d)\n", task->name, task->device_path, task->device_fd);
    } else if (task->ioctl_request >= 0) {
        if (switch_logging_mode(task->device_fd, task->ioctl_disable_arg, switched_modems(task)) < 0) {
            MSG_ERROR("%s: ioctl %s failed (disable): %s\n", task->name, task->device_path, error_text(errno).text);
        }
        end_logging_session(task->device_fd);
    }
    MSG_DEBUG(1, "%s: close: %s (%d)\n", task->name, task->device_path, task->device_fd);
    close_fd(&task->device_fd);
}

void tear_down() {
    for (TaskEntry* task = task_table; task->name != nullptr; ++task) {
        if (task->excluded != 0) continue;
        close_wake_pipe(task->wake_pipe);
        if (task->device_fd >= 0) switch_back(task);
        char* device_path = const_cast<char*>(task->device_path);
        free_text(&device_path);
        task->device_path = nullptr;
        free_text(&task->mask_file);
        free_text(&task->null_mask_file);
        set_log_path(task, nullptr);
    }
}

}  // namespace

int open_wake_pipe(int* wake_pipe) {
    if (wake_pipe == nullptr) return -1;
    wake_pipe[0] = wake_pipe[1] = -1;
    return pipe2(wake_pipe, O_CLOEXEC) == 0 ? 0 : -1;
}

int close_wake_pipe(int* wake_pipe) {
    if (wake_pipe == nullptr) return -1;
    close_fd(&wake_pipe[0]);
    close_fd(&wake_pipe[1]);
    return 0;
}

void set_up_tasks() {
    for (TaskEntry* task = task_table; task->name != nullptr; ++task) set_up_task(task);
}

int run_tasks() {
    set_up_tasks();
    // done is never cleared: a stop that came before this point still
    // stops the daemon, once its threads have started and seen it.
    sigset_t wait_mask;
    control_wait_mask(&wait_mask);

    start_threads();
    report_state("running");
    supervise(wait_mask);
    join_threads();
    tear_down();
    report_state("stopped");
    MSG_DEBUG(1, "daemon end.\n");
    return 0;
}
