#include "logger/log_writer.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "logger/fd_io.h"
#include "logger/wake_lock.h"
#include "msg/error_text.h"
#include "msg/log_msg.h"

// RotateSizeMB reaches 2^31 MiB; a 32-bit off_t could not even open a file of
// the default size twice over.
static_assert(sizeof(off_t) >= 8, "build with _FILE_OFFSET_BITS=64: log files pass 2 GiB");

#ifndef O_LARGEFILE
#define O_LARGEFILE 0
#endif

namespace {

constexpr int64_t mebibyte = int64_t{1} << 20;
// At a rotation the external modem's full file also gets the start of the
// buffer, so that a record cut by the rotation can be read from either file.
constexpr int ext_rotation_copy = 8192;
constexpr uint32_t flush_radio_bit = uint32_t{1} << 27;

bool flush_wanted() { return runtime_state.mfg_mode == 1 && (runtime_state.radio_flag & flush_radio_bit) != 0; }

// One open, write, optional flush and close of the log file. The directory
// name comes from a file an app can write, so a symbolic link planted as the
// log file must not send modem data elsewhere: O_NOFOLLOW makes it an open
// failure. Returns 0 or the errno of the failure, which has been reported.
int append_to_log(const TaskEntry* task, const char* data, size_t length, size_t* written) {
    *written = 0;
    int fd;
    do {
        fd = open(task->log_path, O_RDWR | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_LARGEFILE, 0660);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int error = errno;
        MSG_ERROR("%s: open log file %s failed: %s\n", task->name, task->log_path, error_text(error).text);
        return error;
    }
    int error = write_all(fd, data, length, written);
    if (error == 0 && flush_wanted()) {
        int synced;
        do {
            synced = fsync(fd);
        } while (synced != 0 && errno == EINTR);
        // A medium that can only report a full disk at the flush has lost the
        // data as surely as a failed write. EINVAL: the file cannot be synced.
        if (synced != 0 && errno != EINVAL) error = errno;
    }
    if (error != 0) {
        MSG_ERROR("%s: write log file %s failed: %s\n", task->name, task->log_path, error_text(error).text);
    }
    close(fd);
    return error;
}

// Anything but a transient error means the storage is gone for good, and the
// whole daemon stops.
void stop_on_fatal(const TaskEntry* task, int error) {
    if (error == 0 || error == EINTR || error == EAGAIN) return;
    MSG_ERROR("%s: stop daemon, error: %s (%d)\n", task->name, error_text(error).text, error);
    // kill(0) or kill(-1) would reach the process group or every process.
    if (runtime_state.own_pid > 0) kill(runtime_state.own_pid, SIGTERM);
    notify_stop(error);
}

// A directory entry of the rotating stem: STEM.dm... (index 0) or STEM.K....
struct StemEntry {
    int index;
    // The name is exactly the looked-for name itself (STEM.dm, or STEM.K.).
    bool exact;
    bool has_stamp;
    int stamp;
    char name[rotate_path_size];
};

// Which index's name the entry begins with; -1 for none. The index names are
// "STEM.dm" and "STEM.K." with K printed by %d, so no entry has two.
int stem_index(const char* rest, bool* exact) {
    if (strncmp(rest, ".dm", 3) == 0) {
        *exact = rest[3] == '\0';
        return 0;
    }
    if (rest[0] != '.' || rest[1] < '1' || rest[1] > '9') return -1;
    int64_t value = 0;
    const char* at = rest + 1;
    for (; *at >= '0' && *at <= '9'; ++at) {
        value = value * 10 + (*at - '0');
        if (value > INT32_MAX) return -1;
    }
    if (*at != '.') return -1;
    *exact = at[1] == '\0';
    return static_cast<int>(value);
}

bool is_directory(DIR* dir, const struct dirent* entry) {
    if (entry->d_type != DT_UNKNOWN) return entry->d_type == DT_DIR;
    struct stat info;
    return fstatat(dirfd(dir), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode);
}

// The entries of the stem, in the order the directory lists them. One pass
// however many other files the directory holds. Returns -1 with errno when
// the list cannot be grown.
int collect_stem_entries(DIR* dir, const char* stem_name, size_t root_length, int rotate_count, StemEntry** entries,
                         size_t* count) {
    const size_t stem_length = strlen(stem_name);
    size_t capacity = 0;
    *entries = nullptr;
    *count = 0;
    while (const struct dirent* entry = readdir(dir)) {
        if (strncmp(entry->d_name, stem_name, stem_length) != 0) continue;
        // No name of this stem that rotation makes is too long for the path
        // buffers, so a longer one is not one of ours.
        const size_t name_length = strlen(entry->d_name);
        if (root_length + 1 + name_length >= rotate_path_size) continue;
        bool exact = false;
        const int index = stem_index(entry->d_name + stem_length, &exact);
        if (index < 0 || index > rotate_count) continue;
        if (is_directory(dir, entry)) continue;
        if (*count == capacity) {
            capacity = capacity == 0 ? 16 : capacity * 2;
            void* grown = realloc(*entries, capacity * sizeof(StemEntry));
            if (grown == nullptr) {
                free(*entries);
                *entries = nullptr;
                *count = 0;
                errno = ENOMEM;
                return -1;
            }
            *entries = static_cast<StemEntry*>(grown);
        }
        StemEntry& out = (*entries)[(*count)++];
        out.index = index;
        out.exact = exact;
        out.stamp = 0;
        // Four underscores (two in the task prefix, two in the date and time)
        // come before the sequence number; the number after the next two dots
        // is the time stamp of a rotated file.
        // NOLINTNEXTLINE(cert-err34-c): the stamp is the six-digit HHMMSS that rotation wrote
        out.has_stamp = sscanf(entry->d_name, "%*[^_]_%*[^_]_%*[^_]_%*[^_]_%*[^.].%*[^.].%d.dm", &out.stamp) == 1;
        memcpy(out.name, entry->d_name, name_length + 1);
    }
    return 0;
}

// The new name of the first entry of one index that rotation moves, into
// target. Returns the entry, or null when no entry of the group moves.
const StemEntry* choose_move(const StemEntry* group, const StemEntry* group_end, const char* stem, char* target) {
    for (const StemEntry* entry = group; entry != group_end; ++entry) {
        int length;
        if (entry->has_stamp) {
            length = snprintf(target, rotate_path_size, "%s.%d.%06d.dm", stem, entry->index + 1, entry->stamp);
        } else if (entry->exact) {
            time_t now = time(nullptr);
            struct tm local {};
            if (localtime_r(&now, &local) == nullptr) memset(&local, 0, sizeof local);
            length = snprintf(target, rotate_path_size, "%s.%d.%02d%02d%02d.dm", stem, entry->index + 1, local.tm_hour,
                              local.tm_min, local.tm_sec);
        } else {
            continue;
        }
        // A stamp too wide for the buffer is not one that rotation wrote.
        if (length >= 0 && static_cast<size_t>(length) < rotate_path_size) return entry;
    }
    return nullptr;
}

// The full path of a directory entry; false when it does not fit (collection
// has already passed over such names).
bool join_path(char* out, const char* root, const char* name) {
    const int length = snprintf(out, rotate_path_size, "%s/%s", root, name);
    return length >= 0 && static_cast<size_t>(length) < rotate_path_size;
}

}  // namespace

