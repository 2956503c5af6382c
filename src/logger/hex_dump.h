// The hexadecimal text that the data and mask traces show of a buffer.
#pragma once

#include <stddef.h>

// Room for the longest text (507 characters) and its NUL.
constexpr size_t hex_dump_size = 508;

// Writes "4B(K),0F(.),7E(~)" style items into out, at most out_size - 1
// characters and a NUL. Up to 84 bytes every byte is shown; beyond that the
// first 81 and the last 3, joined by " ... ". Returns out, or null when out
// is null; a null data pointer or a length of 0 or less gives "".
char* hex_dump(const void* data, int length, char* out, size_t out_size);
