#include "config/storage.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "config/line_reader.h"
#include "logger/task_table.h"
#include "msg/error_text.h"
#include "msg/log_msg.h"
#include "platform/platform.h"
#include "platform/profile.h"

namespace {

// A path into a buffer of the settings, cut to fit it.
void copy_path(char* out, size_t out_size, const char* path) { snprintf(out, out_size, "%s", path); }

bool is_octal(char c) { return c >= '0' && c <= '7'; }

// The kernel writes a blank, tab, newline or backslash inside a field as a
// backslash and three octal digits.
void decode_escapes(char* field) {
    char* out = field;
    for (const char* at = field; *at != '\0'; ++out) {
        if (at[0] == '\\' && is_octal(at[1]) && is_octal(at[2]) && is_octal(at[3])) {
            *out = static_cast<char>(((at[1] - '0') << 6) | ((at[2] - '0') << 3) | (at[3] - '0'));
            at += 4;
        } else {
            *out = *at++;
        }
    }
    *out = '\0';
}

// The second field of a mount table line (device, mount point, type, ...),
// decoded in place; null when the line has none, or when the line was cut
// inside it, since its start alone proves nothing.
const char* mount_point_field(char* line, bool cut) {
    char* field = line + strcspn(line, " ");
    if (*field == '\0') return nullptr;
    ++field;
    const size_t length = strcspn(field, " ");
    if (field[length] == '\0' && cut) return nullptr;
    field[length] = '\0';
    decode_escapes(field);
    return field;
}

bool is_mount_point_field(char* line, bool cut, const char* path) {
    const char* mount_point = mount_point_field(line, cut);
    return mount_point != nullptr && strcmp(mount_point, path) == 0;
}

}  // namespace

int find_mount_line(const char* table, LongLine long_line, MountLineMatch match, const char* path) {
    const int fd = open(table, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    LineReader reader;
    line_reader_init(&reader, fd, SIZE_MAX);
    char line[1024];
    bool cut = false;
    int found = 0;
    while (found == 0 && read_line(&reader, line, sizeof line, long_line, &cut) == 1) {
        if (match(line, cut, path)) found = 1;
    }
    close(fd);
    return found;
}

int is_listed_mount_point(const char* table, const char* path) {
    if (path == nullptr) return 0;
    const int found = find_mount_line(table, LongLine::cut, is_mount_point_field, path);
    if (found < 0) log_direct(log_priority_error, log_tag_dir, "open [%s]: %s", table, error_text(errno).text);
    return found == 1 ? 1 : 0;
}

int is_path_mounted(const char* path) { return is_listed_mount_point(mount_table_path, path); }

int log_root_mounted(const char* root) {
    if (platform_profile.storage_bound != nullptr) return 1;
    return is_path_mounted(root);
}

int check_directory(char* out, size_t out_size, const char* const* candidates) {
    if (out == nullptr || candidates == nullptr || out_size == 0) return -1;
    out[0] = '\0';
    for (const char* const* candidate = candidates; *candidate != nullptr; ++candidate) {
        log_direct(log_priority_debug, log_tag_dir, "--> checking %s", *candidate);
        struct stat info;
        if (lstat(*candidate, &info) == 0 && S_ISLNK(info.st_mode)) {
            ssize_t length = readlink(*candidate, out, out_size - 1);
            out[length < 0 ? 0 : length] = '\0';
            log_direct(log_priority_debug, log_tag_dir, "--> link %s", out);
            break;
        }
        if (access(*candidate, F_OK) == 0) {
            copy_path(out, out_size, *candidate);
            log_direct(log_priority_debug, log_tag_dir, "--> exist %s", out);
            break;
        }
    }
    return out[0] != '\0' ? 0 : -1;
}

const char* choose_storage() {
    char* storage = daemon_settings.storage_path;
    if (storage[0] != '\0') {
        log_direct(log_priority_debug, log_tag_dir, "external --> use previous %s", storage);
        return storage;
    }
    if (check_directory(storage, sizeof daemon_settings.storage_path, daemon_settings.external_candidates) != 0) {
        const char* from_environment = getenv("EXTERNAL_STORAGE");
        const char* label = from_environment != nullptr ? "EXTERNAL_STORAGE" : "default";
        copy_path(storage, sizeof daemon_settings.storage_path,
                  from_environment != nullptr ? from_environment : fallback_storage);
        log_direct(log_priority_debug, log_tag_dir, "external --> %s %s", label, storage);
    }
    log_direct(log_priority_debug, log_tag_dir, "external --> use %s", storage);
    return storage;
}
