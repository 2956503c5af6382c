// Captures built by the library itself, and the tool run in-process.
#pragma once

#include <stdio.h>
#include <stdlib.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "dm/frame.h"
#include "dm/packet.h"
#include "dm/tool.h"

inline std::string bytes_of(std::initializer_list<int> values) {
    std::string out;
    for (int v : values) out.push_back(static_cast<char>(v));
    return out;
}

inline std::string framed(const std::string& payload) {
    std::string out;
    dm::append_frame(payload, &out);
    return out;
}

// A log packet whose data holds a flag and an escape byte, so that its frame
// is escaped.
inline std::string log_payload(uint16_t code, uint64_t timestamp, size_t data_size = 20) {
    std::string data(data_size, '\x11');
    if (data_size >= 2) {
        data[0] = '\x7E';
        data[1] = '\x7D';
    }
    std::string payload;
    dm::append_log_packet(code, timestamp, reinterpret_cast<const uint8_t*>(data.data()), data.size(), &payload);
    return payload;
}

inline std::string header_word() { return std::string(reinterpret_cast<const char*>(dm::header_word), 4); }

// ---- the reads of a diag device in memory-device mode, as the daemon stores them

inline std::string le32_bytes(uint32_t value) {
    std::string out;
    dm::put_le(value, 4, &out);
    return out;
}

constexpr int32_t token_mdm1 = -1, token_mdm2 = -2, token_qsc = -5;

// One entry: an external modem's token (0: the local modem, no token), the
// length, and a run of frames.
inline std::string read_entry(const std::string& frames, int32_t token = 0) {
    return (token != 0 ? le32_bytes(static_cast<uint32_t>(token)) : "") +
           le32_bytes(static_cast<uint32_t>(frames.size())) + frames;
}

// A log-data read: type 32 (left out for a batch's first read, whose type
// word the daemon drops), its count (-1: the entries given) and entries.
inline std::string data_read(const std::vector<std::string>& entries, bool typed = true, int count = -1) {
    std::string out = typed ? le32_bytes(32) : "";
    out += le32_bytes(static_cast<uint32_t>(count < 0 ? static_cast<int>(entries.size()) : count));
    for (const std::string& entry : entries) out += entry;
    return out;
}

// A mask table of `type` (1 message, 2 log, 4 event, 0x100/0x200 DCI, which
// also count their clients). Its bytes are mostly 0 and 0xFF, as real ones
// are, with flags, escapes and words that pass for a type or a count.
inline std::string mask_table_read(uint32_t type, size_t size = 300, bool typed = true) {
    static const uint8_t pattern[] = {0x20, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x7E, 0x00, 0x00, 0x00,
                                      0xFF, 0xFF, 0x7D, 0x02, 0x00, 0x00, 0x00, 0x7E, 0x7E, 0x1F, 0x00};
    std::string out = typed ? le32_bytes(type) : "";
    if (type == 0x100 || type == 0x200) out += le32_bytes(1);
    for (size_t i = 0; i < size; ++i) out.push_back(static_cast<char>(pattern[i % sizeof pattern]));
    return out;
}
inline std::string deinit_read() { return le32_bytes(16); }
inline std::string hdlc_read(uint8_t disabled) {
    return le32_bytes(0x1000) + std::string(1, static_cast<char>(disabled));
}

struct ToolRun {
    int status = -1;
    std::string out, err;
};

// orlith-dm with these arguments (the command first), its output captured.
inline ToolRun run_tool(const std::vector<std::string>& args) {
    std::vector<const char*> argv = {"orlith-dm"};
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    char* out_text = nullptr;
    char* err_text = nullptr;
    size_t out_size = 0, err_size = 0;
    FILE* out = open_memstream(&out_text, &out_size);
    FILE* err = open_memstream(&err_text, &err_size);
    ToolRun run;
    run.status = dm::tool_main(static_cast<int>(argv.size()), argv.data(), out, err);
    const bool out_closed = fclose(out) == 0;
    const bool err_closed = fclose(err) == 0;
    if (!out_closed || !err_closed) run.status = -1;
    run.out.assign(out_text, out_size);
    run.err.assign(err_text, err_size);
    free(out_text);
    free(err_text);
    return run;
}
