#include "config/config_file.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "config/confined_path.h"
#include "config/line_reader.h"
#include "config/number_text.h"
#include "config/storage.h"
#include "logger/log_writer.h"
#include "logger/task_table.h"
#include "msg/error_text.h"
#include "msg/log_msg.h"
#include "platform/platform.h"
#include "platform/profile.h"

KeyValueList* loaded_config = nullptr;

namespace {

constexpr size_t line_size = 512;
constexpr size_t mask_key_size = 128;
constexpr const char* default_storage = "EXTERNAL_STORAGE";

void parse_line(KeyValueList* list, const char* path, char* line) {
    trim_spaces(line);
    if (line[0] == '\0' || line[0] == '#') return;
    char* equals = strchr(line, '=');
    if (equals == nullptr) {
        log_direct(log_priority_debug, log_tag_conf, "%s: invalid config [%s]\n", path, line);
        return;
    }
    *equals = '\0';
    // A store that fails for want of memory loses only this line.
    kv_set(list, trim_spaces(line), trim_spaces(equals + 1));
}

char* mask_value(const char* value) {
    if (strcmp(value, "null") == 0) return nullptr;
    return strdup(value);
}

void load_task_masks(KeyValueList* list) {
    char key[mask_key_size];
    for (TaskEntry* task = task_table; task->name != nullptr; ++task) {
        snprintf(key, sizeof key, "%s:Mask", task->name);
        const char* value = kv_get(list, key, "null");
        MSG_DEBUG(1, "load_config: [%s] = [%s]\n", key, value);
        task->mask_file = mask_value(value);

        snprintf(key, sizeof key, "%s:NullMask", task->name);
        value = kv_get(list, key, "null");
        MSG_DEBUG(1, "load_config: [%s] = [%s]\n", key, value);
        task->null_mask_file = mask_value(value);
    }
}

bool same_text(const char* a, const char* b) { return a != nullptr && b != nullptr && strcmp(a, b) == 0; }

// The directories the two storage keywords stand for: each gives its
// directory, or null with what it lacks ("available", "mounted", "enabled")
// when the fallback is to be used instead.
const char* external_storage_root(const char** lack) {
    const char* root = choose_storage();
    *lack = root == nullptr ? "available" : is_path_mounted(root) == 0 ? "mounted" : nullptr;
    return *lack == nullptr ? root : nullptr;
}

const char* phone_storage_root(const char** lack) {
    const char* external = getenv("EXTERNAL_STORAGE");
    if (same_text(choose_storage(), external)) {
        *lack = "enabled";
    } else {
        *lack = external == nullptr ? "available" : is_path_mounted(external) == 0 ? "mounted" : nullptr;
    }
    return *lack == nullptr ? external : nullptr;
}

void resolve_storage() {
    const char* keyword = runtime_state.log_root;
    const char* (*root_of)(const char**) = nullptr;
    if (strcmp(keyword, "EXTERNAL_STORAGE") == 0) root_of = external_storage_root;
    if (strcmp(keyword, "PHONE_STORAGE") == 0) root_of = phone_storage_root;
    if (root_of == nullptr) return;
    if (platform_profile.log_root != nullptr) {
        // This build writes only into its own folder: the keywords stand for
        // the log folder there.
        runtime_state.log_root = platform_profile.log_root;
        MSG_DEBUG(1, "%s = [%s] is used\n", keyword, runtime_state.log_root);
        return;
    }
    const char* lack = nullptr;
    const char* root = root_of(&lack);
    if (root == nullptr) {
        root = fallback_storage;
        MSG_DEBUG(1, "%s is not %s, use [%s]\n", keyword, lack, root);
    } else {
        MSG_DEBUG(1, "%s = [%s] is used\n", keyword, root);
    }
    runtime_state.log_root = root;
}

// The file lies in the app's directory and is the app's to replace. A link
// there, or in place of a folder on the way, would have the root daemon read
// (and report, line by line) a file the app may not read, a FIFO would hold
// start-up until someone writes, and a device may never end. Only a regular
// file is read, and only up to the bound; anything else is no
// configuration. The descriptor, or -1.
int open_config(const char* path) {
    int fd = open_confined(path, O_RDONLY | O_NONBLOCK);
    struct stat info;
    if (fd >= 0 && fstat(fd, &info) != 0) {
        const int error = errno;
        close(fd);
        fd = -1;
        errno = error;
    }
    if (fd < 0) {
        log_direct(log_priority_debug, log_tag_conf, "%s: %s\n", path, error_text(errno).text);
        return -1;
    }
    if (!S_ISREG(info.st_mode)) {
        log_direct(log_priority_debug, log_tag_conf, "%s: not a regular file\n", path);
        close(fd);
        return -1;
    }
    if (info.st_size > static_cast<off_t>(config_file_max_bytes)) {
        log_direct(log_priority_debug, log_tag_conf, "%s: larger than %zu bytes, the rest is not read\n", path,
                   config_file_max_bytes);
    }
    return fd;
}

// The log root receives the daemon's files and is where it finds the masks
// it sends: a relative one would depend on the daemon's working directory,
// and a ".." would lead out of the directory that the path names.
const char* checked_storage(const char* value) {
    if (strcmp(value, "EXTERNAL_STORAGE") == 0 || strcmp(value, "PHONE_STORAGE") == 0) return value;
    const char* bound = platform_profile.storage_bound;
    if (value[0] == '/' && !has_parent_step(value)) {
        if (bound == nullptr || path_lies_under(value, bound)) return value;
        MSG_ERROR("load_config: StoragePath [%s] is not beneath %s, taken as unset\n", value, bound);
        return default_storage;
    }
    MSG_ERROR("load_config: StoragePath [%s] is not an absolute path without '..', taken as unset\n", value);
    return default_storage;
}

long long whole_mib(int64_t bytes) { return static_cast<long long>(bytes >> 20); }

// MinFreeMB as the file gives it: a negative one is a mistake in the file
// and leaves the medium unguarded, as without the key.
int parse_reserve(KeyValueList* list, const char** text_out) {
    const char* text = kv_get(list, "MinFreeMB", "0");
    *text_out = text;
    const int reserve = parse_int(text);
    if (reserve >= 0) return reserve;
    MSG_ERROR("load_config: MinFreeMB [%s] is negative, taken as unset\n", text);
    return 0;
}

// The reserve is judged once, against the file system the log files go to:
// the card's, so not before the card is mounted. Every task's thread passes
// here before its first write, which orders the judgement before any use.
// Without a configuration there is nothing to judge.
pthread_mutex_t reserve_lock = PTHREAD_MUTEX_INITIALIZER;
bool reserve_judged = true;
// The value as the file wrote it, for the message; it lives in the loaded
// list.
const char* reserve_text = "0";

}  // namespace

