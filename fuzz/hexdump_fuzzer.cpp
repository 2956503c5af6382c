// hex_dump with every output size from 1 to the full one: the text is always
// NUL-terminated inside the buffer, never written past it, and a cut text is
// the start of the full one.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "fuzz_support.h"
#include "logger/hex_dump.h"

namespace {

// Characters of the full text of length bytes: six per item, a comma between
// two items, and " ... " in place of one comma once the middle is left out.
size_t full_text_length(int length) {
    if (length <= 0) return 0;
    if (length <= 84) return static_cast<size_t>(length) * 6 - 1;
    return 81 * 6 - 1 + 5 + 3 * 6 - 1;
}

}  // namespace

// Input: two bytes choose the output size, two the length (a signed 16-bit
// value, cut to the bytes there are), one whether the data pointer is null;
// the rest is the data.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 5) return 0;
    const size_t out_size = 1 + (static_cast<size_t>(data[0]) | static_cast<size_t>(data[1]) << 8) % hex_dump_size;
    int length = static_cast<int16_t>(static_cast<uint16_t>(data[2] | data[3] << 8));
    const bool null_data = (data[4] & 1) != 0;
    const uint8_t* bytes = data + 5;
    const size_t available = size - 5;
    if (length > 0 && static_cast<size_t>(length) > available) length = static_cast<int>(available);

    char full[hex_dump_size];
    FUZZ_CHECK(hex_dump(null_data ? nullptr : bytes, length, full, sizeof full) == full);
    FUZZ_CHECK(memchr(full, '\0', sizeof full) != nullptr);
    FUZZ_CHECK(strlen(full) == (null_data ? 0 : full_text_length(length)));

    // Exactly out_size bytes, so that ASan sees a byte written past the end.
    char* out = static_cast<char*>(malloc(out_size));
    FUZZ_CHECK(out != nullptr);
    memset(out, '#', out_size);
    FUZZ_CHECK(hex_dump(null_data ? nullptr : bytes, length, out, out_size) == out);
    const char* end = static_cast<const char*>(memchr(out, '\0', out_size));
    FUZZ_CHECK(end != nullptr);
    const size_t out_length = static_cast<size_t>(end - out);
    const size_t full_length = strlen(full);
    FUZZ_CHECK(out_length == (full_length < out_size ? full_length : out_size - 1));
    FUZZ_CHECK(memcmp(out, full, out_length) == 0);
    free(out);
    return 0;
}
