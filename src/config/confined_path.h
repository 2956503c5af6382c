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

// The log root's own links (on a phone /sdcard itself is one) are the
// system's: they are resolved here, once, when the root is set, and every
// later path under root starts from that form. A root that cannot be
// resolved is taken as it stands, with no link followed in it either.
void resolve_log_root(const char* root);

// Whether path is folder or lies beneath it, compared as text (a path
// without ".." steps, as the walk takes them).
bool path_lies_under(const char* path, const char* folder);

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

// Gives path new content as a whole: the bytes go into a new file beside it
// (its name and ".new", created afresh) that is then renamed over it, so a
// reader finds the old file or the new one, and an entry planted at either
// name is replaced, never followed or written through. With keep_locked the
// new file is locked (flock, exclusive) before it takes the name, and its
// descriptor is returned for the caller to hold; else 0. -1 with errno.
int replace_confined(const char* path, const char* bytes, size_t length, bool keep_locked);
