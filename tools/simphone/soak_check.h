// The soak's capture check: a task's surviving log files held byte for byte
// against the driver's journal. A long run's journal is gigabytes, so nothing
// here holds it: the expected capture is a list of pieces of the journal's
// data file, and files and journal are compared a block at a time through
// readers.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

namespace soak {

// Reads n bytes at offset into out; false when they cannot all be read.
using ReadAt = std::function<bool(uint64_t offset, char* out, size_t n)>;

// Bytes of the journal's data file: one chunk as the driver handed it out.
struct Span {
    uint64_t offset = 0;
    uint32_t length = 0;
};

// How the daemon hands a task's chunks to its writer.
enum class Writes {
    batched,    // consecutive chunks fill a buffer of up to batch_limit bytes
    per_chunk,  // every chunk is a buffer of its own (the external modem)
};

// One buffer handed to the writer: the next `chunks` chunks, and whether it
// reached the file (false: dropped, e.g. while there was no log file).
struct Buffer {
    size_t chunks = 0;
    bool written = true;
};

// The buffers the daemon makes of a task's chunks.
std::vector<Buffer> group_chunks(const std::vector<Span>& chunks, Writes writes, size_t batch_limit = 65536);

// The capture a task's writes add up to: its chunks grouped into buffers,
// each buffer without its first header bytes.
struct Expected {
    struct Piece {
        uint64_t at;      // where it starts in the capture
        uint64_t source;  // where it starts in the journal's data file
        uint32_t length;
    };
    std::vector<Piece> pieces;
    std::vector<uint64_t> buffer_starts;  // where each buffer's bytes start in the capture
    std::vector<Span> buffer_heads;       // each buffer's first chunk, header included
    uint64_t total = 0;                   // bytes of the capture
    uint64_t offered = 0;                 // bytes of the chunks
    uint64_t header_dropped = 0;
};

// The capture of the written buffers, taken in order from the chunks;
// chunks past the buffers are left out.
Expected expect_buffers(const std::vector<Span>& chunks, int header_bytes, const std::vector<Buffer>& buffers);
// The capture of all the chunks, grouped by the daemon's rule.
Expected expect_capture(const std::vector<Span>& chunks, int header_bytes, Writes writes, size_t batch_limit = 65536);

// Reads [at, at + n) of the expected capture.
bool read_expected(const Expected& expected, const ReadAt& journal, uint64_t at, char* out, size_t n);

struct LogFile {
    std::string name;
    uint64_t size = 0;
    ReadAt read;
};

// What rotation promises about the files it leaves.
struct RotationRule {
    uint64_t threshold = 0;              // a file is rotated once it has reached this size
    uint64_t largest_write = 0;          // so a rotated file is smaller than threshold + this
    uint64_t copy_limit = 0;             // external modem: the full file also gets this much of the next buffer
    bool files_start_at_buffers = true;  // false when the buffers are unknown (the trace terminal)
};

struct TailCheck {
    bool ok = false;
    std::string message;      // the first fault, when not ok
    uint64_t start = 0;       // where the oldest file starts in the capture: what rotation deleted
    uint64_t end = 0;         // where the newest file ends
    uint64_t duplicated = 0;  // bytes stored twice by the rotation copy
};

// Files oldest first, the current file last. Without a copy limit the files
// must be one contiguous run of the capture that ends at most max_unread
// bytes before its end; with one, each rotated file must end in the copy of
// the head of the buffer that starts the next file, and the run must end at
// the end of the capture.
TailCheck check_tail(const Expected& expected, const ReadAt& journal, const std::vector<LogFile>& files,
                     const RotationRule& rule, uint64_t max_unread);

}  // namespace soak
