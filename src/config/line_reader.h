// Lines of a file read in blocks through one descriptor, with a bound on the
// bytes taken from it. The configuration file and the mount table are both
// read this way.
#pragma once

#include <stddef.h>

struct LineReader {
    int fd;
    size_t left;  // bytes that may still be read from fd
    size_t fill;
    size_t at;
    char block[4096];
};

// What happens to a line longer than the buffer: handed over in pieces, each
// of them then a line of its own (as fgets does), or cut, the rest dropped.
enum class LongLine { split, cut };

// Reads at most limit bytes of fd; the descriptor stays the caller's.
void line_reader_init(LineReader* reader, int fd, size_t limit);

// The next line without its newline, NUL-terminated in line (size >= 2).
// A NUL inside the line ends the text but not the line. *was_cut (may be
// null) tells whether bytes were dropped. Returns 1 with a line, 0 at the
// end: the end of the file, the limit, or a failed read. A last line
// without a newline is a line.
int read_line(LineReader* reader, char* line, size_t size, LongLine long_line, bool* was_cut);
