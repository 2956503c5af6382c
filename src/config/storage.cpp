#include "config/storage.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "logger/task_table.h"
#include "msg/error_text.h"
#include "msg/log_msg.h"
#include "platform/platform.h"

namespace {

constexpr const char* mount_table_path = "/proc/mounts";

void copy_cut(char* out, size_t out_size, const char* text) { snprintf(out, out_size, "%s", text); }

}  // namespace

int is_path_mounted(const char* path) {
    int fd = open(mount_table_path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        log_direct(log_priority_error, log_tag_dir, "open [%s]: %s", mount_table_path, error_text(errno).text);
        return 0;
    }
    // A path too long for the buffer is cut and then lacks its closing blank.
    char pattern[64];
    snprintf(pattern, sizeof pattern, " %s ", path);

    char line[1024];
    size_t length = 0;
    char block[4096];
    ssize_t got = 0;
    ssize_t at = 0;
    int found = 0;
    for (;;) {
        if (at == got) {
            got = read(fd, block, sizeof block);
            if (got < 0 && errno == EINTR) {
                got = at = 0;
                continue;
            }
            at = 0;
        }
        // A failed read ends the table like its end does.
        const bool end_of_table = got <= 0;
        if (end_of_table || block[at] == '\n') {
            line[length] = '\0';
            if (strstr(line, pattern) != nullptr) {
                found = 1;
                break;
            }
            if (end_of_table) break;
            length = 0;
        } else if (length < sizeof line - 1) {
            line[length++] = block[at];
        }
        ++at;
    }
    close(fd);
    return found;
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
            copy_cut(out, out_size, *candidate);
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
        copy_cut(storage, sizeof daemon_settings.storage_path,
                 from_environment != nullptr ? from_environment : fallback_storage);
        log_direct(log_priority_debug, log_tag_dir, "external --> %s %s", label, storage);
    }
    log_direct(log_priority_debug, log_tag_dir, "external --> use %s", storage);
    return storage;
}
