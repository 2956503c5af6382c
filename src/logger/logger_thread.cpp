#include "logger/logger_thread.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "config/config_file.h"
#include "config/confined_path.h"
#include "config/storage.h"
#include "control/signals.h"
#include "logger/device_wait.h"
#include "logger/diag_device.h"
#include "logger/diag_switch.h"
#include "logger/hex_dump.h"
#include "logger/log_writer.h"
#include "logger/mask_injection.h"
#include "logger/task_table.h"
#include "logger/wake_lock.h"
#include "msg/error_text.h"
#include "msg/log_msg.h"
#include "platform/fd_io.h"
#include "platform/profile.h"

namespace {

constexpr size_t hex_text_size = 512;
constexpr useconds_t qxdm9k_pass_pause_us = 10000;
constexpr useconds_t empty_control_pause_us = 100000;

struct ThreadBuffers {
    char* read_buf;
    size_t read_size;
    char* batch_buf;
    size_t batch_size;
    size_t batch_fill;
    char hex[hex_text_size];
    // The wait for an unmounted log root has been reported once.
    bool unmounted_reported;
};

// "%s/%s" of the log root and a file name, formatted in work and returned
// as a copy on the heap (strdup) that the caller frees; null when that copy
// cannot be made, with errno set.
char* root_path(const char* name, char* work, size_t work_size) {
    snprintf(work, work_size, "%s/%s", runtime_state.log_root, name);
    return strdup(work);
}

// A mask name that would lead out of the log root is refused with a message;
// the task then has no such mask.
bool mask_name_refused(const TaskEntry* task, const char* name) {
    if (mask_name_inside_root(name)) return false;
    MSG_ERROR("%s: mask name %s refused: it leads out of the log root\n", task->name, name);
    return true;
}

// Puts the local time and the sequence number over every placeholder,
// keeping the name's length.
void fill_placeholders(char* name, time_t now) {
    char stamp[20];
    struct tm local;
    if (localtime_r(&now, &local) != nullptr) {
        char full[64];
        snprintf(full, sizeof full, "%04d%02d%02d_%02d%02d%02d_%03d", local.tm_year + 1900, local.tm_mon + 1,
                 local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, runtime_state.next_sequence);
        memcpy(stamp, full, 19);
    } else {
        // Without a local time a random number stands in, padded so the
        // name keeps its length.
        char random_text[32];
        snprintf(random_text, sizeof random_text, "RAND_%10d", static_cast<int>(random() & 0x7fffffff));
        memset(stamp, '0', 19);
        memcpy(stamp, random_text, strlen(random_text));
    }
    stamp[19] = '\0';
    const size_t placeholder_length = strlen(datetime_placeholder);
    for (char* at = strstr(name, datetime_placeholder); at != nullptr;
         at = strstr(at + placeholder_length, datetime_placeholder)) {
        memcpy(at, stamp, placeholder_length);
    }
}

// false when the loop must end.
bool name_log_file(TaskEntry* task, ThreadBuffers& buffers) {
    snprintf(buffers.read_buf, buffers.read_size, "%s/%s", runtime_state.log_root, task->file_template);
    const time_t now = time(nullptr);
    fill_placeholders(buffers.read_buf, now);
    char* path = strdup(buffers.read_buf);
    if (path == nullptr) {
        set_task_error(task, errno);
        MSG_ERROR("%s: alloc log path failed: %s\n", task->name, error_text(errno).text);
        return false;
    }
    set_log_path(task, path);
    buffers.unmounted_reported = false;
    set_last_data_time(task, now);
    MSG_DEBUG(1, "%s: dump to %s.\n", task->name, path);
    return true;
}

// A new log file is named only on mounted storage; until then the wait is
// reported once, so that a log root that never is a mount point (a symbolic
// link, a subdirectory) does not go unnoticed.
bool log_root_ready(const TaskEntry* task, ThreadBuffers& buffers) {
    if (log_root_mounted(runtime_state.log_root) == 1) {
        judge_reserve();
        return true;
    }
    if (!buffers.unmounted_reported) {
        buffers.unmounted_reported = true;
        MSG_ERROR("%s: log root %s is not mounted, no log file until it is\n", task->name, runtime_state.log_root);
    }
    return false;
}

// Hands data to the writer; a failed write drops the file, and the next
// pass names a new one once the storage is there again.
void write_or_drop(TaskEntry* task, ThreadBuffers& buffers, const char* data, size_t length) {
    if (task->log_path == nullptr) return;
    // A log file that is missing under a log root that is no longer mounted
    // went away with its card: the writer would create it anew under the
    // bare mount point, where the card hides it again once it is back. The
    // data is dropped instead, and a new file named once the card is
    // mounted. The mount table is read only when the file is missing.
    struct stat info;
    if (stat_confined(task->log_path, &info) != 0 && errno == ENOENT && log_root_mounted(runtime_state.log_root) != 1) {
        MSG_ERROR("%s: log root %s is not mounted, %d bytes dropped\n", task->name, runtime_state.log_root,
                  static_cast<int>(length));
        buffers.unmounted_reported = true;
        set_log_path(task, nullptr);
        return;
    }
    if (write_log_file(task, data, static_cast<int>(length)) < 0) set_log_path(task, nullptr);
}

// The task's device has been hung up (a trace terminal whose other side
// closed): the task ends with EIO.
void report_hang_up(TaskEntry* task) {
    set_task_error(task, EIO);
    MSG_ERROR("%s: read device %s (%d) failed: hung up\n", task->name, task->device_path, task->device_fd);
}

// How a failed wait names what it waited on: the task's own device, or
// only the task (the external modem's control device).
enum class WaitedOn { task_device, task_only };

// The wait that opens every pass, and what it decides alone. true when fd is
// readable and the pass goes on to read it; otherwise *loop_on tells whether
// the loop goes on (the wait is simply made again) or ends (a stop, or a
// failure, which is recorded in the task and reported).
// A wait interrupted by the stop's SIGALRM is the stop itself, not a device
// failure; interrupted by anything else it is simply made again. A device
// that reports only an error or a hang-up fails the wait without an errno:
// errno is cleared first, so that such a failure is recorded as -1 rather
// than as whatever an earlier call left there (a stale EINTR would make
// the wait again at once, for ever).
bool wait_readable(TaskEntry* task, int fd, WaitedOn waited_on, bool* loop_on) {
    errno = 0;
    const int waited = wait_for_data(task->wake_pipe, fd, -1);
    if (waited > 0) return true;
    const bool interrupted = waited < 0 && errno == EINTR;
    *loop_on = interrupted && runtime_state.done == 0;
    if (*loop_on) return false;
    if (waited == 0 || interrupted) {
        MSG_DEBUG(1, "%s: user break", task->name);
        return false;
    }
    // The trace terminal whose other side has just closed reports the
    // hang-up alone for a moment, before it turns readable at its end: the
    // same hang-up, given the same clear reason. A diag device that reports
    // a hang-up alone stays a failure without an errno.
    if (errno == 0 && task_is(task, task_ti_trace) && device_hung_up(fd)) {
        report_hang_up(task);
        return false;
    }
    if (errno == 0) errno = -1;
    const int error = errno;
    set_task_error(task, error);
    if (waited_on == WaitedOn::task_device) {
        MSG_ERROR("%s: read device %s (%d) failed: %s (%d)\n", task->name, task->device_path, task->device_fd,
                  error_text(error).text, error);
    } else {
        MSG_ERROR("%s: read device failed: %s (%d)\n", task->name, error_text(error).text, error);
    }
    return false;
}

// false when the loop must end.
bool batching_pass(TaskEntry* task, ThreadBuffers& buffers) {
    bool loop_on;
    if (!wait_readable(task, task->device_fd, WaitedOn::task_device, &loop_on)) return loop_on;
    ssize_t got = read_retrying(task->device_fd, buffers.read_buf, buffers.read_size);
    if (got < 0) {
        int error = errno;
        set_task_error(task, error);
        MSG_ERROR("%s: read device failed: %s (%d)\n", task->name, error_text(error).text, error);
        notify_stop(error);
        return false;
    }
    if (got == 0) {
        // A diag device may have nothing this once; a terminal whose other
        // side has gone stays readable and returns 0 for ever, and waiting
        // on it again would spin.
        if (device_hung_up(task->device_fd)) {
            report_hang_up(task);
            return false;
        }
        MSG_DEBUG(1, "%s: read device no data\n", task->name);
        return true;
    }
    const size_t chunk = static_cast<size_t>(got);
    acquire_wake_lock(task->name);
    set_last_data_time(task, time(nullptr));
    if (buffers.batch_fill + chunk > buffers.batch_size) {
        write_or_drop(task, buffers, buffers.batch_buf, buffers.batch_fill);
        // NOLINTNEXTLINE(clang-analyzer-unix.Malloc): batch_buf stays in buffers until logger_thread frees it
        buffers.batch_fill = 0;
    }
    memcpy(buffers.batch_buf + buffers.batch_fill, buffers.read_buf, chunk);
    MSG_DEBUG(3, "%s: DATA [%05d~%05d]: %d bytes: [%s]\n", task->name, static_cast<int>(buffers.batch_fill),
              static_cast<int>(buffers.batch_fill + chunk - 1), static_cast<int>(chunk),
              hex_dump(buffers.read_buf, static_cast<int>(chunk), buffers.hex, sizeof buffers.hex));
    buffers.batch_fill += chunk;
    release_wake_lock(task->name);
    return true;
}

// Reads the external device until it has nothing more, writing each chunk.
// The bytes drained go into *drained.
void drain_external(TaskEntry* task, ThreadBuffers& buffers, bool final_drain, size_t* drained = nullptr) {
    for (;;) {
        const ssize_t got = read_retrying(task->device_fd, buffers.read_buf, buffers.read_size);
        if (got < 0) {
            int error = errno;
            if (final_drain) {
                MSG_ERROR("%s: read device failed: (%d) %s\n", task->name, error, error_text(error).text);
            } else {
                set_task_error(task, error);
                MSG_ERROR("%s: read device %s (%d) failed: (%d) %s\n", task->name, task->device_path, task->device_fd,
                          error, error_text(error).text);
            }
            return;
        }
        if (got == 0) {
            MSG_DEBUG(1, "%s: read device %s (%d) is finished\n", task->name, task->device_path, task->device_fd);
            return;
        }
        set_last_data_time(task, time(nullptr));
        if (final_drain) {
            MSG_DEBUG(2, "%s: read device %s (%d), ret = %d\n", task->name, task->device_path, task->device_fd,
                      static_cast<int>(got));
        } else {
            MSG_DEBUG(2, "%s: read  device %s (%d), ret = %d\n", task->name, task->device_path, task->device_fd,
                      static_cast<int>(got));
        }
        if (drained != nullptr) *drained += static_cast<size_t>(got);
        write_or_drop(task, buffers, buffers.read_buf, static_cast<size_t>(got));
    }
}

// With the control descriptor shared, qxdm7k alone reads it: every byte that
// comes out of it is qxdm7k's log. The external device is then waited on
// itself, and drained as it is after a control read.
bool shared_control_pass(TaskEntry* task, ThreadBuffers& buffers) {
    bool loop_on;
    if (!wait_readable(task, task->device_fd, WaitedOn::task_device, &loop_on)) return loop_on;
    acquire_wake_lock(task->name);
    size_t drained = 0;
    drain_external(task, buffers, false, &drained);
    release_wake_lock(task->name);
    // A device that says it is readable but gives nothing would be waited on
    // again at once, for ever.
    if (drained == 0) usleep(empty_control_pause_us);
    return true;
}

// false when the loop must end.
bool external_pass(TaskEntry* task, ThreadBuffers& buffers) {
    if (daemon_settings.ext_ctrl_shared != 0) return shared_control_pass(task, buffers);
    const int control = daemon_settings.ext_ctrl_fd;
    bool loop_on;
    if (!wait_readable(task, control, WaitedOn::task_only, &loop_on)) return loop_on;
    ssize_t got = read_retrying(control, buffers.read_buf, buffers.read_size);
    if (got < 0) {
        int error = errno;
        set_task_error(task, error);
        MSG_ERROR("%s: read device %s (%d) failed: %s (%d)\n", task->name, ext_control_device, control,
                  error_text(error).text, error);
        return false;
    }
    if (got == 0) {
        MSG_DEBUG(2, "%s: read device %s (%d) no data\n", task->name, ext_control_device, control);
        usleep(empty_control_pause_us);
        return true;
    }
    acquire_wake_lock(task->name);
    drain_external(task, buffers, false);
    release_wake_lock(task->name);
    return true;
}

// A null mask that fails is reported only: the data the thread still holds
// is the newest of the run and is written all the same.
void inject_null_mask(TaskEntry* task, ThreadBuffers& buffers) {
    if (task_is(task, task_ti_trace)) {
        MSG_DEBUG(1, "%s: ignore: inject mask\n", task->name);
        return;
    }
    if (task->null_mask_file == nullptr || mask_name_refused(task, task->null_mask_file)) return;
    char* path = root_path(task->null_mask_file, buffers.read_buf, buffers.read_size);
    if (path == nullptr) {
        MSG_ERROR("%s: alloc mask path failed: %s\n", task->name, error_text(errno).text);
        return;
    }
    MSG_DEBUG(1, "%s: inject mask %s\n", task->name, path);
    if (inject_mask(task, path, buffers.read_buf, buffers.read_size) < 0) {
        MSG_ERROR("%s: inject mask %s failed!\n", task->name, path);
    }
    free(path);
}

void wind_down(TaskEntry* task, ThreadBuffers& buffers) {
    inject_null_mask(task, buffers);
    if (task_is(task, task_qxdm_ext)) {
        acquire_wake_lock(task->name);
        drain_external(task, buffers, true);
        release_wake_lock(task->name);
    } else if (buffers.batch_fill > 0) {
        write_or_drop(task, buffers, buffers.batch_buf, buffers.batch_fill);
    }
}

// false when the task must not log.
bool start_task(TaskEntry* task, ThreadBuffers& buffers) {
    buffers.read_size = stream_read_size();
    buffers.batch_size = stream_batch_size();
    buffers.read_buf = static_cast<char*>(malloc(buffers.read_size));
    buffers.batch_buf = buffers.read_buf != nullptr ? static_cast<char*>(malloc(buffers.batch_size)) : nullptr;
    if (buffers.batch_buf == nullptr) {
        int error = errno;
        set_task_error(task, error);
        MSG_ERROR("%s: alloc buffer failed: %s (%d)\n", task->name, error_text(error).text, error);
        return false;
    }
    if (task->mask_file == nullptr) {
        set_task_error(task, -1);
        MSG_ERROR("%s: mask is not set, do not dump log\n", task->name);
        return false;
    }
    if (mask_name_refused(task, task->mask_file)) {
        set_task_error(task, -1);
        return false;
    }
    char* path = root_path(task->mask_file, buffers.read_buf, buffers.read_size);
    if (path == nullptr) {
        set_task_error(task, errno);
        MSG_ERROR("%s: alloc mask path failed: %s\n", task->name, error_text(errno).text);
        return false;
    }
    bool injected = inject_mask(task, path, buffers.read_buf, buffers.read_size) >= 0;
    if (!injected) {
        set_task_error(task, -1);
        MSG_ERROR("%s: inject mask %s failed!\n", task->name, path);
    }
    free(path);
    return injected;
}

}  // namespace

