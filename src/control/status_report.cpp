#include "control/status_report.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "config/confined_path.h"
#include "control/control_commands.h"
#include "control/task_supervisor.h"
#include "logger/task_table.h"
#include "msg/error_text.h"
#include "msg/log_msg.h"
#include "platform/profile.h"

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
    if (diag_driver_missing(task)) {
        // Every diag task depends on it: said as the cause, not as one
        // more missing node.
        snprintf(line, size, "%s: error %d: %s: this kernel has no diag driver", device, error, error_text(error).text);
    } else if (error != 0) {
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

// The report never goes through whatever stands at the status name, which
// lies in a folder an app can write: it is written to a new file beside it
// that an app cannot have opened or linked, which then replaces the name. A
// rename replaces a planted link itself, never the file it points to, and
// the folder is reached without following a link (the app may replace it).
void write_status() {
    const time_t now = time(nullptr);
    char report[task_count * status_line_size + 4];
    size_t length = 0;
    auto append = [&](const char* text) {
        const int added = snprintf(report + length, sizeof report - length, "%s", text);
        if (added > 0) length += std::min(static_cast<size_t>(added), sizeof report - 1 - length);
    };
    MSG_DEBUG(1, "-- task status:\n");
    char line[status_line_size];
    for (const TaskEntry* task = task_table; task->name != nullptr; ++task) {
        format_status_line(task, now, line, sizeof line);
        MSG_DEBUG(1, "%s\n", line);
        append(line);
        append("\n");
    }
    MSG_DEBUG(1, "--\n");
    append("--");

    if (replace_confined(platform_profile.status_file, report, length, false) != 0) {
        const int error = errno;
        // The -l waiting for the report times out; this says why.
        MSG_ERROR("cannot write the status file %s: %s (%d)\n", platform_profile.status_file, error_text(error).text,
                  error);
    }
}
