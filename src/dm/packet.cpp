#include "dm/packet.h"

#include <stdio.h>
#include <time.h>

namespace dm {

namespace {

// The signalling codes a field engineer asks for most, by code.
const ValueName code_names[] = {
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

const ValueName command_names[] = {
    {cmd_log, "log"},
    {cmd_bad_command, "error: bad command"},
    {cmd_bad_params, "error: bad parameters"},
    {cmd_bad_length, "error: bad length"},
    {cmd_subsystem, "subsystem"},
    {cmd_event_report, "event report"},
    {cmd_log_config, "log config"},
    {0x79, "debug message"},
    {0x92, "debug message"},
    {0x99, "debug message"},
    {cmd_ext_msg_config, "ext message config"},
    {cmd_event_mask_get, "event mask get"},
    {cmd_event_mask_set, "event mask set"},
    {cmd_dual_sim, "dual-SIM wrapper"},
};

const ValueName equipment_names[] = {
    {0x1, "CDMA 1X"}, {0x4, "WCDMA"}, {0x5, "GSM"}, {0x7, "UMTS NAS"}, {0xB, "LTE/NR"},
};

}  // namespace

void put_le(uint64_t value, int bytes, std::string* out) {
    for (int i = 0; i < bytes; ++i) out->push_back(static_cast<char>(value >> (8 * i)));
}

bool has_consistent_lengths(const uint8_t* payload, size_t size) {
    skip_dual_sim(&payload, &size);
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

bool skip_dual_sim(const uint8_t** payload, size_t* size, uint32_t* subscription) {
    uint32_t wrapped_subscription;
    const uint8_t* inner;
    size_t inner_size;
    if (!unwrap_dual_sim(*payload, *size, &wrapped_subscription, &inner, &inner_size)) return false;
    *payload = inner;
    *size = inner_size;
    if (subscription != nullptr) *subscription = wrapped_subscription;
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

const char* name_in(const ValueName* table, size_t count, uint32_t value) {
    for (size_t i = 0; i < count; ++i) {
        if (table[i].value == value) return table[i].name;
    }
    return nullptr;
}

const char* command_name(uint8_t command) { return name_in(command_names, command); }

const char* log_code_name(uint16_t code) { return name_in(code_names, code); }

const char* equipment_name(unsigned equipment) { return name_in(equipment_names, equipment); }

bool is_error_response(uint8_t command) {
    return command == cmd_bad_command || command == cmd_bad_params || command == cmd_bad_length;
}

}  // namespace dm
