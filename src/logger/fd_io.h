// Reads and writes that a signal handler (the stop's SIGALRM) may interrupt
// are simply made again.
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

// A short count only means the medium took less this time; the rest is
// written until a write fails. Returns 0 or the errno of that failure.
inline int write_all(int fd, const char* data, size_t length, size_t* written) {
    *written = 0;
    while (*written < length) {
        ssize_t count = write(fd, data + *written, length - *written);
        if (count < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        // Not seen for regular files, but it would otherwise spin for ever.
        if (count == 0) return EIO;
        *written += static_cast<size_t>(count);
    }
    return 0;
}
