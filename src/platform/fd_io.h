// Calls that a signal handler (the stop's SIGALRM) may interrupt are simply
// made again. This is the one home of that loop: everything here is inline,
// allocates nothing and is safe in a signal handler.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <sys/types.h>
#include <unistd.h>

// Makes call again for as long as it fails with EINTR; any other result,
// and errno with it, is the caller's.
template <typename Call>
inline auto retry_interrupted(Call call) -> decltype(call()) {
    decltype(call()) result;
    do {
        result = call();
    } while (result < 0 && errno == EINTR);
    return result;
}

inline ssize_t read_retrying(int fd, void* buffer, size_t size) {
    return retry_interrupted([&] { return read(fd, buffer, size); });
}

inline ssize_t pread_retrying(int fd, void* buffer, size_t size, uint64_t offset) {
    return retry_interrupted([&] { return pread(fd, buffer, size, static_cast<off_t>(offset)); });
}

// One write: a short count is the caller's to judge.
inline ssize_t write_retrying(int fd, const void* data, size_t size) {
    return retry_interrupted([&] { return write(fd, data, size); });
}

inline int open_retrying(const char* path, int flags, mode_t mode = 0) {
    return retry_interrupted([&] { return open(path, flags, mode); });
}

// A short count only means the medium took less this time; the rest is
// written until a write fails. Returns 0 or the errno of that failure.
inline int write_all(int fd, const char* data, size_t length, size_t* written) {
    *written = 0;
    while (*written < length) {
        const ssize_t count = write_retrying(fd, data + *written, length - *written);
        if (count < 0) return errno;
        // Not seen for regular files, but it would otherwise spin for ever.
        if (count == 0) return EIO;
        *written += static_cast<size_t>(count);
    }
    return 0;
}