void rotate_file(TaskEntry* task) {
    const char* root = runtime_state.log_root != nullptr ? runtime_state.log_root : "";
    const size_t path_length = strlen(task->log_path);
    char stem[rotate_path_size];
    const size_t stem_length = path_length >= 3 ? path_length - 3 : 0;
    if (stem_length >= sizeof stem) {
        // A shortened stem could match another task's files; the file grows
        // on instead, as when the directory cannot be read.
        MSG_ERROR("%s: rotate_file: log path too long: %s\n", task->name, task->log_path);
        return;
    }
    memcpy(stem, task->log_path, stem_length);
    stem[stem_length] = '\0';

    int dir_fd = open(root, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = dir_fd >= 0 ? fdopendir(dir_fd) : nullptr;
    if (dir == nullptr) {
        const int error = errno;
        if (dir_fd >= 0) close(dir_fd);
        MSG_ERROR("%s: opendir (%s) failed, errno: %s (%d)\n", task->name, root, error_text(error).text, error);
        return;
    }

    // The log files lie directly in the log root, so an entry is of this stem
    // when its name begins with what follows the root and its slash.
    const size_t root_length = strlen(root);
    const bool under_root = strncmp(stem, root, root_length) == 0 && stem[root_length] == '/';
    const int rotate_count = daemon_settings.rotate_count;
    StemEntry* entries = nullptr;
    size_t count = 0;
    if (under_root && rotate_count >= 0 &&
        collect_stem_entries(dir, stem + root_length + 1, root_length, rotate_count, &entries, &count) != 0) {
        const int error = errno;
        closedir(dir);
        MSG_ERROR("%s: rotate_file: alloc failed: %s\n", task->name, error_text(error).text);
        return;
    }
    closedir(dir);

    // Highest index first, so that each move finds its target name free; the
    // directory's own order decides between entries of one index.
    std::stable_sort(entries, entries + count,
                     [](const StemEntry& a, const StemEntry& b) { return a.index > b.index; });
    bool cut_short = false;
    char candidate[rotate_path_size];
    char target[rotate_path_size];
    for (size_t group = 0; group < count && !cut_short;) {
        size_t group_end = group;
        while (group_end < count && entries[group_end].index == entries[group].index) ++group_end;
        if (entries[group].index == rotate_count) {
            if (join_path(candidate, root, entries[group].name)) unlink(candidate);
        } else if (const StemEntry* moved = choose_move(entries + group, entries + group_end, stem, target);
                   moved != nullptr && join_path(candidate, root, moved->name)) {
            MSG_DEBUG(2, "%s: rotate_file: [%s] --> [%s]\n", task->name, candidate, target);
            if (rename(candidate, target) != 0 && errno != ENOENT) {
                const int error = errno;
                MSG_ERROR("%s: cannot rename [%s] to [%s]: %s (%d)\n", task->name, candidate, target,
                          error_text(error).text, error);
                cut_short = true;
            }
        }
        group = group_end;
    }
    free(entries);
    // After a completed rotation the current file has its new name, or, with
    // no rotated file kept, is simply dropped. After a failed move it is kept
    // and takes the data: deleting it would lose a whole file of logs.
    if (!cut_short) unlink(task->log_path);
}

int write_log_file(TaskEntry* task, const char* data, int length) {
    if (task == nullptr) return -1;
    if (task->log_path == nullptr) {
        MSG_ERROR("%s: no log path was set!\n", task->name);
        return -1;
    }
    if (data == nullptr || length < 0) length = 0;
    struct stat info;
    if (lstat(task->log_path, &info) == 0) {
        const int64_t threshold = int64_t{daemon_settings.rotate_size_mb} * mebibyte;
        if (int64_t{info.st_size} >= threshold) {
            if (task_is(task, task_qxdm_ext)) {
                size_t copied;
                stop_on_fatal(
                    task, append_to_log(task, data, static_cast<size_t>(std::min(length, ext_rotation_copy)), &copied));
            }
            rotate_file(task);
        }
    }
    const int header = runtime_state.header_bytes > 0 ? runtime_state.header_bytes : 0;
    const size_t body = length > header ? static_cast<size_t>(length - header) : 0;
    size_t written;
    const int error = append_to_log(task, body > 0 ? data + header : data, body, &written);
    if (error == 0) {
        MSG_DEBUG(2, "%s: write log file [%s] success, ret = %d\n", task->name, task->log_path,
                  static_cast<int>(written));
    }
    stop_on_fatal(task, error);
    return error == 0 ? 0 : -1;
}
