// Where log files go: the external storage directory, chosen once, and the
// test whether a directory is a mount point.
#pragma once

#include <stddef.h>

#include "config/line_reader.h"

constexpr const char* fallback_storage = "/sdcard";
constexpr const char* mount_table_path = "/proc/mounts";

// The one reader of a mount table: its lines (1024 bytes, a longer one
// handled as long_line says) are given to match, with whether the line was
// cut and the caller's path, until match accepts one. The line is match's to
// change. 1 when a line was accepted, 0 when none was, -1 when the table
// cannot be opened (errno tells why). Each caller keeps its own match rule.
using MountLineMatch = bool (*)(char* line, bool cut, const char* path);
int find_mount_line(const char* table, LongLine long_line, MountLineMatch match, const char* path);

// 1 when the path is, byte for byte, the mount point of a line of
// /proc/mounts.
int is_path_mounted(const char* path);
// Whether the log root can take files: when it lies on removable storage,
// whether that is mounted (is_path_mounted); a root in the daemon's own
// folder lies on /data, mounted before the daemon starts, and is ready.
int log_root_mounted(const char* root);
// The same test on a table of that format in another file.
int is_listed_mount_point(const char* table, const char* path);

// Puts the first usable candidate (or the target text of a candidate that is
// a symbolic link) into out, cut to out_size - 1 bytes. 0 on success, -1 with
// out empty when none is usable or an argument is null.
int check_directory(char* out, size_t out_size, const char* const* candidates);

// The external storage directory, decided on the first call; never null.
const char* choose_storage();
