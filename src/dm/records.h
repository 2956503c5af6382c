// Log records without the diag framing, as .dlf files hold them, back to
// back: [u16 length][u16 code][u64 time stamp][data], the length counting
// the record from its own first byte, as a log packet's header does. Each
// record is handed on as a good frame whose payload is the log packet the
// modem would have sent, so that every command reads these files as it
// reads a capture.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "dm/frame.h"

namespace dm {

constexpr size_t record_header_size = 12;

// Whether path names such a file: it ends in ".dlf", in any case.
bool is_record_file(const char* path);

// A streaming reader: bytes may come in blocks of any size. A record whose
// length is less than its header, or that the end cuts, makes the rest of
// the input a tail: no later length can be trusted.
struct RecordScanner {
    std::vector<uint8_t> held;  // the start of a record that the next block ends
    uint64_t at = 0;            // input offset of the next byte fed
    bool broken = false;
    uint64_t broken_at = 0;  // where the bad record starts
    std::string payload;     // the log packet handed on
};
void records_feed(RecordScanner* scanner, const uint8_t* data, size_t size, ParseHandler handler, void* context);
// The end of the input: reports what is left as a tail.
void records_finish(RecordScanner* scanner, ParseHandler handler, void* context);

// The whole file through a scanner. False with *error when it cannot be
// read; *size gets the bytes read.
bool scan_records(const char* path, ParseHandler handler, void* context, uint64_t* size, std::string* error);

}  // namespace dm
