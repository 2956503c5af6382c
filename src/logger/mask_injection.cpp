#include "logger/mask_injection.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "config/config_file.h"
#include "config/confined_path.h"
#include "logger/diag_device.h"
#include "logger/hex_dump.h"
#include "logger/mask_packets.h"
#include "msg/error_text.h"
#include "msg/log_msg.h"
#include "platform/fd_io.h"

namespace {

// A device that has answered nothing yet is looked at again this often, so a
// stop request is noticed while the wait goes on.
constexpr int response_poll_ms = 100;
// Once a stop is requested (the null mask is sent then), a silent modem is
// given this long in all before the rest of the mask goes out unanswered.
constexpr int stop_grace_ms = 200;
constexpr useconds_t empty_response_pause_us = 10000;

// Bytes of the mask file, read in blocks rather than one read per byte.
struct MaskReader {
    int fd;
    unsigned char block[1024];
    size_t fill;
    size_t at;
};

// 1 when unread bytes are in the block, 0 at the end of the file or on a read
// error.
int fill_block(MaskReader& reader) {
    if (reader.at < reader.fill) return 1;
    const ssize_t got = read_retrying(reader.fd, reader.block, sizeof reader.block);
    reader.at = 0;
    reader.fill = got > 0 ? static_cast<size_t>(got) : 0;
    return got > 0 ? 1 : 0;
}

// Time left for a silent modem during a stop; shared by all packets of one
// injection so that a dead modem delays the stop once, not once per packet.
struct StopBudget {
    int left_ms;
};

enum WaitResult { wait_ready, wait_failed, wait_given_up };

// Waits until fd is ready for events. While the daemon runs the wait has no
// limit, like the device's own blocking call; once done is set it ends when
// the stop budget is spent.
WaitResult wait_for(int fd, short events, StopBudget& budget) {
    for (;;) {
        const bool stopping = runtime_state.done.load() != 0;
        if (stopping && budget.left_ms <= 0) return wait_given_up;
        const int slice = stopping ? std::min(budget.left_ms, response_poll_ms) : response_poll_ms;
        struct pollfd entry = {fd, events, 0};
        const int ready = poll(&entry, 1, slice);
        if (ready < 0 && errno != EINTR) return wait_failed;
        // Ready, or an error or hang-up that the call itself reports.
        if (ready > 0) return wait_ready;
        if (stopping) budget.left_ms -= slice;
    }
}

enum ResponseResult { response_read, response_failed, response_given_up };

ResponseResult read_response(int fd, char* response, size_t size, StopBudget& budget, ssize_t* count) {
    for (;;) {
        switch (wait_for(fd, POLLIN, budget)) {
            case wait_failed:
                *count = -1;
                return response_failed;
            case wait_given_up:
                return response_given_up;
            case wait_ready:
                break;
        }
        *count = read_retrying(fd, response, size);
        if (*count < 0) return response_failed;
        if (*count > 0) return response_read;
        usleep(empty_response_pause_us);
        if (runtime_state.done.load() != 0) budget.left_ms -= static_cast<int>(empty_response_pause_us / 1000);
    }
}

// The whole chunk, to a terminal written without blocking: one whose far
// side reads nothing is waited for as a response is, so that a stop ends the
// wait. The bytes written go into *done.
WaitResult write_chunk(int fd, const char* data, size_t length, StopBudget& budget, size_t* done) {
    *done = 0;
    while (*done < length) {
        const ssize_t count = write_retrying(fd, data + *done, length - *done);
        if (count > 0) {
            *done += static_cast<size_t>(count);
            continue;
        }
        if (count == 0) errno = EIO;
        if (count == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return wait_failed;
        const WaitResult waited = wait_for(fd, POLLOUT, budget);
        if (waited != wait_ready) return waited;
    }
    return wait_ready;
}

void inject_raw(const TaskEntry* task, const char* mask_path, int mask_fd) {
    unsigned char chunk[trace_write_chunk];
    char dump[hex_dump_size];
    StopBudget budget{stop_grace_ms};
    size_t sent = 0;
    for (;;) {
        const ssize_t got = read_retrying(mask_fd, chunk, sizeof chunk);
        if (got == 0) return;
        if (got < 0) {
            const int error = errno;
            MSG_ERROR("%s: read mask (%s) failed, error: %s (%d)\n", task->name, mask_path, error_text(error).text,
                      error);
            return;
        }
        // A short count would cut the mask, so the rest of the chunk follows.
        size_t done = 0;
        const char* bytes = reinterpret_cast<const char*>(chunk);
        const WaitResult result = write_chunk(task->device_fd, bytes, static_cast<size_t>(got), budget, &done);
        sent += done;
        if (result == wait_given_up) {
            MSG_ERROR("%s: inject %s given up: the terminal took %zu bytes and no more, stop requested\n", task->name,
                      mask_path, sent);
            return;
        }
        const int written = result == wait_ready ? static_cast<int>(got) : -1;
        MSG_DEBUG(2, "%s: inject %d: [%s]\n", task->name, written, hex_dump(chunk, written, dump, sizeof dump));
    }
}

void inject_packets(const TaskEntry* task, const char* mask_path, int mask_fd, char* response, size_t response_size) {
    const bool external = task_is(task, task_qxdm_ext);
    const int target = external ? daemon_settings.ext_ctrl_fd : task->device_fd;
    // On a shared control descriptor every read is qxdm7k's log; the answers
    // to these packets are stored there, between its own.
    const bool reads_responses = !external || daemon_settings.ext_ctrl_shared == 0;
    MaskReader reader{mask_fd, {}, 0, 0};
    StopBudget budget{stop_grace_ms};
    MaskSplitter splitter;
    mask_splitter_init(&splitter);
    char dump[hex_dump_size];
    while (fill_block(reader) == 1) {
        size_t used = 0;
        const MaskPacketResult result =
            next_mask_packet(&splitter, reader.block + reader.at, reader.fill - reader.at, &used);
        reader.at += used;
        if (result == mask_packet_more) continue;
        if (result == mask_packet_dropped) {
            MSG_ERROR("%s: inject %s: packet longer than %d bytes dropped\n", task->name, mask_path,
                      static_cast<int>(mask_packet_size - diag_type_word_size));
            continue;
        }
        const int length = static_cast<int>(splitter.fill);
        MSG_DEBUG(2, "%s: inject %d: [%s]\n", task->name, length, hex_dump(splitter.packet, length, dump, sizeof dump));
        // The driver takes a packet per write; a short count is not resent,
        // since the rest alone would be no packet.
        if (write_retrying(target, splitter.packet, splitter.fill) < 0) {
            const int error = errno;
            MSG_ERROR("%s: inject %s failed: count = %d: %s\n", task->name, mask_path, length, error_text(error).text);
            return;
        }
        if (!reads_responses) continue;
        ssize_t count = 0;
        switch (read_response(target, response, response_size, budget, &count)) {
            case response_failed:
                MSG_ERROR("%s: read response failed: %s\n", task->name, error_text(errno).text);
                break;
            case response_given_up:
                MSG_DEBUG(2, "%s: no response, stop requested\n", task->name);
                break;
            case response_read:
                MSG_DEBUG(2, "%s: response %d: [%s]\n", task->name, static_cast<int>(count),
                          hex_dump(response, static_cast<int>(count), dump, sizeof dump));
                break;
        }
    }
}

// The mask names come from a file the app writes, and name files in a folder
// it can change. Only a regular file is read: a planted link is not
// followed, in place of the file or of any folder on the way, and nothing
// that is no regular file is even opened, since opening a device may act (a
// watchdog arms itself) and opening a FIFO blocks until a writer comes, which
// could hold up the stop for ever. The open itself takes no link and cannot
// block, and the file is looked at again once open, in case it was swapped
// in between.
int open_mask(const TaskEntry* task, const char* mask_path) {
    PathLeaf leaf;
    const int dir = open_parent_confined(mask_path, &leaf);
    struct stat info;
    if (dir < 0 || fstatat(dir, leaf.name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
        MSG_ERROR("%s: open %s failed: %s\n", task->name, mask_path, error_text(errno).text);
        if (dir >= 0) close(dir);
        return -1;
    }
    int mask_fd = -1;
    if (S_ISREG(info.st_mode)) {
        mask_fd = retry_interrupted(
            [&] { return openat(dir, leaf.name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC); });
        if (mask_fd < 0) {
            MSG_ERROR("%s: open %s failed: %s\n", task->name, mask_path, error_text(errno).text);
            close(dir);
            return -1;
        }
        if (fstat(mask_fd, &info) != 0 || !S_ISREG(info.st_mode)) {
            close(mask_fd);
            mask_fd = -1;
        }
    }
    close(dir);
    if (mask_fd < 0) MSG_ERROR("%s: open %s failed: not a regular file\n", task->name, mask_path);
    return mask_fd;
}

}  // namespace

bool mask_name_inside_root(const char* name) { return name != nullptr && name[0] != '/' && !has_parent_step(name); }

int inject_mask(TaskEntry* task, const char* mask_path, char* response, size_t response_size) {
    if (task == nullptr || mask_path == nullptr ||
        (!task_is(task, task_ti_trace) && (response == nullptr || response_size == 0))) {
        errno = EINVAL;
        return -1;
    }
    const int mask_fd = open_mask(task, mask_path);
    if (mask_fd < 0) return -1;
    if (task_is(task, task_ti_trace)) {
        // The terminal stays blocking for the reads; only the mask is
        // written without waiting.
        const int flags = fcntl(task->device_fd, F_GETFL);
        const bool switched =
            flags >= 0 && (flags & O_NONBLOCK) == 0 && fcntl(task->device_fd, F_SETFL, flags | O_NONBLOCK) == 0;
        inject_raw(task, mask_path, mask_fd);
        if (switched) fcntl(task->device_fd, F_SETFL, flags);
    } else {
        inject_packets(task, mask_path, mask_fd, response, response_size);
    }
    close(mask_fd);
    return 0;
}
