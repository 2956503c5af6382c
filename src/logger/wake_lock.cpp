#include "logger/wake_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "msg/error_text.h"
#include "msg/log_msg.h"
#include "platform/fd_io.h"

namespace {

// The kernel's two wake-lock files, each with the operation that its
// messages name.
struct LockFile {
    const char* path;
    const char* operation;
};
constexpr LockFile lock_file = {"/sys/power/wake_lock", "acquire_wake_lock"};
constexpr LockFile unlock_file = {"/sys/power/wake_unlock", "release_wake_lock"};

// The kernel takes the whole name in one write or refuses it; a partial name
// would name another lock, so there is no continuation.
int write_lock_file(const LockFile& file, const char* name) {
    int fd = open(file.path, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        MSG_ERROR("%s: open %s failed: %s\n", name, file.path, error_text(errno).text);
        return -1;
    }
    const ssize_t written = write_retrying(fd, name, strlen(name));
    const int error = errno;
    if (written < 0) {
        MSG_ERROR("%s: %s failed, error: %s (%d)\n", name, file.operation, error_text(error).text, error);
    } else {
        MSG_DEBUG(3, "%s: %s successful\n", name, file.operation);
    }
    close(fd);
    errno = error;
    return static_cast<int>(written);
}

}  // namespace

int acquire_wake_lock(const char* name) { return write_lock_file(lock_file, name); }

int release_wake_lock(const char* name) { return write_lock_file(unlock_file, name); }
