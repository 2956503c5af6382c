// Mask requests: the log codes they enable, building and decoding them, the
// mask file the daemon injects, and reading the modem's answers.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace dm {

// A set of log codes, one bit per code.
struct CodeSet {
    uint64_t words[65536 / 64] = {};
};
inline bool codes_has(const CodeSet& set, uint16_t code) { return (set.words[code / 64] >> (code % 64)) & 1; }
inline void codes_add(CodeSet* set, uint16_t code) { set->words[code / 64] |= uint64_t{1} << (code % 64); }
void codes_add_range(CodeSet* set, uint16_t first, uint16_t last);
size_t codes_count(const CodeSet& set);
bool codes_equal(const CodeSet& a, const CodeSet& b);
std::vector<uint16_t> codes_list(const CodeSet& set);
// What a log "set mask" does to a modem's codes: equipment's items below
// item_count take the mask's bits, the others are cleared.
void codes_set_equipment(CodeSet* set, unsigned equipment, uint32_t item_count, const uint8_t* mask);
// Ranges with names: "0xB0C0 LTE RRC OTA Packet", "0xB0C0-0xB0C2 (3 codes: ...)".
std::string codes_text(const CodeSet& set, const char* indent);

constexpr uint32_t log_op_disable_all = 0;
constexpr uint32_t log_op_set_mask = 3;
constexpr uint32_t max_items = 4096;  // an item is 12 bits of the code
constexpr uint8_t ext_msg_set_all = 5;

enum class RequestKind : uint8_t {
    log_disable_all,
    log_set_mask,
    log_config_other,
    msg_set_all,
    msg_config_other,
    event_report,
    unknown,
};

struct MaskRequest {
    RequestKind kind = RequestKind::unknown;
    uint8_t command = 0;
    uint32_t operation = 0;  // log config, and the ext message subcommand
    uint32_t equipment = 0, item_count = 0;
    const uint8_t* mask = nullptr;  // into the payload; ceil(item_count / 8) bytes
    uint32_t level_mask = 0;
    bool events_on = false;
    // Why it is malformed: a modem answers it with "bad length".
    const char* problem = nullptr;
};
MaskRequest decode_request(const uint8_t* payload, size_t size);
// One line about a request: what it sets, or why it is flagged.
std::string request_text(const MaskRequest& request);

// Request payloads, without framing.
std::string log_disable_all_request();
std::string log_set_mask_request(uint32_t equipment, uint32_t item_count, const uint8_t* mask);
std::string msg_set_all_request(uint32_t level_mask);
std::string event_report_request(bool on);

// Answers as a modem gives them: the log config header, the status, then the
// rest of the request echoed; ext message "set all" as 7D 05 01 00 and the
// level; an event report control echoed; an error code and the request.
constexpr uint32_t log_status_ok = 0, log_status_invalid = 1, log_status_failed = 2;
std::string log_config_response(const uint8_t* request, size_t size, uint32_t status);
std::string msg_set_all_response(const uint8_t* request, size_t size);
std::string error_response(uint8_t error, const uint8_t* request, size_t size);

// A modem's answer as stats shows it. False when the payload is no mask
// response or error response. *rejected: the modem did not do what was asked.
bool describe_response(const uint8_t* payload, size_t size, std::string* text, bool* rejected);

// What `mask build` writes.
struct MaskSpec {
    CodeSet codes;
    bool msg = false;
    uint32_t msg_level = 0;
    int events = -1;  // -1 none, 0 off, 1 on
    bool disable_first = false;
};
// The file: [disable all], one "set mask" per equipment id, then the message
// and event requests, each framed and ending in 0x7E. False (with *error)
// when a request would be longer than the daemon sends.
bool build_mask(const MaskSpec& spec, std::string* file, std::string* error);
std::string null_mask();

// A mask file read as the daemon reads it: split at 0x7E, each packet
// unframed and decoded.
struct MaskEntry {
    uint64_t offset = 0;   // of the packet's first byte in the file
    size_t size = 0;       // bytes of the file, its 0x7E included
    bool dropped = false;  // too long: the daemon does not send it
    bool good = false;     // a frame whose CRC checks
    std::string payload;   // unframed, when good
    std::string problem;   // why it is flagged, empty when it is not
};
struct MaskFile {
    std::vector<MaskEntry> entries;  // the first max_mask_entries
    size_t packets = 0;
    size_t flagged = 0;
    uint64_t unsent = 0;  // bytes after the last 0x7E
    CodeSet codes;        // enabled when the requests are applied in order
    bool msg_set = false;
    uint32_t msg_level = 0;
    int events = -1;
};
constexpr size_t max_mask_entries = 4096;
// False with *error (naming the file) when it cannot be read.
bool read_mask_file(const char* path, MaskFile* mask, std::string* error);

}  // namespace dm
