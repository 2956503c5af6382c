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
#include "dm/reads.h"
#include "dm/signalling.h"

namespace dm {

// Lists keep this many entries; the counts go on.
constexpr size_t max_listed = 1000;

// Hands a file's bytes to feed a block at a time. False with *error (naming
// the file and the offset) when it cannot be opened or read.
using BlockFeed = void (*)(void* state, const uint8_t* data, size_t size);
bool read_file_blocks(const char* path, BlockFeed feed, void* state, std::string* error);

// Feeds a file through the parser, a block at a time. False with *error
// (naming the file and the offset) when it cannot be read.
bool scan_file(const char* path, FrameParser* parser, ParseHandler handler, void* context, std::string* error);

struct Span {
    uint64_t offset = 0;
    uint64_t size = 0;
};

// What a file made of reads holds besides frames.
struct ReadSummary {
    bool present = false;
    uint64_t reads = 0;
    uint64_t by_kind[ReadEvent::no_read] = {};  // by ReadEvent::Kind
    uint64_t untyped = 0;                       // reads whose type word the daemon dropped
    uint64_t word_bytes = 0, mask_table_bytes = 0;
    uint64_t no_read_bytes = 0, no_read_runs = 0;
    std::vector<Span> no_read;
    uint64_t frames_by_modem[modem_count] = {};
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
    ReadSummary reads;
};
void check_add(CheckResult* result, const ParseEvent& event);
// Every frame good, and one at least: a file with no good frame (empty, or
// not a capture at all) does not pass.
inline bool capture_good(const CheckResult& result) { return result.bad == 0 && result.good != 0; }
void check_add_read(CheckResult* result, const ReadEvent& event);
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
    // The messages pcap would write, and the packets it would skip.
    SignallingDecoder signalling;
    SignallingPdu pdu;  // kept between frames for its buffer
};
constexpr size_t max_subscriptions = 64;
void stats_add(Stats* stats, const ParseEvent& event);
// The end of the input: segments never completed count as skipped.
void stats_finish(Stats* stats);
void print_stats(const char* name, const Stats& stats, FILE* out);
// One line of frames by modem, when any came from an external one.
void print_by_modem(const ReadSummary& reads, FILE* out);

// The identity of an input, to refuse an output that would overwrite it.
struct FileId {
    uint64_t device = 0, inode = 0;
};
// False with *error when out_path, through any name or link, is one of inputs.
bool refuse_input_as_output(const char* out_path, const std::vector<FileId>& inputs, std::string* error);
// The identities of these files; one that cannot be found has none (reading
// it will tell why).
std::vector<FileId> input_ids(const std::vector<const char*>& paths);

// The plain frame stream: each good frame as the capture stores it (its
// escaped payload and CRC and the closing 0x7E), nothing between them.
struct QmdlWriter {
    int fd = -1;
    std::string buffer;
    uint64_t frames = 0;
    int error = 0;  // errno of the first failed write
};
bool qmdl_open(QmdlWriter* writer, const char* path, std::string* error);
void qmdl_add(QmdlWriter* writer, const uint8_t* payload, size_t size);
bool qmdl_close(QmdlWriter* writer, const char* path, std::string* error);

// One task's files in capture order: STEM.N.*, ..., STEM.1.*, STEM.dm.
struct JoinPlan {
    std::string stem;                // directory and stem, without ".dm"
    std::vector<std::string> files;  // oldest first
    std::vector<std::string> gaps;   // what is missing, one line each
    // The external modem's files (their names begin "qxdm_ext_"): only its
    // rotation leaves a copy of the next file's head behind.
    bool rotation_copies = false;
};
constexpr char external_modem_prefix[] = "qxdm_ext_";
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
