/* The physical limits the daemon is held to on the simulated phone: a reader
 * that switches a diag device to memory-device mode the way the daemon does
 * (ioctl 7, 2: by value, and by a pointer to the mode record where the
 * kernel answers a value with EFAULT), reads it 32 KiB at a time (64 KiB on
 * the pointer kernels, whose largest entry does not fit in 32 KiB) and
 * appends every chunk to a file, and nothing else. With -w it also takes and
 * drops a wake lock around every chunk, opening, writing and closing the
 * kernel's lock files as the logger thread does. Runs inside the phone;
 * prints the bytes and chunks it read, and how it switched.
 *   reference_reader [-w] <seconds> <device> <output file>
 * The output file starts again at every 64 MiB, so that a long run does not
 * fill the disk; the daemon rotates its files too. */
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

enum {
    switch_logging = 7,
    lsm_deinit = 9,
    mode_memory_device = 2,
    mode_usb = 1,
    value_read_size = 32768,
    pointer_read_size = 65536,
};
static const long long restart_bytes = 64LL << 20;
/* The wake lock of the task that reads /dev/diag. */
static const char lock_name[] = "qxdm7k";

static double now_seconds(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

/* The mode record of the pointer kernels, in its largest (24-byte) form:
 * each kernel copies only its own leading part of it, and every field
 * beyond req_mode zeroed but the masks serves them all. */
struct mode_record {
    uint32_t req_mode;
    uint32_t peripheral_mask; /* every local peripheral */
    uint32_t pd_mask;         /* 0: no user-PD lookup, which can fail */
    uint8_t mode_param, diag_id, pd_val, reserved;
    int32_t peripheral;
    int32_t device_mask; /* 1: the SoC's own modem */
} __attribute__((packed));
_Static_assert(sizeof(struct mode_record) == 24, "the 4.14 kernel copies 24 bytes");

/* Switches the logging mode: by value first, since a pointer given to a
 * by-value kernel would be stored as a bogus mode; by the record when the
 * value is taken for an address and refused. 0 by value, 1 by pointer, -1
 * with errno when both fail. */
static int switch_mode(int device, int mode, int by_pointer) {
    if (!by_pointer) {
        if (ioctl(device, switch_logging, mode) >= 0) return 0;
        if (errno != EFAULT) return -1;
    }
    struct mode_record record = {.req_mode = (uint32_t)mode, .peripheral_mask = 0xFF, .device_mask = 1};
    return ioctl(device, switch_logging, &record) >= 0 ? 1 : -1;
}

/* No signal handler is installed, so no call is interrupted; a short write
 * to a regular file means the disk is full, which ends the run. */
static int lock_file(const char* path) {
    int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) return -1;
    ssize_t written = write(fd, lock_name, sizeof lock_name - 1);
    close(fd);
    return written == (ssize_t)(sizeof lock_name - 1) ? 0 : -1;
}

int main(int argc, char* argv[]) {
    int wake_locks = 0;
    int first = 1;
    if (argc > 1 && strcmp(argv[1], "-w") == 0) {
        wake_locks = 1;
        first = 2;
    }
    if (argc - first != 3) {
        fprintf(stderr, "usage: %s [-w] <seconds> <device> <output file>\n", argv[0]);
        return 2;
    }
    char* rest = NULL;
    const double seconds = strtod(argv[first], &rest);
    if (rest == argv[first] || *rest != '\0' || !(seconds > 0)) {
        fprintf(stderr, "%s: seconds must be a positive number: %s\n", argv[0], argv[first]);
        return 2;
    }
    int device = open(argv[first + 1], O_RDWR | O_CLOEXEC);
    if (device < 0) {
        perror(argv[first + 1]);
        return 1;
    }
    const int by_pointer = switch_mode(device, mode_memory_device, 0);
    if (by_pointer < 0) {
        perror(argv[first + 1]);
        close(device);
        return 1;
    }
    int out = open(argv[first + 2], O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0660);
    if (out < 0) {
        perror(argv[first + 2]);
        close(device);
        return 1;
    }
    static char buffer[pointer_read_size];
    const size_t read_size = by_pointer ? pointer_read_size : value_read_size;
    long long bytes = 0, chunks = 0, in_file = 0;
    const double end = now_seconds() + seconds;
    while (now_seconds() < end) {
        ssize_t got = read(device, buffer, read_size);
        if (got < 0) {
            perror("read");
            return 1;
        }
        if (got == 0) {
            /* Only when the device has nothing: the daemon's wait, at a
             * tenth of a second so that the end is not missed. */
            struct pollfd entry = {device, POLLIN, 0};
            poll(&entry, 1, 100);
            continue;
        }
        if (wake_locks && lock_file("/sys/power/wake_lock") != 0) {
            perror("wake_lock");
            return 1;
        }
        if (in_file >= restart_bytes) {
            if (ftruncate(out, 0) != 0) {
                perror("ftruncate");
                return 1;
            }
            in_file = 0;
        }
        if (write(out, buffer, (size_t)got) != got) {
            perror("write");
            return 1;
        }
        if (wake_locks && lock_file("/sys/power/wake_unlock") != 0) {
            perror("wake_unlock");
            return 1;
        }
        bytes += got;
        in_file += got;
        ++chunks;
    }
    switch_mode(device, mode_usb, by_pointer);
    /* A 4.14 kernel sleeps 3 s in the close of a client that did not end
     * itself; the older pointer kernels take the call as well. */
    if (by_pointer) ioctl(device, lsm_deinit, 0);
    close(out);
    close(device);
    printf("%lld %lld %s\n", bytes, chunks, by_pointer ? "pointer" : "value");
    return 0;
}
