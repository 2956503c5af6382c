#include "config/line_reader.h"

#include <algorithm>

#include "platform/fd_io.h"

void line_reader_init(LineReader* reader, int fd, size_t limit) {
    reader->fd = fd;
    reader->left = limit;
    reader->fill = 0;
    reader->at = 0;
}

namespace {

bool next_byte(LineReader* reader, char* byte) {
    if (reader->at == reader->fill) {
        if (reader->left == 0) return false;
        const ssize_t got = read_retrying(reader->fd, reader->block, std::min(sizeof reader->block, reader->left));
        // A failed read ends the file as its end does; nothing more is read.
        if (got <= 0) {
            reader->left = 0;
            return false;
        }
        reader->fill = static_cast<size_t>(got);
        reader->at = 0;
        reader->left -= reader->fill;
    }
    *byte = reader->block[reader->at++];
    return true;
}

}  // namespace

int read_line(LineReader* reader, char* line, size_t size, LongLine long_line, bool* was_cut) {
    size_t length = 0;
    bool cut = false;
    bool any = false;
    char byte;
    for (;;) {
        // The byte after a full piece stays for the next line.
        if (long_line == LongLine::split && length == size - 1) break;
        if (!next_byte(reader, &byte)) break;
        any = true;
        if (byte == '\n') break;
        if (length < size - 1) {
            line[length++] = byte;
        } else {
            cut = true;
        }
    }
    line[length] = '\0';
    if (was_cut != nullptr) *was_cut = cut;
    return any ? 1 : 0;
}
