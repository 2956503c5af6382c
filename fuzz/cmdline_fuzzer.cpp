// get_cmdline_value on any command line, with any key and a value buffer of
// 1 to 64 bytes: the value stays inside its buffer and NUL-terminated, is
// written only when the result says bytes were read, and is a word of the
// command line or the (cut) default.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "control/cmdline.h"
#include "fuzz_support.h"
#include "logger/task_table.h"

namespace {

// Longer than any value buffer, so that the default is cut too.
const char* const defaults[] = {"normal", "0", "",
                                "a-default-value-that-is-longer-than-the-sixty-four-bytes-of-a-value-buffer"};

bool is_prefix(const char* text, size_t length, const char* of) {
    return strlen(of) >= length && memcmp(text, of, length) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Messages are formatted too, and go nowhere.
    setenv("ORLITH_LOG", "/dev/null", 1);  // NOLINT(concurrency-mt-unsafe): libFuzzer calls this before any input
    daemon_settings.messages_enabled = 1;
    daemon_settings.debug_level = 3;
    return 0;
}

// Input: one byte for the value buffer's size and the default, one for the
// key's length, the key, then the file.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const size_t value_size = 1 + data[0] % cmdline_value_size;
    const char* default_value = defaults[data[0] / cmdline_value_size];
    size_t key_length = data[1] % 64;
    if (key_length > size - 2) key_length = size - 2;
    char key[64];
    memcpy(key, data + 2, key_length);
    key[key_length] = '\0';
    const uint8_t* file = data + 2 + key_length;
    const size_t file_size = size - 2 - key_length;
    const char* path = fuzz_file_with(file, file_size);

    // Exactly value_size bytes, so that ASan sees a byte written past the end.
    char* value = static_cast<char*>(malloc(value_size));
    FUZZ_CHECK(value != nullptr);
    memset(value, '#', value_size);
    const int result = get_cmdline_value(path, key, value, value_size, default_value);
    const size_t read_size = file_size < cmdline_read_size ? file_size : cmdline_read_size;
    FUZZ_CHECK(result == static_cast<int>(read_size));
    if (result <= 0) {
        for (size_t i = 0; i < value_size; ++i) FUZZ_CHECK(value[i] == '#');
    } else {
        const char* end = static_cast<const char*>(memchr(value, '\0', value_size));
        FUZZ_CHECK(end != nullptr);
        const size_t length = static_cast<size_t>(end - value);
        // Only the bytes read count, and the last of them is cut off.
        const bool from_file = length > 0 && memchr(value, ' ', length) == nullptr &&
                               memmem(file, read_size - 1, value, length) != nullptr;
        FUZZ_CHECK(from_file || is_prefix(value, length, default_value));
    }
    free(value);
    return 0;
}
