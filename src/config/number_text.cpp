#include "config/number_text.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>

int parse_int(const char* text) {
    int saved = errno;
    long long value = strtoll(text, nullptr, 10);
    errno = saved;
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}
