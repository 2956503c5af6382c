// parse_config_file and load_config on any file. Each run starts from the
// records' initial values, so a run never depends on the one before, and
// the list load_config keeps for the process's life is released between
// runs, so that LeakSanitizer still sees every other leak.
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "config/config_file.h"
#include "config/key_value_list.h"
#include "config/number_text.h"
#include "fuzz_support.h"
#include "logger/task_table.h"

namespace {

// A key and its value come from one line of at most 511 characters.
constexpr size_t line_room = 511;

void reset_loaded_state() {
    runtime_state.log_root = nullptr;
    runtime_state.auto_start = 0;
    daemon_settings.debug_level = 1;
    daemon_settings.rotate_size_mb = 64;
    daemon_settings.rotate_count = 10;
    for (TaskEntry* task = task_table; task->name != nullptr; ++task) {
        free(task->mask_file);
        free(task->null_mask_file);
        task->mask_file = nullptr;
        task->null_mask_file = nullptr;
    }
    kv_list_destroy(loaded_config);
    loaded_config = nullptr;
}

// The configuration is read only from a regular file opened by its own
// name, never through a link such as /proc/self/fd/N, so the input goes
// into a named file of a directory of its own. Both are removed at exit; a
// crash leaves them in /tmp.
struct NamedFile {
    int fd = -1;
    char dir[64] = "/tmp/orlith-conf-fuzz-XXXXXX";
    char path[96] = "";
};
NamedFile config_file;

void remove_config_file() {
    unlink(config_file.path);
    rmdir(config_file.dir);
}

void make_config_file() {
    FUZZ_CHECK(mkdtemp(config_file.dir) != nullptr);
    snprintf(config_file.path, sizeof config_file.path, "%s/orlith.conf", config_file.dir);
    config_file.fd = open(config_file.path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    FUZZ_CHECK(config_file.fd >= 0);
    FUZZ_CHECK(atexit(remove_config_file) == 0);
}

bool trimmed(const char* text) {
    const size_t length = strlen(text);
    return length == 0 || (!fuzz_is_white(text[0]) && !fuzz_is_white(text[length - 1]));
}

void check_list(KeyValueList* list, const char* path) {
    FUZZ_CHECK(list != nullptr);
    FUZZ_CHECK(strcmp(list->source, path) == 0);
    for (const KeyValueNode* node = list->head; node != nullptr; node = node->next) {
        const KeyValueItem* item = static_cast<const KeyValueItem*>(node->item);
        FUZZ_CHECK(item != nullptr && item->key != nullptr && item->value != nullptr);
        FUZZ_CHECK(strchr(item->key, '=') == nullptr);
        FUZZ_CHECK(item->key[0] != '#');
        FUZZ_CHECK(trimmed(item->key) && trimmed(item->value));
        FUZZ_CHECK(strlen(item->key) + 1 + strlen(item->value) <= line_room);
        // One item per key: a later line replaces the value in place.
        for (const KeyValueNode* other = node->next; other != nullptr; other = other->next) {
            FUZZ_CHECK(strcmp(static_cast<const KeyValueItem*>(other->item)->key, item->key) != 0);
        }
    }
}

void check_mask(const char* field, const char* value) {
    if (strcmp(value, "null") == 0) {
        FUZZ_CHECK(field == nullptr);
    } else {
        FUZZ_CHECK(field != nullptr && strcmp(field, value) == 0);
    }
}

void check_loaded() {
    KeyValueList* list = loaded_config;
    FUZZ_CHECK(list != nullptr);
    FUZZ_CHECK(runtime_state.log_root != nullptr);
    FUZZ_CHECK(daemon_settings.rotate_size_mb == parse_int(kv_get(list, "RotateSizeMB", "64")));
    FUZZ_CHECK(daemon_settings.rotate_count == parse_int(kv_get(list, "RotateCount", "10")));
    FUZZ_CHECK(daemon_settings.debug_level == parse_int(kv_get(list, "DebugLevel", "1")));
    FUZZ_CHECK(runtime_state.auto_start == (strcmp(kv_get(list, "AutoStart", "false"), "false") == 0 ? 0 : 1));
    // A StoragePath that is not a storage name is used only as an absolute
    // path that never steps up with "..".
    const char* storage = kv_get(list, "StoragePath", "EXTERNAL_STORAGE");
    if (runtime_state.log_root == storage && strcmp(storage, "EXTERNAL_STORAGE") != 0 &&
        strcmp(storage, "PHONE_STORAGE") != 0) {
        FUZZ_CHECK(storage[0] == '/');
        for (const char* up = strstr(storage, "/.."); up != nullptr; up = strstr(up + 1, "/..")) {
            FUZZ_CHECK(up[3] != '/' && up[3] != '\0');
        }
    }
    char key[128];
    for (const TaskEntry* task = task_table; task->name != nullptr; ++task) {
        snprintf(key, sizeof key, "%s:Mask", task->name);
        check_mask(task->mask_file, kv_get(list, key, "null"));
        snprintf(key, sizeof key, "%s:NullMask", task->name);
        check_mask(task->null_mask_file, kv_get(list, key, "null"));
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Messages are formatted too, and go nowhere.
    setenv("ORLITH_LOG", "/dev/null", 1);  // NOLINT(concurrency-mt-unsafe): libFuzzer calls this before any input
    daemon_settings.messages_enabled = 1;
    make_config_file();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_fill_file(config_file.fd, data, size);
    const char* path = config_file.path;
    KeyValueList* list = parse_config_file(path);
    check_list(list, path);
    kv_list_destroy(list);

    load_config(path);
    check_loaded();
    reset_loaded_state();
    return 0;
}
