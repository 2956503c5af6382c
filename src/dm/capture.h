// Captured files: their frames checked, counted and exported, and a task's
// rotated files joined back into one stream.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <map>
#include <string>
#include <vector>

#include "dm/frame.h"

namespace dm {

// Lists keep this many entries; the counts go on.
constexpr size_t max_listed = 1000;

// Feeds a file through the parser, a block at a time. False with *error
// (naming the file and the offset) when it cannot be read.
bool scan_file(const char* path, FrameParser* parser, ParseHandler handler, void* context, std::string* error);

struct Span {
    uint64_t offset = 0;
    uint64_t size = 0;
};

struct CheckResult {
    uint64_t bytes = 0;
    uint64_t frames = 0, good = 0, bad = 0;
    uint64_t bad_by_status[5] = {};  // by FrameStatus
    struct BadFrame {
        Span span;
        FrameStatus status;
    };
    std::vector<BadFrame> bad_frames;
    uint64_t header_words = 0;
    uint64_t outside_bytes = 0, outside_runs = 0;
    std::vector<Span> outside;
    bool has_tail = false;
    Span tail;
    Span largest;  // the largest frame, in bytes of the file
};
void check_add(CheckResult* result, const ParseEvent& event);
void print_check(const char* name, const CheckResult& result, FILE* out);
// One line: one JSON object.
void print_check_json(const char* name, const CheckResult& result, FILE* out);

struct Stats {
    CheckResult check;
    uint64_t by_command[256] = {};
    std::vector<uint64_t> by_code = std::vector<uint64_t>(65536);
    uint64_t by_equipment[16] = {};
    uint64_t log_packets = 0, malformed_logs = 0;
    std::map<uint32_t, uint64_t> subscriptions;  // at most max_subscriptions ids
    uint64_t other_subscriptions = 0;
    bool has_time = false;
    uint64_t first_time = 0, last_time = 0, min_time = 0, max_time = 0;
    struct Note {
        uint64_t offset;
        std::string text;
        bool rejected;
    };
    std::vector<Note> mask_responses, errors;
    uint64_t mask_response_count = 0, error_count = 0, rejected = 0;
};
constexpr size_t max_subscriptions = 64;
void stats_add(Stats* stats, const ParseEvent& event);
void print_stats(const char* name, const Stats& stats, FILE* out);

// pcap of GSMTAP (v2, type 0x11, raw diag) in UDP to port 4729 over IPv4,
// one packet per good frame.
constexpr uint16_t gsmtap_port = 4729;
constexpr uint8_t gsmtap_type_qc_diag = 0x11;
struct PcapWriter {
    int fd = -1;
    std::string buffer;
    uint64_t packets = 0, cut = 0;
    int64_t last_time_us = 0;  // of the last log packet seen
    int error = 0;             // errno of the first failed write
};
// False with *error when OUT cannot be created.
bool pcap_open(PcapWriter* writer, const char* path, std::string* error);
void pcap_add(PcapWriter* writer, const uint8_t* payload, size_t size);
// Flushes and closes; false with *error when any write failed.
bool pcap_close(PcapWriter* writer, const char* path, std::string* error);

// One task's files in capture order: STEM.N.*, ..., STEM.1.*, STEM.dm.
struct JoinPlan {
    std::string stem;                // directory and stem, without ".dm"
    std::vector<std::string> files;  // oldest first
    std::vector<std::string> gaps;   // what is missing, one line each
};
// From a file of the task or its stem. False with *error when none is found.
bool plan_join(const char* file_or_stem, JoinPlan* plan, std::string* error);

// The external modem's rotation copies the head of the next buffer (at most
// copy_limit bytes, its header word included) to the end of the full file.
constexpr size_t rotation_copy_limit = 8192;
// Of the end of `older`, how many bytes are such a copy of the start of
// `newer` (given up to rotation_copy_limit bytes of each); 0 when none is.
size_t rotation_copy_size(const std::string& older_tail, const std::string& newer_head);

struct JoinReport {
    uint64_t bytes = 0;
    std::vector<uint64_t> kept;        // per file
    std::vector<uint64_t> duplicates;  // per file: the rotation copy left out
};
bool join_files(const JoinPlan& plan, const char* out_path, JoinReport* report, std::string* error);

}  // namespace dm