void* logger_thread(void* task_entry) {
    TaskEntry* task = static_cast<TaskEntry*>(task_entry);
    mark_thread_running(task, true);
    prctl(PR_SET_NAME, task->name);
    MSG_DEBUG(1, "%s: thread started.\n", task->name);
    // A task held up before its first file (a modem that never answers its
    // mask, a card not mounted yet) reports how long it has waited, not the
    // seconds since 1970.
    set_last_data_time(task, time(nullptr));

    ThreadBuffers buffers{};
    if (start_task(task, buffers)) {
        const bool external = task_is(task, task_qxdm_ext);
        const bool pauses = task_is(task, task_qxdm_9k);
        while (runtime_state.done == 0) {
            if (task->file_template != nullptr && task->log_path == nullptr && log_root_ready(task, buffers) &&
                !name_log_file(task, buffers)) {
                break;
            }
            if (!(external ? external_pass(task, buffers) : batching_pass(task, buffers))) break;
            // The pause spares the CPU once the device has drained; while it
            // still holds data, a pause would only let the driver drop some.
            if (pauses && !device_has_data(task->device_fd)) usleep(qxdm9k_pass_pause_us);
        }
        wind_down(task, buffers);
    }
    MSG_DEBUG(1, "%s: thread stopped.\n", task->name);
    free(buffers.read_buf);
    free(buffers.batch_buf);
    mark_thread_running(task, false);
    return nullptr;
}
