#pragma once

// atoi, but defined for every input: a number beyond the range of int is
// clamped to it instead of wrapping differently on 32- and 64-bit builds.
int parse_int(const char* text);
