#pragma once

#include <stddef.h>

constexpr size_t cmdline_value_size = 64;
constexpr size_t cmdline_read_size = 1024;

// Finds "key=" at the start of a word of the file and copies the word after
// it (cut to fit value_size) into value, or the default when the key is
// absent or empty.
// Returns -1 when the file cannot be opened, the negative read result on a
// read error, 0 for an empty file, else the number of bytes read; value is
// written only when the result is positive. A null or zero-sized value
// buffer gives -1 with EINVAL.
int get_cmdline_value(const char* path, const char* key, char* value, size_t value_size, const char* default_value);
