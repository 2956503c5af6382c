#include "dm/packet.h"

#include <stdio.h>
#include <time.h>

namespace dm {

namespace {

struct CodeName {
    uint16_t code;
    const char* name;
};

// The signalling codes a field engineer asks for most, sorted by code.
const CodeName code_names[] = {
    {0x412F, "WCDMA RRC Signaling Message"},
    {0x512F, "GSM RR Signaling Message"},
    {0x5226, "GPRS MAC Signaling Message"},
    {0x713A, "UMTS NAS OTA Message"},
    {0xB0C0, "LTE RRC OTA Packet"},
    {0xB0C1, "LTE RRC MIB Message"},
    {0xB0C2, "LTE RRC Serving Cell Info"},
    {0xB0E2, "LTE NAS ESM Plain OTA Incoming Message"},
    {0xB0E3, "LTE NAS ESM Plain OTA Outgoing Message"},
    {0xB0EC, "LTE NAS EMM Plain OTA Incoming Message"},
    {0xB0ED, "LTE NAS EMM Plain OTA Outgoing Message"},
    {0xB800, "NR5G NAS SM5G Plain OTA Incoming Message"},
    {0xB801, "NR5G NAS SM5G Plain OTA Outgoing Message"},
    {0xB80A, "NR5G NAS MM5G Plain OTA Incoming Message"},
    {0xB80B, "NR5G NAS MM5G Plain OTA Outgoing Message"},
    {0xB821, "NR5G RRC OTA Packet"},
    {0xB822, "NR5G RRC MIB Info"},
    {0xB823, "NR5G RRC Serving Cell Info"},
};

}  // namespace

void put_le(uint64_t value, int bytes, std::string* out) {
    for (int i = 0; i < bytes; ++i) out->push_back(static_cast<char>(value >> (8 * i)));
}

bool has_consistent_lengths(const uint8_t* payload, size_t size) {
    uint32_t subscription;
    const uint8_t* inner;
    size_t inner_size;
    if (unwrap_dual_sim(payload, size, &subscription, &inner, &inner_size)) {
        payload = inner;
        size = inner_size;
    }
    if (size < log_header_size || payload[0] != cmd_log) return false;
    const uint16_t outer = get_le16(payload + 2), length = get_le16(payload + 4);
    return outer == length && size == 4u + length;
}

bool parse_log_packet(const uint8_t* payload, size_t size, LogPacket* packet) {
    if (size < log_header_size || payload[0] != cmd_log || !has_consistent_lengths(payload, size)) return false;
    packet->code = get_le16(payload + 6);
    packet->timestamp = get_le64(payload + 8);
    packet->data = payload + log_header_size;
    packet->data_size = size - log_header_size;
    return true;
}

void append_log_packet(uint16_t code, uint64_t timestamp, const uint8_t* data, size_t size, std::string* out) {
    const uint64_t length = 12 + size;
    out->push_back(static_cast<char>(cmd_log));
    out->push_back(0);
    put_le(length, 2, out);
    put_le(length, 2, out);
    put_le(code, 2, out);
    put_le(timestamp, 8, out);
    out->append(reinterpret_cast<const char*>(data), size);
}

bool unwrap_dual_sim(const uint8_t* payload, size_t size, uint32_t* subscription, const uint8_t** inner,
                     size_t* inner_size) {
    if (size <= dual_sim_header_size || payload[0] != cmd_dual_sim || payload[1] != 0x01 || payload[2] != 0 ||
        payload[3] != 0)
        return false;
    *subscription = get_le32(payload + 4);
    *inner = payload + dual_sim_header_size;
    *inner_size = size - dual_sim_header_size;
    return true;
}

uint64_t diag_time_from_unix_us(int64_t unix_us) {
    const int64_t since = unix_us - diag_epoch_unix_s * 1000000;
    const uint64_t ticks = since > 0 ? static_cast<uint64_t>(since) / 1250 : 0;
    return ticks << 16;
}

int64_t unix_us_from_diag_time(uint64_t timestamp) {
    return diag_epoch_unix_s * 1000000 + static_cast<int64_t>((timestamp >> 16) * 1250);
}

void format_utc(int64_t unix_us, char* out, size_t size) {
    const int64_t seconds = unix_us / 1000000;
    const time_t t = static_cast<time_t>(seconds);
    struct tm parts;
    // A 32-bit time_t cannot hold every stamp; the text says so instead.
    if (static_cast<int64_t>(t) != seconds || gmtime_r(&t, &parts) == nullptr) {
        snprintf(out, size, "(beyond this system's clock)");
        return;
    }
    snprintf(out, size, "%04d-%02d-%02d %02d:%02d:%02d.%03d", parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
             parts.tm_hour, parts.tm_min, parts.tm_sec, static_cast<int>(unix_us % 1000000 / 1000));
}

const char* command_name(uint8_t command) {
    switch (command) {
        case cmd_log:
            return "log";
        case cmd_bad_command:
            return "error: bad command";
        case cmd_bad_params:
            return "error: bad parameters";
        case cmd_bad_length:
            return "error: bad length";
        case cmd_subsystem:
            return "subsystem";
        case cmd_event_report:
            return "event report";
        case cmd_log_config:
            return "log config";
        case 0x79:
        case 0x92:
        case 0x99:
            return "debug message";
        case cmd_ext_msg_config:
            return "ext message config";
        case cmd_event_mask_get:
            return "event mask get";
        case cmd_event_mask_set:
            return "event mask set";
        case cmd_dual_sim:
            return "dual-SIM wrapper";
        default:
            return nullptr;
    }
}

const char* log_code_name(uint16_t code) {
    size_t low = 0, high = sizeof code_names / sizeof code_names[0];
    while (low < high) {
        const size_t middle = (low + high) / 2;
        if (code_names[middle].code == code) return code_names[middle].name;
        if (code_names[middle].code < code) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return nullptr;
}

const char* equipment_name(unsigned equipment) {
    switch (equipment) {
        case 0x1:
            return "CDMA 1X";
        case 0x4:
            return "WCDMA";
        case 0x5:
            return "GSM";
        case 0x7:
            return "UMTS NAS";
        case 0xB:
            return "LTE/NR";
        default:
            return nullptr;
    }
}

bool is_error_response(uint8_t command) {
    return command == cmd_bad_command || command == cmd_bad_params || command == cmd_bad_length;
}

}  // namespace dm
