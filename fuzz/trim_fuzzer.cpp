// trim_spaces on any text: it may only cut white space from the two ends,
// and the text stays where it was.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "config/key_value_list.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Exactly the text and its NUL, so that ASan sees a step past either end.
    char* text = static_cast<char*>(malloc(size + 1));
    FUZZ_CHECK(text != nullptr);
    memcpy(text, data, size);
    text[size] = '\0';
    const size_t length = strlen(text);
    size_t first = 0;
    while (first < length && fuzz_is_white(text[first])) ++first;
    size_t last = length;
    while (last > first && fuzz_is_white(text[last - 1])) --last;
    const uint8_t* expected = data + first;
    const size_t expected_length = last - first;

    char* trimmed = trim_spaces(text);
    FUZZ_CHECK(trimmed == text);
    const char* end = static_cast<const char*>(memchr(trimmed, '\0', size + 1));
    FUZZ_CHECK(end != nullptr);
    const size_t trimmed_length = static_cast<size_t>(end - trimmed);
    FUZZ_CHECK(trimmed_length == expected_length);
    FUZZ_CHECK(memcmp(trimmed, expected, expected_length) == 0);
    if (trimmed_length > 0) {
        FUZZ_CHECK(!fuzz_is_white(trimmed[0]));
        FUZZ_CHECK(!fuzz_is_white(trimmed[trimmed_length - 1]));
    }
    free(text);
    return 0;
}
