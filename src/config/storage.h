// Where log files go: the external storage directory, chosen once, and the
// test whether a directory is a mount point.
#pragma once

#include <stddef.h>

constexpr const char* fallback_storage = "/sdcard";

// 1 when the path is, byte for byte, the mount point of a line of
// /proc/mounts.
int is_path_mounted(const char* path);
// The same test on a table of that format in another file.
int is_listed_mount_point(const char* table, const char* path);

// Puts the first usable candidate (or the target text of a candidate that is
// a symbolic link) into out, cut to out_size - 1 bytes. 0 on success, -1 with
// out empty when none is usable or an argument is null.
int check_directory(char* out, size_t out_size, const char* const* candidates);

// The external storage directory, decided on the first call; never null.
const char* choose_storage();
