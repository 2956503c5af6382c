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
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

#include "config/confined_path.h"
#include "logger/rotation_fs.h"
#include "logger/wake_lock.h"
#include "msg/error_text.h"
#include "msg/log_msg.h"
#include "platform/fd_io.h"
#include "platform/profile.h"

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

// The log file, opened without waiting (a regular file's writes ignore
// that); -1 with errno, EINVAL when what stands at its name is no regular
// file, which *not_regular then says.
int open_regular_log(const char* path, int flags, bool* not_regular) {
    *not_regular = false;
    const int fd = open_confined(path, flags | O_NONBLOCK | O_LARGEFILE, 0660);
    struct stat info;
    if (fd >= 0 && (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))) {
        close(fd);
        *not_regular = true;
        errno = EINVAL;
        return -1;
    }
    return fd;
}

bool flush_wanted() { return runtime_state.mfg_mode == 1 && (runtime_state.radio_flag & flush_radio_bit) != 0; }

// One open, write, optional flush and close of the log file. The directory
// name comes from a file an app can write, and the app can change what is
// in it: a link planted as the log file or on the way to it must not send
// modem data elsewhere, and a FIFO planted there must not hold the writer up
// for ever. Either is a failed open. Returns 0 or the errno of the failure,
// which has been reported.
int append_to_log(const TaskEntry* task, const char* data, size_t length, size_t* written) {
    *written = 0;
    bool not_regular;
    const int fd = open_regular_log(task->log_path, O_RDWR | O_CREAT | O_APPEND, &not_regular);
    if (fd < 0) {
        const int error = errno;
        MSG_ERROR("%s: open log file %s failed: %s\n", task->name, task->log_path,
                  not_regular ? "not a regular file" : error_text(error).text);
        return error;
    }
    int error = write_all(fd, data, length, written);
    if (error == 0 && flush_wanted()) {
        const int synced = retry_interrupted([fd] { return fsync(fd); });
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

// The external modem's full file gets the head of the buffer before its
// rotation. When the rotation then leaves that file in place, the whole
// buffer follows it there, and the head would stand twice: it is taken back.
void take_back_head_if_not_rotated(const TaskEntry* task, const struct stat& before) {
    bool not_regular;
    const int fd = open_regular_log(task->log_path, O_WRONLY, &not_regular);
    if (fd < 0) return;  // moved away: the rotation went through
    struct stat now;
    if (fstat(fd, &now) == 0 && now.st_dev == before.st_dev && now.st_ino == before.st_ino &&
        now.st_size > before.st_size && ftruncate(fd, before.st_size) != 0) {
        const int error = errno;
        MSG_ERROR("%s: cannot take back the copy in %s: %s\n", task->name, task->log_path, error_text(error).text);
    }
    close(fd);
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

// MinFreeMB. A statvfs before every batch would add a system call to the
// data path, so a task measures only when its last figure, less what all
// tasks have written since, comes within reserve_slack of the reserve, or
// when the figure is older than free_space_max_age_s: other apps write to
// the same medium. The slack is what they may take in that time, and the
// blocks the file system spends beyond the bytes themselves.
constexpr int64_t reserve_slack = 16 * mebibyte;
constexpr time_t free_space_max_age_s = 1;

// The last measurement of one task; only that task's thread uses it.
struct FreeSpaceWatch {
    bool known;
    FreeSpace space;
    uint64_t written_mark;
    time_t measured_at;
};
FreeSpaceWatch free_space_watches[task_count];
// Bytes appended by every task while a reserve is kept.
std::atomic<uint64_t> bytes_appended{0};

FreeSpaceWatch* free_space_watch(const TaskEntry* task) {
    for (int i = 0; i < task_count; ++i) {
        if (task == &task_table[i]) return &free_space_watches[i];
    }
    return nullptr;
}

// What an append of length bytes takes: whole blocks, and one more for the
// file's own bookkeeping.
int64_t append_cost(size_t length, int64_t block) {
    const int64_t bytes = static_cast<int64_t>(length);
    return (bytes + block - 1) / block * block + block;
}

// Whether an append of length bytes leaves the reserve free. *free_bytes is
// the free space that decided it, -1 when none was measured.
bool keeps_reserve(const TaskEntry* task, size_t length, int64_t* free_bytes) {
    *free_bytes = -1;
    const int64_t reserve = int64_t{daemon_settings.min_free_mb} * mebibyte;
    if (reserve <= 0) return true;
    FreeSpaceWatch* watch = free_space_watch(task);
    const uint64_t written = bytes_appended.load(std::memory_order_relaxed);
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    if (watch != nullptr && watch->known && now.tv_sec - watch->measured_at < free_space_max_age_s) {
        const int64_t left = watch->space.free_bytes - static_cast<int64_t>(written - watch->written_mark);
        if (left - append_cost(length, watch->space.block_bytes) >= reserve + reserve_slack) return true;
    }
    FreeSpace space;
    if (measure_free_space(runtime_state.log_root != nullptr ? runtime_state.log_root : "", &space) != 0) {
        // Unmeasured is not full: a log root that cannot even be measured
        // fails the append itself, which reports the cause.
        if (watch != nullptr) watch->known = false;
        return true;
    }
    if (watch != nullptr) *watch = FreeSpaceWatch{true, space, written, now.tv_sec};
    *free_bytes = space.free_bytes;
    return space.free_bytes - append_cost(length, space.block_bytes) >= reserve;
}

// An append that would eat into the reserve is refused before the medium is
// full, and ends the daemon as a full medium would.
bool refused_for_reserve(const TaskEntry* task, size_t length, size_t data_length) {
    int64_t free_bytes;
    if (keeps_reserve(task, length, &free_bytes)) return false;
    MSG_ERROR("%s: write log file %s refused: %zu bytes not written, %lld KiB free, MinFreeMB %d\n", task->name,
              task->log_path, data_length, static_cast<long long>(free_bytes >> 10), daemon_settings.min_free_mb);
    stop_on_fatal(task, ENOSPC);
    return true;
}

void count_appended(size_t written) {
    if (daemon_settings.min_free_mb > 0) bytes_appended.fetch_add(written, std::memory_order_relaxed);
}

// A file of the rotating stem: the current file (index 0) or a rotated one.
// A file that moves gets its new name in target.
struct StemEntry {
    int index;
    int stamp;
    size_t listed;  // its place in the directory's listing
    bool moves;
    bool moved;
    char name[rotate_path_size];
    char target[rotate_path_size];
};

bool is_regular(DIR* dir, const struct dirent* entry) {
    if (entry->d_type != DT_UNKNOWN) return entry->d_type == DT_REG;
    struct stat info;
    return fstatat(dirfd(dir), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode);
}

// The stem's own files, in the order the directory lists them: the current
// file, and rotated files up to rotate_count. One pass however many other
// files the directory holds. Returns -1 with errno when the list cannot be
// grown.
int collect_stem_entries(DIR* dir, const char* current_name, const char* stem_name, int rotate_count,
                         StemEntry** entries, size_t* count) {
    size_t capacity = 0;
    *entries = nullptr;
    *count = 0;
    while (const struct dirent* entry = readdir(dir)) {
        int index = 0;
        int stamp = 0;
        if (strcmp(entry->d_name, current_name) != 0 &&
            !parse_rotated_name(entry->d_name, stem_name, rotate_count, &index, &stamp)) {
            continue;
        }
        if (!is_regular(dir, entry)) continue;
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
        StemEntry& out = (*entries)[*count];
        out.listed = (*count)++;
        out.index = index;
        out.stamp = stamp;
        out.moves = false;
        out.moved = false;
        // The name of an own file is no longer than the longest one rotation
        // makes, which the caller has found to fit.
        snprintf(out.name, sizeof out.name, "%s", entry->d_name);
    }
    return 0;
}

// A rotation that cannot be made is tried again at every write. Its message
// is given when a log file first gets stuck, and again only after one of
// the task's rotations has succeeded. Each slot holds the stuck log path of
// one task and is used by that task's thread only.
char stuck_paths[task_count][rotate_path_size];

char* stuck_slot(const TaskEntry* task) {
    for (int i = 0; i < task_count; ++i) {
        if (task == &task_table[i]) return stuck_paths[i];
    }
    return nullptr;
}

bool rotation_stuck(const TaskEntry* task) {
    const char* slot = stuck_slot(task);
    return slot != nullptr && slot[0] != '\0' && strncmp(slot, task->log_path, rotate_path_size - 1) == 0;
}

// Whether the stuck rotation is to be reported now.
bool first_time_stuck(const TaskEntry* task) {
    if (rotation_stuck(task)) return false;
    if (char* slot = stuck_slot(task))
        snprintf(slot, rotate_path_size, "%.*s", static_cast<int>(rotate_path_size - 1), task->log_path);
    return true;
}

void rotation_succeeded(const TaskEntry* task) {
    if (char* slot = stuck_slot(task)) slot[0] = '\0';
}

// The full path of a name in the log root, for messages. Every name a
// rotation handles fits with the root, as rotate_file has made sure.
const char* join_path(char* out, const char* root, const char* name) {
    const int length = snprintf(out, rotate_path_size, "%s/%s", root, name);
    return length >= 0 && static_cast<size_t>(length) < rotate_path_size ? out : name;
}

void report_refused_move(const TaskEntry* task, const char* root, const StemEntry& entry, int error) {
    if (!first_time_stuck(task)) return;
    char from[rotate_path_size];
    char to[rotate_path_size];
    MSG_ERROR("%s: cannot rename [%s] to [%s]: %s (%d)\n", task->name, join_path(from, root, entry.name),
              join_path(to, root, entry.target), error_text(error).text, error);
}

// Plans the moves of entries (sorted by falling index), first of each index
// up one, and tests that every new name is free or is freed by an earlier
// step. Returns 0, or the errno that makes the rotation impossible with
// *blocked the entry it stopped at.
int plan_moves(int dir_fd, StemEntry* entries, size_t count, const char* stem_name, int rotate_count,
               const StemEntry* doomed, const StemEntry** blocked) {
    time_t now = time(nullptr);
    struct tm local {};
    if (localtime_r(&now, &local) == nullptr) memset(&local, 0, sizeof local);
    const StemEntry* previous = nullptr;
    for (size_t i = 0; i < count; ++i) {
        StemEntry& entry = entries[i];
        if (entry.index == rotate_count || (i > 0 && entries[i - 1].index == entry.index)) continue;
        entry.moves = true;
        const int stamp = entry.index == 0 ? local.tm_hour * 10000 + local.tm_min * 100 + local.tm_sec : entry.stamp;
        const int length =
            snprintf(entry.target, sizeof entry.target, "%s.%d.%06d.dm", stem_name, entry.index + 1, stamp);
        if (length < 0 || static_cast<size_t>(length) >= sizeof entry.target) {
            *blocked = &entry;
            return ENAMETOOLONG;
        }
        struct stat info;
        if (fstatat(dir_fd, entry.target, &info, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) {
                previous = &entry;
                continue;
            }
            *blocked = &entry;
            return errno;
        }
        const bool freed_by_drop =
            doomed != nullptr && entry.index + 1 == rotate_count && strcmp(entry.target, doomed->name) == 0;
        const bool freed_by_move =
            previous != nullptr && previous->index == entry.index + 1 && strcmp(entry.target, previous->name) == 0;
        if (!freed_by_drop && !freed_by_move) {
            *blocked = &entry;
            return EEXIST;
        }
        previous = &entry;
    }
    return 0;
}

// The names a rotation works with: the current file's name in the log root,
// and that name without its ".dm", which every rotated name begins with.
struct RotationStem {
    const char* current_name;
    char name[rotate_path_size];
};

enum class StemProblem { none, too_long, outside_root };

// Build the stem. The longest name the rotation makes, STEM.N.HHMMSS.dm, or
// with no rotated files kept the log path itself, must fit the path buffers,
// and the log file must lie directly in the log root.
StemProblem build_stem(const TaskEntry* task, const char* root, int rotate_count, RotationStem* stem) {
    const size_t root_length = strlen(root);
    const size_t path_length = strlen(task->log_path);
    const size_t stem_length = path_length >= 3 ? path_length - 3 : 0;
    size_t longest = path_length;
    if (rotate_count > 0)
        longest = stem_length + static_cast<size_t>(snprintf(nullptr, 0, ".%d.000000.dm", rotate_count));
    if (longest >= rotate_path_size) return StemProblem::too_long;
    const bool in_root = strncmp(task->log_path, root, root_length) == 0 && task->log_path[root_length] == '/' &&
                         stem_length > root_length + 1 && strchr(task->log_path + root_length + 1, '/') == nullptr;
    if (!in_root) return StemProblem::outside_root;
    stem->current_name = task->log_path + root_length + 1;
    snprintf(stem->name, sizeof stem->name, "%.*s", static_cast<int>(stem_length - root_length - 1),
             stem->current_name);
    return StemProblem::none;
}

// The log root, opened for the names in it; null, reported once, when it
// cannot be read.
DIR* open_log_root(const TaskEntry* task, const char* root) {
    const int dir_fd = open_confined(root, O_RDONLY | O_DIRECTORY);
    DIR* dir = dir_fd >= 0 ? fdopendir(dir_fd) : nullptr;
    if (dir == nullptr) {
        const int error = errno;
        if (dir_fd >= 0) close(dir_fd);
        if (first_time_stuck(task)) {
            MSG_ERROR("%s: opendir (%s) failed, errno: %s (%d)\n", task->name, root, error_text(error).text, error);
        }
    }
    return dir;
}

// Shift: every entry that moves takes its new name, in the planned order.
// When a move fails, what has moved is put back, so that a retry starts from
// the same files and drops no more of them than one rotation does; false
// then.
bool shift_entries(const TaskEntry* task, int dir_fd, const char* root, StemEntry* entries, size_t count) {
    char from[rotate_path_size];
    char to[rotate_path_size];
    for (size_t i = 0; i < count; ++i) {
        StemEntry& entry = entries[i];
        if (!entry.moves) continue;
        MSG_DEBUG(2, "%s: rotate_file: [%s] --> [%s]\n", task->name, join_path(from, root, entry.name),
                  join_path(to, root, entry.target));
        if (rename_no_replace(dir_fd, entry.name, entry.target) == 0) {
            entry.moved = true;
            continue;
        }
        const int error = errno;
        // A file that has gone meanwhile needs no room.
        if (error == ENOENT) continue;
        report_refused_move(task, root, entry, error);
        for (size_t back = i; back-- > 0;) {
            if (entries[back].moved) rename_no_replace(dir_fd, entries[back].target, entries[back].name);
        }
        return false;
    }
    return true;
}

// Drop: the oldest file goes before the moves only when the file below it
// takes its very name (the first move, if any, is that file's), and
// otherwise once every move has been made.
bool drops_before_shift(const StemEntry* entries, size_t count, const StemEntry* doomed, int rotate_count) {
    if (doomed == nullptr) return false;
    const StemEntry* first_move = std::find_if(entries, entries + count, [](const StemEntry& e) { return e.moves; });
    return first_move->index + 1 == rotate_count && strcmp(first_move->target, doomed->name) == 0;
}

// Shift and drop the collected entries (sorted by falling index, the task's
// full file among them). Every file is kept when any move cannot be made.
void rotate_entries(TaskEntry* task, int dir_fd, const char* root, const RotationStem& stem, int rotate_count,
                    StemEntry* entries, size_t count) {
    // The oldest file goes when the files above it move up; the first of its
    // index, as the directory lists them.
    const StemEntry* doomed = entries[0].index == rotate_count ? &entries[0] : nullptr;
    const StemEntry* blocked = nullptr;
    if (const int error = plan_moves(dir_fd, entries, count, stem.name, rotate_count, doomed, &blocked); error != 0) {
        // Nothing has moved or gone; the full file takes the data until the
        // way is free.
        report_refused_move(task, root, *blocked, error);
        return;
    }
    const bool dropped = drops_before_shift(entries, count, doomed, rotate_count);
    if (dropped) unlinkat(dir_fd, doomed->name, 0);
    if (!shift_entries(task, dir_fd, root, entries, count)) return;
    if (doomed != nullptr && !dropped) unlinkat(dir_fd, doomed->name, 0);
    rotation_succeeded(task);
}

// Collect the stem's own files, highest index first, and rotate them.
void rotate_stem(TaskEntry* task, DIR* dir, const char* root, const RotationStem& stem, int rotate_count) {
    StemEntry* entries = nullptr;
    size_t count = 0;
    if (collect_stem_entries(dir, stem.current_name, stem.name, rotate_count, &entries, &count) != 0) {
        const int error = errno;
        if (first_time_stuck(task))
            MSG_ERROR("%s: rotate_file: alloc failed: %s\n", task->name, error_text(error).text);
        return;
    }
    // Highest index first, so that each move finds its new name freed; the
    // directory's own order decides between entries of one index. std::sort
    // with that order spelled out rather than std::stable_sort, whose buffer
    // is the only thing that would tie the daemon to the C++ runtime library.
    std::sort(entries, entries + count, [](const StemEntry& a, const StemEntry& b) {
        return a.index != b.index ? a.index > b.index : a.listed < b.listed;
    });
    // Without a full file of its own there is nothing to rotate.
    if (count > 0 && entries[count - 1].index == 0) {
        rotate_entries(task, dirfd(dir), root, stem, rotate_count, entries, count);
    }
    free(entries);
}

}  // namespace

void rotate_file(TaskEntry* task) {
    const char* root = runtime_state.log_root != nullptr ? runtime_state.log_root : "";
    const int rotate_count = daemon_settings.rotate_count;
    RotationStem stem;
    const StemProblem problem = build_stem(task, root, rotate_count, &stem);
    if (problem == StemProblem::too_long) {
        // A shortened name could match other files; the file grows on
        // instead, as when the directory cannot be read.
        if (first_time_stuck(task)) MSG_ERROR("%s: rotate_file: log path too long: %s\n", task->name, task->log_path);
        return;
    }
    DIR* dir = open_log_root(task, root);
    if (dir == nullptr) return;
    if (problem == StemProblem::outside_root) {
        if (first_time_stuck(task)) {
            MSG_ERROR("%s: rotate_file: log path %s is not in %s\n", task->name, task->log_path, root);
        }
    } else if (rotate_count <= 0) {
        // No rotated file is kept: the full file is simply started again.
        struct stat info;
        if (fstatat(dirfd(dir), stem.current_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode)) {
            unlinkat(dirfd(dir), stem.current_name, 0);
        }
        rotation_succeeded(task);
    } else {
        rotate_stem(task, dir, root, stem, rotate_count);
    }
    closedir(dir);
}

int measure_free_space(const char* dir, FreeSpace* space) {
    const int fd = open_confined(dir, O_RDONLY | O_DIRECTORY);
    if (fd < 0) return -1;
    struct statvfs info;
    const int measured = fstatvfs(fd, &info);
    const int error = errno;
    close(fd);
    errno = error;
    if (measured != 0) return -1;
    const uint64_t block = info.f_frsize != 0 ? info.f_frsize : info.f_bsize;
    const uint64_t most = static_cast<uint64_t>(INT64_MAX);
    auto bytes = [&](uint64_t blocks) {
        return static_cast<int64_t>(block != 0 && blocks > most / block ? most : blocks * block);
    };
    space->free_bytes = bytes(info.f_bavail);
    space->total_bytes = bytes(info.f_blocks);
    space->block_bytes = block != 0 ? static_cast<int64_t>(std::min(block, most)) : 1;
    return 0;
}

void forget_free_space() {
    for (FreeSpaceWatch& watch : free_space_watches) watch.known = false;
}

int write_log_file(TaskEntry* task, const char* data, int length) {
    if (task == nullptr) return -1;
    if (task->log_path == nullptr) {
        MSG_ERROR("%s: no log path was set!\n", task->name);
        return -1;
    }
    if (data == nullptr || length < 0) length = 0;
    const int header = runtime_state.header_bytes > 0 ? runtime_state.header_bytes : 0;
    const size_t body = length > header ? static_cast<size_t>(length - header) : 0;
    struct stat info;
    const bool rotation_due = stat_confined(task->log_path, &info) == 0 &&
                              int64_t{info.st_size} >= int64_t{daemon_settings.rotate_size_mb} * mebibyte;
    // While the rotation is stuck the full file takes every buffer whole; the
    // start of each one again would only repeat it.
    const bool copies_head = rotation_due && task_is(task, task_qxdm_ext) && !rotation_stuck(task);
    const size_t ext_copy = copies_head ? static_cast<size_t>(std::min(length, ext_rotation_copy)) : 0;
    // Nothing of the call is written, nor any file moved, when all of it
    // would not leave the reserve free.
    if (refused_for_reserve(task, ext_copy + body, body)) return -1;
    if (rotation_due) {
        if (copies_head) {
            size_t copied;
            stop_on_fatal(task, append_to_log(task, data, ext_copy, &copied));
            count_appended(copied);
        }
        rotate_file(task);
        if (copies_head) take_back_head_if_not_rotated(task, info);
    }
    size_t written;
    const int error = append_to_log(task, body > 0 ? data + header : data, body, &written);
    count_appended(written);
    if (error == 0) {
        MSG_DEBUG(2, "%s: write log file [%s] success, ret = %d\n", task->name, task->log_path,
                  static_cast<int>(written));
    }
    stop_on_fatal(task, error);
    return error == 0 ? 0 : -1;
}
