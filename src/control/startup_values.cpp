#include "control/startup_values.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "config/confined_path.h"
#include "logger/task_table.h"
#include "msg/error_text.h"
#include "msg/log_msg.h"

namespace {

// The number after the fourth underscore of a log file name, as
// "%*[^_]_%*[^_]_%*[^_]_%*[^_]_%d" reads it, but kept below INT_MAX so that
// the next number cannot overflow, however large the name's number is.
bool sequence_of_name(const char* name, int* number) {
    int offset = -1;
    if (sscanf(name, "%*[^_]_%*[^_]_%*[^_]_%*[^_]_%n", &offset) != 0 || offset < 0) return false;
    const char* digits = name + offset;
    char* end = nullptr;
    long long value = strtoll(digits, &end, 10);
    if (end == digits) return false;
    if (value > INT_MAX - 1) value = INT_MAX - 1;
    if (value < INT_MIN) value = INT_MIN;
    *number = static_cast<int>(value);
    return true;
}

}  // namespace

int header_bytes_for_version(const char* line) {
    int a = -1, b = -1, c = -1, d = -1;
    char suffix[256] = {};
    // The widths keep an over-long suffix inside its buffer.
    // NOLINTNEXTLINE(cert-err34-c): the kernel writes these numbers; only their pattern decides
    if (sscanf(line, "%*s %*s %d.%d.%d.%d-%255s %*s", &a, &b, &c, &d, suffix) == 5) {
        int bytes = c == 32 ? 0 : 4;
        MSG_DEBUG(1, "kernel version: %d.%d.%d.%d-%s, set header_bytes: %d\n", a, b, c, d, suffix, bytes);
        return bytes;
    }
    a = b = c = -1;
    // NOLINTNEXTLINE(cert-err34-c): the kernel writes these numbers; only their pattern decides
    if (sscanf(line, "%*s %*s %d.%d.%d-%255s %*s", &a, &b, &c, suffix) == 4) {
        int bytes = a == 3 ? 4 : 0;
        MSG_DEBUG(1, "kernel version: %d.%d.%d-%s, set header_bytes: %d\n", a, b, c, suffix, bytes);
        return bytes;
    }
    return -1;
}

void find_header_bytes() {
    FILE* version = fopen("/proc/version", "re");
    if (version == nullptr) return;
    char line[1024];
    while (fgets(line, sizeof line, version) != nullptr) {
        int bytes = header_bytes_for_version(line);
        if (bytes >= 0) runtime_state.header_bytes = bytes;
    }
    (void)fclose(version);
}

void find_next_sequence() {
    const char* root = runtime_state.log_root;
    const int fd = root != nullptr ? open_confined(root, O_RDONLY | O_DIRECTORY) : -1;
    DIR* directory = fd >= 0 ? fdopendir(fd) : nullptr;
    if (directory == nullptr) {
        if (fd >= 0) close(fd);
        int error = root != nullptr ? errno : ENOENT;
        MSG_ERROR("opendir %s failed, error: %s (%d)\n", root != nullptr ? root : "(no log root)",
                  error_text(error).text, error);
        runtime_state.next_sequence = 0;
        return;
    }
    int highest = 0;
    while (struct dirent* entry = readdir(directory)) {
        if (entry->d_type == DT_DIR) continue;
        int number = 0;
        if (sequence_of_name(entry->d_name, &number)) {
            if (number > highest) highest = number;
            MSG_DEBUG(2, "[%s], sn = [%d]\n", entry->d_name, highest);
        }
    }
    closedir(directory);
    runtime_state.next_sequence = highest + 1;
}
