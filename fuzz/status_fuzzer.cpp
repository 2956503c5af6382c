// read_status_file on any file: the text is NUL-terminated inside its
// buffer, a report counts as complete exactly when it ends in "\n--", and
// the text is the report's start, cut to fit.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "control/control_commands.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* path = fuzz_named_file_with(data, size);
    // The report ends at its first zero byte, or at the end of the file.
    const uint8_t* zero = static_cast<const uint8_t*>(memchr(data, 0, size));
    const size_t length = zero != nullptr ? static_cast<size_t>(zero - data) : size;
    const bool complete = length >= 3 && memcmp(data + length - 3, status_terminator, 3) == 0;

    char* text = static_cast<char*>(malloc(status_text_size));
    FUZZ_CHECK(text != nullptr);
    memset(text, '#', status_text_size);
    const int result = read_status_file(path, text);
    FUZZ_CHECK(result == (complete ? 1 : 0));
    const char* end = static_cast<const char*>(memchr(text, '\0', status_text_size));
    FUZZ_CHECK(end != nullptr);
    const size_t text_length = static_cast<size_t>(end - text);
    if (complete) {
        const size_t body = length - 3;
        FUZZ_CHECK(text_length == (body < status_text_size - 1 ? body : status_text_size - 1));
        FUZZ_CHECK(memcmp(text, data, text_length) == 0);
    } else {
        for (size_t i = 0; i < status_text_size; ++i) FUZZ_CHECK(text[i] == '\0');
    }
    free(text);
    return 0;
}
