#include "config/confined_path.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>

#include "platform/fd_io.h"
#include "platform/profile.h"

#ifndef O_PATH
#define O_PATH 0
#endif

namespace {

// A folder on the way is only passed through. Kernels before O_PATH ignore
// the flag and open it for reading, which root may always do.
constexpr int walk_flags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// The log root as set, and as resolved then; both empty until it is set.
char root_as_set[PATH_MAX];
char root_resolved[PATH_MAX];

// Length of prefix when path lies at or under it, else 0.
size_t under(const char* path, const char* prefix) {
    size_t length = strlen(prefix);
    while (length > 1 && prefix[length - 1] == '/') --length;
    if (length == 0 || strncmp(path, prefix, length) != 0) return 0;
    if (path[length] == '\0' || path[length] == '/' || prefix[length - 1] == '/') return length;
    return 0;
}

bool is_parent_step(const char* name, size_t length) { return length == 2 && name[0] == '.' && name[1] == '.'; }

// Walks rest (components below the folder start, which this owns) down to
// its last component's folder, opening every step without following a link.
int walk(int start, const char* rest, PathLeaf* leaf) {
    int dir = start;
    const char* at = rest;
    for (;;) {
        while (*at == '/') ++at;
        const size_t length = strcspn(at, "/");
        const char* next = at + length;
        while (*next == '/') ++next;
        int error = 0;
        if (length > NAME_MAX) error = ENAMETOOLONG;
        if (is_parent_step(at, length) || (length == 0 && *next == '\0')) error = EINVAL;
        if (error == 0 && *next == '\0') {
            memcpy(leaf->name, at, length);
            leaf->name[length] = '\0';
            return dir;
        }
        if (error == 0 && !(length == 1 && at[0] == '.')) {
            char name[NAME_MAX + 1];
            memcpy(name, at, length);
            name[length] = '\0';
            const int child = retry_interrupted([&] { return openat(dir, name, walk_flags); });
            if (child < 0) error = errno;
            close(dir);
            dir = child;
        }
        if (error != 0) {
            if (dir >= 0) close(dir);
            errno = error;
            return -1;
        }
        at = next;
    }
}

}  // namespace

bool path_lies_under(const char* path, const char* folder) { return under(path, folder) != 0; }

void resolve_log_root(const char* root) {
    root_as_set[0] = root_resolved[0] = '\0';
    if (root == nullptr || root[0] != '/' || strlen(root) >= sizeof root_as_set) return;
    char resolved[PATH_MAX];
    if (realpath(root, resolved) == nullptr) snprintf(resolved, sizeof resolved, "%s", root);
    snprintf(root_as_set, sizeof root_as_set, "%s", root);
    snprintf(root_resolved, sizeof root_resolved, "%s", resolved);
}

int open_parent_confined(const char* path, PathLeaf* leaf) {
    if (path == nullptr || path[0] != '/') {
        errno = EINVAL;
        return -1;
    }
    const char* start_path = "/";
    const char* rest = path;
    char full[PATH_MAX];
    // The folder that holds the daemon's own files is the system's, so it is
    // opened as the system resolves it.
    if (const size_t base = under(path, platform_profile.confined_base); base != 0) {
        start_path = platform_profile.confined_base;
        rest = path + base;
    } else if (const size_t root = under(path, root_as_set); root != 0) {
        if (snprintf(full, sizeof full, "%s/%s", root_resolved, path + root) >= static_cast<int>(sizeof full)) {
            errno = ENAMETOOLONG;
            return -1;
        }
        rest = full;
    }
    // From the top, the start is the first folder below it, which only root
    // can change, so that "/" itself is never opened by name: an emulator
    // that runs the daemon under a library prefix (qemu-arm -L) takes "/" for
    // that prefix, while other names fall through to the real ones.
    char first[NAME_MAX + 2] = "/";
    if (start_path[1] == '\0') {
        while (*rest == '/') ++rest;
        const size_t length = strcspn(rest, "/");
        const char* next = rest + length;
        while (*next == '/') ++next;
        if (length > 0 && length <= NAME_MAX && *next != '\0' && !is_parent_step(rest, length)) {
            memcpy(first + 1, rest, length);
            first[length + 1] = '\0';
            start_path = first;
            rest = next;
        }
    }
    const int flags =
        start_path == first ? O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC : O_PATH | O_DIRECTORY | O_CLOEXEC;
    const int start = open_retrying(start_path, flags);
    if (start < 0) return -1;
    return walk(start, rest, leaf);
}

int open_confined(const char* path, int flags, mode_t mode) {
    PathLeaf leaf;
    const int dir = open_parent_confined(path, &leaf);
    if (dir < 0) return -1;
    const int fd = retry_interrupted([&] { return openat(dir, leaf.name, flags | O_NOFOLLOW | O_CLOEXEC, mode); });
    const int error = errno;
    close(dir);
    errno = error;
    return fd;
}

int stat_confined(const char* path, struct stat* info) {
    PathLeaf leaf;
    const int dir = open_parent_confined(path, &leaf);
    if (dir < 0) return -1;
    const int result = fstatat(dir, leaf.name, info, AT_SYMLINK_NOFOLLOW);
    const int error = errno;
    close(dir);
    errno = error;
    return result;
}

int unlink_confined(const char* path) {
    PathLeaf leaf;
    const int dir = open_parent_confined(path, &leaf);
    if (dir < 0) return -1;
    const int result = unlinkat(dir, leaf.name, 0);
    const int error = errno;
    close(dir);
    errno = error;
    return result;
}

int replace_confined(const char* path, const char* bytes, size_t length, bool keep_locked) {
    PathLeaf leaf;
    const int dir = open_parent_confined(path, &leaf);
    if (dir < 0) return -1;
    char fresh[sizeof leaf.name + sizeof ".new"];
    snprintf(fresh, sizeof fresh, "%s.new", leaf.name);
    // A leftover of an earlier write, or an entry planted there: only the
    // entry itself goes.
    unlinkat(dir, fresh, 0);
    const int fd = retry_interrupted(
        [&] { return openat(dir, fresh, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666); });
    size_t written = 0;
    int error = fd < 0 ? errno : write_all(fd, bytes, length, &written);
    if (error == 0 && keep_locked && retry_interrupted([&] { return flock(fd, LOCK_EX | LOCK_NB); }) != 0) {
        error = errno;
    }
    if (error == 0 && renameat(dir, fresh, dir, leaf.name) != 0) error = errno;
    if (fd >= 0 && (error != 0 || !keep_locked)) close(fd);
    if (error != 0 && fd >= 0) unlinkat(dir, fresh, 0);
    close(dir);
    errno = error;
    if (error != 0) return -1;
    return keep_locked ? fd : 0;
}
