// A capture as the daemon stores it from a diag device in memory-device
// mode: every read() in order, each
//   [int32 type][int32 count] count x ([int32 token, external modems only]
//   [int32 length][length bytes: whole frames])
// for log data (type 32), or a mask table, the deinit word or the HDLC
// setting for the other types. The daemon drops the type word of the first
// read of each batch it writes, so any read may come without it. Files of
// the older layout (frames, with or without the driver's 32 in front of
// buffers) hold no such words and are scanned as a frame stream.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "dm/frame.h"

namespace dm {

// Which modem a frame came from: the local one, or an external one as its
// entry's token names it (-1, -2, -5 on the wire).
enum Modem : uint8_t { modem_local, modem_mdm1, modem_mdm2, modem_qsc, modem_count };
const char* modem_name(int modem);  // "local modem", "external modem 1", ...
// What names that modem's own output beside OUT ("mdm1"); empty for the local one.
const char* modem_suffix(int modem);
// OUT for the local modem; OUT with ".SUFFIX" before its extension for the others.
std::string modem_output_path(const std::string& out, int modem);

struct ReadEvent {
    enum Kind : uint8_t {
        data,        // log data, every entry whole
        short_data,  // fewer entries than its count says; maybe a length word without its data
        cut_data,    // the end of the file cuts its last entry
        mask_table,  // up to where the next read is found
        deinit,
        hdlc,
        no_read,  // bytes where no read is found
    };
    Kind kind = data;
    bool typed = true;  // its type word is there
    uint64_t offset = 0, size = 0;
    uint64_t word_bytes = 0;  // type, count, token and length words
    uint32_t entries = 0;
};
using ReadHandler = void (*)(void* context, const ReadEvent& event);

struct CaptureHandlers {
    ParseHandler frames = nullptr;  // events carry their modem
    ReadHandler reads = nullptr;    // may be null
    void* context = nullptr;
};

// Scans a file as reads when it is made of them, else as a frame stream,
// exactly as scan_file does; *as_reads tells which. A file named *.dlf is
// read as log records (records.h) instead. False with *error when it cannot
// be read. *size gets the bytes scanned.
bool scan_capture(const char* path, const CaptureHandlers& handlers, bool* as_reads, uint64_t* size,
                  std::string* error);
// The same over bytes in memory.
bool scan_capture_bytes(const uint8_t* data, size_t size, const CaptureHandlers& handlers);

}  // namespace dm
