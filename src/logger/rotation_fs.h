// Which entries of the log directory are a task's rotated files, and how a
// rotation moves one of them without harming whatever else is there. The
// directory is shared with the user's own files and with what the companion
// app writes, so a name that merely looks like ours is not ours.
#pragma once

// Whether name is "STEM.K.HHMMSS.dm" for stem_name (the file-name part of the
// stem): K from 1 to rotate_count written without leading zeros, and a time
// stamp of exactly six digits, the only forms a rotation writes. Sets *index
// to K and *stamp to the stamp's value.
bool parse_rotated_name(const char* name, const char* stem_name, int rotate_count, int* index, int* stamp);

// Renames from to to, both names in the directory dir_fd, only if to does not
// exist: -1 with EEXIST when it does, -1 with errno for any other failure,
// 0 when moved. Atomic where the kernel and the medium allow it (renameat2,
// else a second hard link); on a medium without either, a name that appears
// between the look and the move is the one thing not guarded against.
int rename_no_replace(int dir_fd, const char* from, const char* to);
