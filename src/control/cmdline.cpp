#include "control/cmdline.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "msg/error_text.h"
#include "msg/log_msg.h"
#include "platform/fd_io.h"

namespace {

// The value is length bytes of the command line (not terminated there), or
// a default; it is cut to fit and terminated.
void copy_value(char* value, size_t value_size, const char* text, size_t length) {
    if (value_size == 0) return;
    if (length >= value_size) length = value_size - 1;
    memcpy(value, text, length);
    value[length] = '\0';
}

// The first "key=" that begins a word: "radioflag=" inside "xradioflag=" is
// part of another key. Words are separated by blanks, as the value's end is.
const char* find_key(const char* text, const char* pattern) {
    for (const char* at = strstr(text, pattern); at != nullptr; at = strstr(at + 1, pattern)) {
        if (at == text || at[-1] == ' ') return at;
    }
    return nullptr;
}

}  // namespace

int get_cmdline_value(const char* path, const char* key, char* value, size_t value_size, const char* default_value) {
    // Without room for the terminator the value could not be a string, and
    // the traces below print it.
    if (value == nullptr || value_size == 0) {
        errno = EINVAL;
        return -1;
    }
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        MSG_ERROR("open %s failed: %s\n", path, error_text(errno).text);
        return -1;
    }
    char text[cmdline_read_size];
    ssize_t got = read_retrying(fd, text, sizeof text);
    if (got < 0) {
        int error = errno;
        MSG_ERROR("read fd: %s (%d) failed: %s (%d)\n", path, fd, error_text(error).text, error);
        close(fd);
        return static_cast<int>(got);
    }
    if (got == 0) {
        MSG_DEBUG(1, "read fd: %s (%d), no data\n", path, fd);
        close(fd);
        return 0;
    }
    // The kernel ends its command line with a newline; this drops it.
    text[got - 1] = '\0';

    char pattern[1024];
    snprintf(pattern, sizeof pattern, "%s=", key);
    const char* match = find_key(text, pattern);
    if (match == nullptr) {
        copy_value(value, value_size, default_value, strlen(default_value));
        MSG_DEBUG(2, "key [%s] is not found, use default value [%s]\n", key, value);
    } else {
        MSG_DEBUG(3, "[substring] %s\n", match);
        const char* start = match + strlen(pattern);
        size_t length = strcspn(start, " ");
        if (length == 0) {
            copy_value(value, value_size, default_value, strlen(default_value));
            MSG_DEBUG(2, "key [%s], value is not defined, use default value [%s]\n", key, value);
        } else {
            copy_value(value, value_size, start, length);
            MSG_DEBUG(2, "key [%s], value [%s]\n", key, value);
        }
    }
    close(fd);
    return static_cast<int>(got);
}
