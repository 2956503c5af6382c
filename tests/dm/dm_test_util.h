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
