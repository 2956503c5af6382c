#include "control/status_report.h"

#include <stdio.h>

#include "control/control_commands.h"
#include "logger/task_table.h"
#include "msg/error_text.h"
#include "msg/log_msg.h"

namespace {

constexpr size_t status_line_size = 256;
constexpr double stale_after_seconds = 5.0;

bool thread_alive(const TaskEntry* task) { return task->thread != no_thread && thread_running(task); }

}  // namespace

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