// A reserve that cannot be kept from the start would stop the daemon at its
// first write; like a negative one, it is a mistake in the file and leaves
// the medium unguarded, as without the key.
void judge_reserve() {
    pthread_mutex_lock(&reserve_lock);
    if (!reserve_judged) {
        reserve_judged = true;
        int reserve = daemon_settings.min_free_mb;
        FreeSpace space;
        const bool measured = measure_free_space(runtime_state.log_root, &space) == 0;
        const int error = errno;
        if (measured && int64_t{reserve} << 20 > space.total_bytes) {
            MSG_ERROR("load_config: MinFreeMB [%s] is more than the %lld MiB of %s, taken as unset\n", reserve_text,
                      whole_mib(space.total_bytes), runtime_state.log_root);
            reserve = 0;
        }
        daemon_settings.min_free_mb = reserve;
        MSG_DEBUG(1, "load_config: [MinFreeMB] = [%d]\n", reserve);
        if (measured) {
            MSG_DEBUG(1, "load_config: %s has %lld MiB free of %lld MiB, %d MiB kept free\n", runtime_state.log_root,
                      whole_mib(space.free_bytes), whole_mib(space.total_bytes), reserve);
        } else {
            MSG_DEBUG(1, "load_config: free space of %s unknown: %s, %d MiB kept free\n", runtime_state.log_root,
                      error_text(error).text, reserve);
        }
    }
    pthread_mutex_unlock(&reserve_lock);
}

namespace {

// Judged now when the log root is already mounted, or when there is no
// reserve to judge; otherwise by the first task that finds it mounted, since
// until then the log root shows the file system under the mount point.
void load_reserve(KeyValueList* list) {
    daemon_settings.min_free_mb = parse_reserve(list, &reserve_text);
    pthread_mutex_lock(&reserve_lock);
    reserve_judged = false;
    pthread_mutex_unlock(&reserve_lock);
    if (daemon_settings.min_free_mb == 0 || log_root_mounted(runtime_state.log_root) == 1) {
        judge_reserve();
    } else {
        MSG_DEBUG(1, "load_config: %s is not mounted yet, MinFreeMB [%s] is judged once it is\n",
                  runtime_state.log_root, reserve_text);
    }
}

}  // namespace

KeyValueList* parse_config_file(const char* path) {
    KeyValueList* list = kv_list_create(path);
    if (list == nullptr) return nullptr;
    const int fd = open_config(path);
    if (fd < 0) {
        kv_list_destroy(list);
        return nullptr;
    }
    // A line longer than the buffer is handed over in pieces, each of which
    // is then a line of its own.
    LineReader reader;
    line_reader_init(&reader, fd, config_file_max_bytes);
    char line[line_size];
    while (read_line(&reader, line, sizeof line, LongLine::split, nullptr) == 1) parse_line(list, path, line);
    close(fd);
    return list;
}

bool has_parent_step(const char* path) {
    for (const char* at = path;;) {
        const size_t length = strcspn(at, "/");
        if (length == 2 && at[0] == '.' && at[1] == '.') return true;
        if (at[length] == '\0') return false;
        at += length + 1;
    }
}

int load_config(const char* path) {
    KeyValueList* list = parse_config_file(path);
    if (list == nullptr) {
        MSG_DEBUG(1, "load_config: cannot find config %s\n", path);
        return 0;
    }
    MSG_DEBUG(1, "load_config: load config from %s (%p)\n", path, static_cast<void*>(list));
    loaded_config = list;

    runtime_state.auto_start = strcmp(kv_get(list, "AutoStart", "false"), "false") == 0 ? 0 : 1;
    daemon_settings.rotate_size_mb = parse_int(kv_get(list, "RotateSizeMB", "64"));
    daemon_settings.rotate_count = parse_int(kv_get(list, "RotateCount", "10"));
    daemon_settings.debug_level = parse_int(kv_get(list, "DebugLevel", "1"));
    runtime_state.log_root = checked_storage(kv_get(list, "StoragePath", default_storage));

    MSG_DEBUG(1, "load_config: [AutoStart] = [%d]\n", runtime_state.auto_start);
    MSG_DEBUG(1, "load_config: [RotateSizeMB] = [%d]\n", daemon_settings.rotate_size_mb);
    MSG_DEBUG(1, "load_config: [RotateCount] = [%d]\n", daemon_settings.rotate_count);
    MSG_DEBUG(1, "load_config: [DebugLevel] = [%d]\n", daemon_settings.debug_level);
    MSG_DEBUG(1, "load_config: [StoragePath] = [%s]\n", runtime_state.log_root);

    load_task_masks(list);
    resolve_storage();
    resolve_log_root(runtime_state.log_root);
    load_reserve(list);
    return 0;
}
