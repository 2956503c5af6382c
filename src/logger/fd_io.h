// A read that a signal handler (the stop's SIGALRM) may interrupt is simply
// made again.
#pragma once

#include <errno.h>
#include <unistd.h>

inline ssize_t read_retrying(int fd, void* buffer, size_t size) {
    ssize_t count;
    do {
        count = read(fd, buffer, size);
    } while (count < 0 && errno == EINTR);
    return count;
}
