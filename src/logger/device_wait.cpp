#include "logger/device_wait.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include "msg/error_text.h"
#include "msg/log_msg.h"
#include "platform/fd_io.h"
#include "platform/platform.h"

int wait_for_data(const int* wake_pipe, int fd, int timeout_ms) {
    if (wake_pipe == nullptr) return -1;
    struct pollfd entries[2] = {{fd, POLLIN, 0}, {wake_pipe[0], POLLIN, 0}};
    // An interrupted poll is not retried: the stop handler's SIGALRM must end
    // the wait even when its wake byte could not be written.
    int ready = poll(entries, 2, timeout_ms);
    if (ready < 0) {
        const int error = errno;
        log_direct(log_priority_error, log_tag_poll, "poll: %d: %s\n", ready, error_text(error).text);
        errno = error;
        return ready;
    }
    if (ready == 0) return 0;
    if (entries[1].revents & POLLIN) {
        // The pipe is readable, so this cannot block; only one request is
        // taken, and any further byte ends the next wait at once.
        char byte;
        (void)read_retrying(wake_pipe[0], &byte, 1);
        return 0;
    }
    if (entries[0].revents & POLLIN) return 1;
    if (entries[0].revents != 0) {
        log_direct(log_priority_debug, log_tag_poll, "poll no valid data! fd[%d]=%d revents=0x%04X\n", 0, fd,
                   static_cast<unsigned>(static_cast<unsigned short>(entries[0].revents)));
    }
    if (entries[1].revents != 0) {
        log_direct(log_priority_debug, log_tag_poll, "poll no valid data! fd[%d]=%d revents=0x%04X\n", 1, wake_pipe[0],
                   static_cast<unsigned>(static_cast<unsigned short>(entries[1].revents)));
    }
    return -1;
}

namespace {

// What poll reports of fd now, without waiting; 0 when nothing, or when poll
// failed (a signal): the caller's next wait looks again.
short poll_now(int fd) {
    struct pollfd entry = {fd, POLLIN, 0};
    if (poll(&entry, 1, 0) <= 0) return 0;
    return entry.revents;
}

}  // namespace

bool device_has_data(int fd) { return (poll_now(fd) & POLLIN) != 0; }

bool device_hung_up(int fd) { return (poll_now(fd) & POLLHUP) != 0; }
