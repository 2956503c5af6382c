#include "logger/hex_dump.h"

#include <stdio.h>

namespace {

constexpr int shown_whole = 84;
constexpr int shown_head = 81;
constexpr int shown_tail = 3;

// Appends one "XX(c)" item behind a separator; keeps at within the buffer.
void put_item(char* out, size_t out_size, size_t& at, const char* separator, unsigned char byte) {
    if (at >= out_size) return;
    const char shown = (byte >= 0x20 && byte <= 0x7E) ? static_cast<char>(byte) : '.';
    int written = snprintf(out + at, out_size - at, "%s%02X(%c)", separator, byte, shown);
    if (written < 0) return;
    at += static_cast<size_t>(written);
    if (at >= out_size) at = out_size - 1;
}

}  // namespace

char* hex_dump(const void* data, int length, char* out, size_t out_size) {
    if (out == nullptr) return nullptr;
    if (out_size == 0) return out;
    out[0] = '\0';
    if (data == nullptr || length <= 0) return out;
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    size_t at = 0;
    if (length <= shown_whole) {
        for (int i = 0; i < length; ++i) put_item(out, out_size, at, i == 0 ? "" : ",", bytes[i]);
        return out;
    }
    for (int i = 0; i < shown_head; ++i) put_item(out, out_size, at, i == 0 ? "" : ",", bytes[i]);
    for (int i = length - shown_tail; i < length; ++i) {
        put_item(out, out_size, at, i == length - shown_tail ? " ... " : ",", bytes[i]);
    }
    return out;
}
