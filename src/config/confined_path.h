// Paths that lie in folders an app can change: the app's own folder, with
// the configuration and the status file, and the log root, with the masks
// and the log files. The daemon runs as root, so such a path is reached one
// component at a time from a start the app cannot change, and no link is
// followed at any step: a link planted anywhere on the way makes the call
// fail (ELOOP or ENOTDIR) rather than lead elsewhere.
#pragma once

#include <limits.h>
#include <sys/stat.h>
#include <sys/types.h>

// Where the apps' folders lie; the system's own, so it is opened as the
// system resolves it.
constexpr const char* app_folders_base = "/data/data";

// The log root's own links (on a phone /sdcard itself is one) are the
// system's: they are resolved here, once, when the root is set, and every
// later path under root starts from that form. A root that cannot be
// resolved is taken as it stands, with no link followed in it either.
void resolve_log_root(const char* root);

// The leaf name of a path: its last component.
struct PathLeaf {
    char name[NAME_MAX + 1];
};

// Opens the folder that holds path's last component, which goes into leaf.
// The descriptor (close-on-exec), or -1 with errno; EINVAL for a relative
// path, a ".." component or an empty last component.
int open_parent_confined(const char* path, PathLeaf* leaf);

// Opens path itself; the last component is opened with flags, O_NOFOLLOW and
// O_CLOEXEC.
int open_confined(const char* path, int flags, mode_t mode = 0);

// The path's own entry, a link not followed; 0 or -1 with errno.
int stat_confined(const char* path, struct stat* info);

// Removes the path's own entry, a link itself rather than its target.
int unlink_confined(const char* path);
