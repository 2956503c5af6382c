// What the fuzz targets share: a failed invariant that libFuzzer records as a
// crash, and one scratch file per process that each input is written into.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

// Not assert: the fuzz build has NDEBUG, and the check must hold there.
#define FUZZ_CHECK(condition)                                                                 \
    do {                                                                                      \
        if (!(condition)) {                                                                   \
            fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #condition); \
            abort();                                                                          \
        }                                                                                     \
    } while (0)

// The file is unlinked as soon as it is made, so a crashed or killed run
// leaves nothing in /tmp; the code under test opens it by its /proc name.
struct FuzzFile {
    int fd;
    char path[64];
};

inline FuzzFile open_fuzz_file() {
    FuzzFile file{-1, {}};
    char name[] = "/tmp/orlith-fuzz-XXXXXX";
    file.fd = mkostemp(name, O_CLOEXEC);
    if (file.fd < 0) {
        perror("mkostemp");
        abort();
    }
    unlink(name);
    snprintf(file.path, sizeof file.path, "/proc/self/fd/%d", file.fd);
    return file;
}

// Replaces the contents of the file open as fd with the input. The new
// bytes go in first and the file is cut to them afterwards: ext4 flushes a
// file that was truncated to nothing on its next close, which would make
// every run wait for the disk.
inline void fuzz_fill_file(int fd, const uint8_t* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t count = pwrite(fd, data + done, size - done, static_cast<off_t>(done));
        if (count < 0 && errno == EINTR) continue;
        FUZZ_CHECK(count > 0);
        done += static_cast<size_t>(count);
    }
    int result;
    do {
        result = ftruncate(fd, static_cast<off_t>(size));
    } while (result < 0 && errno == EINTR);
    FUZZ_CHECK(result == 0);
}

// Replaces the scratch file's contents with the input; returns its path.
inline const char* fuzz_file_with(const uint8_t* data, size_t size) {
    static const FuzzFile file = open_fuzz_file();
    fuzz_fill_file(file.fd, data, size);
    return file.path;
}

// For code that opens without following a link, which a /proc name is: the
// file keeps its own name, removed at the fuzzer's exit.
inline const char* fuzz_named_file_with(const uint8_t* data, size_t size) {
    static char name[] = "/tmp/orlith-fuzz-named-XXXXXX";
    static const int fd = [] {
        const int made = mkostemp(name, O_CLOEXEC);
        if (made < 0) {
            perror("mkostemp");
            abort();
        }
        if (atexit([] { unlink(name); }) != 0) abort();
        return made;
    }();
    fuzz_fill_file(fd, data, size);
    return name;
}

// POSIX-locale white space, as the configuration trimmer knows it.
inline bool fuzz_is_white(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
