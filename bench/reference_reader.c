/* The physical limits the daemon is held to on the simulated phone: a reader
 * that switches a diag device to memory-device mode the way the daemon does
 * (ioctl 7, 2), reads it 32 KiB at a time and appends every chunk to a file,
 * and nothing else. With -w it also takes and drops a wake lock around every
 * chunk, opening, writing and closing the kernel's lock files as the logger
 * thread does. Runs inside the phone; prints the bytes and chunks it read.
 *   reference_reader [-w] <seconds> <device> <output file>
 * The output file starts again at every 64 MiB, so that a long run does not
 * fill the disk; the daemon rotates its files too. */
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

enum {
    switch_logging = 7,
    mode_memory_device = 2,
    mode_usb = 1,
    read_size = 32768,
};
static const long long restart_bytes = 64LL << 20;
/* The wake lock of the task that reads /dev/diag. */
static const char lock_name[] = "qxdm7k";

static double now_seconds(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
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
    if (ioctl(device, switch_logging, mode_memory_device) < 0) {
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
    static char buffer[read_size];
    long long bytes = 0, chunks = 0, in_file = 0;
    const double end = now_seconds() + seconds;
    while (now_seconds() < end) {
        ssize_t got = read(device, buffer, sizeof buffer);
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
    ioctl(device, switch_logging, mode_usb);
    close(out);
    close(device);
    printf("%lld %lld\n", bytes, chunks);
    return 0;
}
