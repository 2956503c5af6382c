#include "dm/mask.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "dm/frame.h"
#include "dm/packet.h"
#include "logger/diag_device.h"
#include "logger/mask_packets.h"
#include "msg/error_text.h"
#include "platform/fd_io.h"

namespace dm {

namespace {

// The longest packet the daemon sends, its closing 0x7E included.
constexpr size_t max_sent_packet = mask_packet_size - diag_type_word_size;

std::string hex(uint64_t value, int digits) {
    char text[24];
    snprintf(text, sizeof text, "0x%0*llX", digits, static_cast<unsigned long long>(value));
    return text;
}

std::string code_line(uint16_t code) {
    const char* name = log_code_name(code);
    return hex(code, 4) + (name != nullptr ? std::string(" ") + name : std::string());
}

const ValueName log_status_names[] = {
    {log_status_ok, "ok"},
    {log_status_invalid, "invalid"},
    {log_status_failed, "failed"},
};

const char* log_status_text(uint32_t status) {
    const char* name = name_in(log_status_names, status);
    return name != nullptr ? name : "unknown status";
}

bool is_mask_command(uint8_t command) {
    return command == cmd_log_config || command == cmd_ext_msg_config || command == cmd_event_report ||
           command == cmd_event_mask_get || command == cmd_event_mask_set;
}

std::string hex_bytes(const uint8_t* data, size_t size, size_t limit) {
    std::string text;
    char item[4];
    for (size_t i = 0; i < size && i < limit; ++i) {
        snprintf(item, sizeof item, "%s%02X", i == 0 ? "" : " ", data[i]);
        text += item;
    }
    if (size > limit) text += " ... (" + std::to_string(size) + " bytes)";
    return text;
}

void append_request(const std::string& payload, std::string* file, std::string* error) {
    std::string framed;
    append_frame(payload, &framed);
    if (framed.size() > max_sent_packet && error->empty())
        *error = "a request of " + std::to_string(framed.size()) + " bytes is longer than the " +
                 std::to_string(max_sent_packet) + " the daemon sends";
    *file += framed;
}

}  // namespace

void codes_add_range(CodeSet* set, uint16_t first, uint16_t last) {
    for (uint32_t code = first; code <= last; ++code) codes_add(set, static_cast<uint16_t>(code));
}

size_t codes_count(const CodeSet& set) {
    size_t count = 0;
    for (uint64_t word : set.words) count += static_cast<size_t>(__builtin_popcountll(word));
    return count;
}

bool codes_equal(const CodeSet& a, const CodeSet& b) { return memcmp(a.words, b.words, sizeof a.words) == 0; }

std::vector<uint16_t> codes_list(const CodeSet& set) {
    std::vector<uint16_t> codes;
    for (uint32_t code = 0; code < 65536; ++code) {
        if (set.words[code / 64] == 0) {
            code |= 63;
            continue;
        }
        if (codes_has(set, static_cast<uint16_t>(code))) codes.push_back(static_cast<uint16_t>(code));
    }
    return codes;
}

void codes_set_equipment(CodeSet* set, unsigned equipment, uint32_t item_count, const uint8_t* mask) {
    if (equipment > 0xF) return;
    for (uint32_t item = 0; item < max_items; ++item) {
        const uint16_t code = static_cast<uint16_t>(equipment << 12 | item);
        set->words[code / 64] &= ~(uint64_t{1} << (code % 64));
        if (mask != nullptr && item < item_count && (mask[item / 8] >> (item % 8)) & 1) codes_add(set, code);
    }
}

std::string codes_text(const CodeSet& set, const char* indent) {
    const std::vector<uint16_t> codes = codes_list(set);
    std::string text;
    for (size_t i = 0; i < codes.size();) {
        size_t j = i;
        while (j + 1 < codes.size() && codes[j + 1] == codes[j] + 1) ++j;
        if (i == j) {
            text += indent + code_line(codes[i]) + "\n";
        } else {
            text += indent + hex(codes[i], 4) + "-" + hex(codes[j], 4) + " (" + std::to_string(j - i + 1) + " codes)\n";
            for (size_t k = i; k <= j; ++k) {
                if (log_code_name(codes[k]) != nullptr)
                    text += std::string(indent) + "  with " + code_line(codes[k]) + "\n";
            }
        }
        i = j + 1;
    }
    return text;
}

MaskRequest decode_request(const uint8_t* p, size_t size) {
    MaskRequest request;
    if (size == 0) {
        request.problem = "empty";
        return request;
    }
    request.command = p[0];
    switch (p[0]) {
        case cmd_log_config:
            request.kind = RequestKind::log_config_other;
            if (size < 8) {
                request.problem = "shorter than the log config header";
                return request;
            }
            request.operation = get_le32(p + 4);
            if (request.operation == log_op_disable_all) {
                request.kind = RequestKind::log_disable_all;
            } else if (request.operation == log_op_set_mask) {
                request.kind = RequestKind::log_set_mask;
                if (size < 16) {
                    request.problem = "shorter than the set mask header";
                    return request;
                }
                request.equipment = get_le32(p + 8);
                request.item_count = get_le32(p + 12);
                if ((size - 16) * 8 < request.item_count) {
                    request.problem = "fewer mask bytes than its item count needs";
                    return request;
                }
                request.mask = p + 16;
            }
            return request;
        case cmd_ext_msg_config:
            request.kind = RequestKind::msg_config_other;
            if (size < 2) {
                request.problem = "shorter than the ext message config header";
                return request;
            }
            request.operation = p[1];
            if (p[1] == ext_msg_set_all) {
                request.kind = RequestKind::msg_set_all;
                if (size < 8) {
                    request.problem = "shorter than a set all request";
                    return request;
                }
                request.level_mask = get_le32(p + 4);
            }
            return request;
        case cmd_event_report:
            if (size == 2 && p[1] <= 1) {
                request.kind = RequestKind::event_report;
                request.events_on = p[1] == 1;
            }
            return request;
        default:
            return request;
    }
}

std::string request_text(const MaskRequest& r) {
    std::string text;
    switch (r.kind) {
        case RequestKind::log_disable_all:
            text = "log config: disable all";
            break;
        case RequestKind::log_set_mask:
            text = "log config: set mask";
            if (r.problem == nullptr) {
                const char* name = equipment_name(r.equipment);
                text += ", equipment " + hex(r.equipment, 1) + (name != nullptr ? std::string(" (") + name + ")" : "") +
                        ", " + std::to_string(r.item_count) + " items";
                if (r.equipment > 0xF || r.item_count > max_items) text += ": INVALID, a modem answers status 1";
            }
            break;
        case RequestKind::log_config_other:
            text = "log config: operation " + std::to_string(r.operation) + " (not a mask change)";
            break;
        case RequestKind::msg_set_all:
            text = "ext message config: set all, level mask " + hex(r.level_mask, 8) +
                   (r.level_mask == 0 ? " (all off)" : "");
            break;
        case RequestKind::msg_config_other:
            text = "ext message config: subcommand " + std::to_string(r.operation) + " (not decoded)";
            break;
        case RequestKind::event_report:
            text = std::string("event report control: ") + (r.events_on ? "on" : "off");
            break;
        case RequestKind::unknown: {
            const char* name = command_name(r.command);
            text = "UNKNOWN request " + hex(r.command, 2) + (name != nullptr ? std::string(" (") + name + ")" : "");
            break;
        }
    }
    if (r.problem != nullptr) text += std::string(": MALFORMED, ") + r.problem;
    return text;
}

std::string log_disable_all_request() {
    std::string p(1, static_cast<char>(cmd_log_config));
    put_le(0, 3, &p);
    put_le(log_op_disable_all, 4, &p);
    return p;
}

std::string log_set_mask_request(uint32_t equipment, uint32_t item_count, const uint8_t* mask) {
    std::string p(1, static_cast<char>(cmd_log_config));
    put_le(0, 3, &p);
    put_le(log_op_set_mask, 4, &p);
    put_le(equipment, 4, &p);
    put_le(item_count, 4, &p);
    p.append(reinterpret_cast<const char*>(mask), (item_count + 7) / 8);
    return p;
}

std::string msg_set_all_request(uint32_t level_mask) {
    std::string p = {static_cast<char>(cmd_ext_msg_config), static_cast<char>(ext_msg_set_all), 0, 0};
    put_le(level_mask, 4, &p);
    return p;
}

std::string event_report_request(bool on) {
    return std::string{static_cast<char>(cmd_event_report), static_cast<char>(on ? 1 : 0)};
}

std::string log_config_response(const uint8_t* request, size_t size, uint32_t status) {
    const size_t header = size < 8 ? size : 8;
    std::string p(reinterpret_cast<const char*>(request), header);
    put_le(status, 4, &p);
    p.append(reinterpret_cast<const char*>(request) + header, size - header);
    return p;
}

std::string msg_set_all_response(const uint8_t* request, size_t size) {
    std::string p = {static_cast<char>(cmd_ext_msg_config), static_cast<char>(ext_msg_set_all), 1, 0};
    if (size > 4) p.append(reinterpret_cast<const char*>(request) + 4, size - 4);
    return p;
}

std::string error_response(uint8_t error, const uint8_t* request, size_t size) {
    std::string p(1, static_cast<char>(error));
    p.append(reinterpret_cast<const char*>(request), size);
    return p;
}

namespace {

// Requests have the same command; an answer is the longer by its status
// word, which tells them apart.
bool describe_log_config_response(const uint8_t* p, size_t size, std::string* text, bool* rejected) {
    if (size < 12) return false;
    const uint32_t operation = get_le32(p + 4), status = get_le32(p + 8);
    if (operation == log_op_set_mask && (size < 20 || size != 20 + (uint64_t{get_le32(p + 16)} + 7) / 8)) return false;
    *text = "log config ";
    if (operation == log_op_disable_all) {
        *text += "disable all";
    } else if (operation == log_op_set_mask) {
        const uint32_t equipment = get_le32(p + 12);
        const char* name = equipment_name(equipment);
        *text += "set mask, equipment " + hex(equipment, 1) + (name != nullptr ? std::string(" (") + name + ")" : "") +
                 ", " + std::to_string(get_le32(p + 16)) + " items";
    } else {
        *text += "operation " + std::to_string(operation);
    }
    *text += ": status " + std::to_string(status) + " (" + log_status_text(status) + ")";
    *rejected = status != log_status_ok;
    return true;
}

}  // namespace

bool describe_response(const uint8_t* p, size_t size, std::string* text, bool* rejected) {
    *rejected = false;
    if (size == 0) return false;
    if (is_error_response(p[0])) {
        const char* refused = size > 1 ? command_name(p[1]) : nullptr;
        *text = std::string(command_name(p[0])) + ", refused " +
                (size > 1 ? (is_mask_command(p[1]) ? "mask " : "") + std::string("request ") + hex(p[1], 2) +
                                (refused != nullptr ? std::string(" (") + refused + ")" : "") + ": " +
                                hex_bytes(p + 1, size - 1, 24)
                          : std::string("request: (no echo)"));
        *rejected = true;
        return true;
    }
    switch (p[0]) {
        case cmd_log_config:
            return describe_log_config_response(p, size, text, rejected);
        case cmd_ext_msg_config:
            if (size < 4) return false;
            if (p[1] == ext_msg_set_all) {
                if (p[2] == 0) return false;  // the request itself
                *text = "ext message config set all" +
                        (size >= 8 ? ", level mask " + hex(get_le32(p + 4), 8) : std::string()) +
                        (p[2] == 1 ? ": done" : ": NOT DONE (status byte " + std::to_string(p[2]) + ")");
                *rejected = p[2] != 1;
            } else {
                *text = "ext message config subcommand " + std::to_string(p[1]);
            }
            return true;
        case cmd_event_report:
            if (size != 2) return false;  // longer: an event report
            *text = std::string("event report control: ") + (p[1] == 1 ? "on" : p[1] == 0 ? "off" : "?");
            return true;
        case cmd_event_mask_get:
        case cmd_event_mask_set:
            if (size < 2) return false;
            *text = std::string(command_name(p[0])) + ": status " + std::to_string(p[1]) + (p[1] == 0 ? " (ok)" : "");
            *rejected = p[1] != 0;
            return true;
        default:
            return false;
    }
}

bool build_mask(const MaskSpec& spec, std::string* file, std::string* error) {
    file->clear();
    error->clear();
    if (spec.disable_first) append_request(log_disable_all_request(), file, error);
    for (unsigned equipment = 0; equipment <= 0xF; ++equipment) {
        int last = -1;
        uint8_t mask[max_items / 8] = {};
        for (unsigned item = 0; item < max_items; ++item) {
            if (!codes_has(spec.codes, static_cast<uint16_t>(equipment << 12 | item))) continue;
            mask[item / 8] = static_cast<uint8_t>(mask[item / 8] | 1u << (item % 8));
            last = static_cast<int>(item);
        }
        if (last >= 0)
            append_request(log_set_mask_request(equipment, static_cast<uint32_t>(last) + 1, mask), file, error);
    }
    if (spec.msg) append_request(msg_set_all_request(spec.msg_level), file, error);
    if (spec.events >= 0) append_request(event_report_request(spec.events == 1), file, error);
    return error->empty();
}

std::string null_mask() {
    std::string file;
    append_frame(log_disable_all_request(), &file);
    append_frame(msg_set_all_request(0), &file);
    append_frame(event_report_request(false), &file);
    return file;
}

namespace {

void add_entry(MaskFile* mask, MaskEntry entry) {
    ++mask->packets;
    if (!entry.problem.empty()) ++mask->flagged;
    if (mask->entries.size() < max_mask_entries) mask->entries.push_back(std::move(entry));
}

void take_packet(MaskFile* mask, MaskEntry entry, const uint8_t* bytes, size_t size) {
    const FrameStatus status = unframe(bytes, size, &entry.payload);
    if (status != FrameStatus::good) {
        entry.problem = std::string(frame_status_name(status)) + ": the modem drops it";
        add_entry(mask, std::move(entry));
        return;
    }
    entry.good = true;
    const uint8_t* p = reinterpret_cast<const uint8_t*>(entry.payload.data());
    const MaskRequest request = decode_request(p, entry.payload.size());
    if (request.problem != nullptr) {
        entry.problem = std::string("malformed: ") + request.problem;
    } else if (request.kind == RequestKind::unknown) {
        entry.problem = "unknown request";
    } else if (request.kind == RequestKind::log_set_mask &&
               (request.equipment > 0xF || request.item_count > max_items)) {
        entry.problem = "invalid equipment id or item count";
    }
    if (entry.problem.empty()) {
        switch (request.kind) {
            case RequestKind::log_disable_all:
                mask->codes = CodeSet();
                break;
            case RequestKind::log_set_mask:
                codes_set_equipment(&mask->codes, request.equipment, request.item_count, request.mask);
                break;
            case RequestKind::msg_set_all:
                mask->msg_set = true;
                mask->msg_level = request.level_mask;
                break;
            case RequestKind::event_report:
                mask->events = request.events_on ? 1 : 0;
                break;
            default:
                break;
        }
    }
    add_entry(mask, std::move(entry));
}

}  // namespace

bool read_mask_file(const char* path, MaskFile* mask, std::string* error) {
    *mask = MaskFile();
    const int fd = open_retrying(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        *error = std::string(path) + ": cannot open: " + error_text(errno).text;
        return false;
    }
    MaskSplitter splitter;
    mask_splitter_init(&splitter);
    uint8_t block[4096];
    uint64_t offset = 0;       // of block[0] in the file
    uint64_t region = 0;       // where the bytes after the last packet start
    bool region_flag = false;  // and whether the first of them is a 0x7E
    bool region_open = false;
    for (;;) {
        const ssize_t got = read_retrying(fd, block, sizeof block);
        if (got < 0) {
            *error =
                std::string(path) + ": read failed at offset " + std::to_string(offset) + ": " + error_text(errno).text;
            close(fd);
            return false;
        }
        if (got == 0) break;
        size_t at = 0;
        while (at < static_cast<size_t>(got)) {
            if (!region_open) {
                region_open = true;
                region = offset + at;
                region_flag = block[at] == flag_byte;
            }
            size_t used = 0;
            const MaskPacketResult result =
                next_mask_packet(&splitter, block + at, static_cast<size_t>(got) - at, &used);
            at += used;
            if (result == mask_packet_more) continue;
            region_open = false;
            MaskEntry entry;
            entry.offset = region + (region_flag ? 1 : 0);
            entry.size = static_cast<size_t>(offset + at - entry.offset);
            if (result == mask_packet_dropped) {
                entry.dropped = true;
                entry.problem =
                    "longer than the " + std::to_string(max_sent_packet) + " bytes the daemon sends: dropped";
                add_entry(mask, std::move(entry));
            } else {
                take_packet(mask, std::move(entry), splitter.packet + diag_type_word_size,
                            splitter.fill - diag_type_word_size);
            }
        }
        offset += static_cast<uint64_t>(got);
    }
    close(fd);
    // An opening flag alone sends nothing and holds nothing either.
    if (region_open) mask->unsent = offset - region - (region_flag ? 1 : 0);
    return true;
}

}  // namespace dm
