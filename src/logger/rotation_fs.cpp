#include "logger/rotation_fs.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// RENAME_NOREPLACE, a fixed value of the kernel's interface. Bionic declares
// it only beside renameat2, which older API levels do not have.
constexpr unsigned int rename_noreplace = 1;
#ifdef RENAME_NOREPLACE
static_assert(RENAME_NOREPLACE == rename_noreplace, "kernel's RENAME_NOREPLACE");
#endif

constexpr int stamp_digits = 6;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

bool parse_rotated_name(const char* name, const char* stem_name, int rotate_count, int* index, int* stamp) {
    const size_t stem_length = strlen(stem_name);
    if (strncmp(name, stem_name, stem_length) != 0) return false;
    const char* at = name + stem_length;
    if (*at++ != '.' || *at < '1' || *at > '9') return false;
    int64_t k = 0;
    for (; is_digit(*at); ++at) {
        k = k * 10 + (*at - '0');
        if (k > rotate_count) return false;
    }
    if (*at++ != '.') return false;
    int value = 0;
    for (int i = 0; i < stamp_digits; ++i, ++at) {
        if (!is_digit(*at)) return false;
        value = value * 10 + (*at - '0');
    }
    if (strcmp(at, ".dm") != 0) return false;
    *index = static_cast<int>(k);
    *stamp = value;
    return true;
}

int rename_no_replace(int dir_fd, const char* from, const char* to) {
#ifdef SYS_renameat2
    if (syscall(SYS_renameat2, dir_fd, from, dir_fd, to, rename_noreplace) == 0) return 0;
    // ENOSYS: a kernel before 3.15. EINVAL: a file system that does not know
    // the flag (two names in one directory give no other cause for it).
    if (errno != ENOSYS && errno != EINVAL) return -1;
#endif
    // A second name is never made over one that exists; dropping the first
    // then completes the move.
    if (linkat(dir_fd, from, dir_fd, to, 0) == 0) {
        if (unlinkat(dir_fd, from, 0) == 0) return 0;
        const int error = errno;
        unlinkat(dir_fd, to, 0);
        errno = error;
        return -1;
    }
    // FAT and the FUSE cards have no hard links.
    if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS) return -1;
    struct stat info;
    if (fstatat(dir_fd, to, &info, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = EEXIST;
        return -1;
    }
    if (errno != ENOENT) return -1;
    return renameat(dir_fd, from, dir_fd, to);
}
