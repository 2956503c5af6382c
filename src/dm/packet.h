// What the payload of a frame holds: its command byte, the log packet, the
// dual-SIM wrapper, the diag clock, and the names a reader knows them by.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace dm {

// The command byte that opens a payload, as the modem and its tools number
// it.
enum Command : uint8_t {
    cmd_bad_command = 0x13,
    cmd_bad_params = 0x14,
    cmd_bad_length = 0x15,
    cmd_log = 0x10,
    cmd_subsystem = 0x4B,
    cmd_event_report = 0x60,
    cmd_log_config = 0x73,
    cmd_ext_msg_config = 0x7D,
    cmd_event_mask_get = 0x81,
    cmd_event_mask_set = 0x82,
    cmd_dual_sim = 0x98,
};

inline uint16_t get_le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint32_t get_le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}
inline uint64_t get_le64(const uint8_t* p) { return get_le32(p) | static_cast<uint64_t>(get_le32(p + 4)) << 32; }
// Appends value as `bytes` little-endian bytes.
void put_le(uint64_t value, int bytes, std::string* out);

// Log packet: 10 | u8 more | u16 outer_len | u16 len | u16 code | u64 time |
// data, where len counts the 12 bytes from len on, so the payload is 4 + len
// bytes.
constexpr size_t log_header_size = 16;
struct LogPacket {
    uint16_t code = 0;
    uint64_t timestamp = 0;
    const uint8_t* data = nullptr;
    size_t data_size = 0;
};
// Whether the payload is a log packet, or a dual-SIM wrapped one, whose
// length fields agree with its size.
bool has_consistent_lengths(const uint8_t* payload, size_t size);
bool parse_log_packet(const uint8_t* payload, size_t size, LogPacket* packet);
void append_log_packet(uint16_t code, uint64_t timestamp, const uint8_t* data, size_t size, std::string* out);

inline unsigned equipment_of(uint16_t code) { return code >> 12; }
inline unsigned item_of(uint16_t code) { return code & 0xFFF; }

// 98 01 00 00 | u32 subscription id | inner packet.
constexpr size_t dual_sim_header_size = 8;
bool unwrap_dual_sim(const uint8_t* payload, size_t size, uint32_t* subscription, const uint8_t** inner,
                     size_t* inner_size);
// The packet a payload carries: the inner one of a dual-SIM wrapper, else
// the payload itself; *payload and *size are moved onto it. true when it
// was wrapped, with the subscription in *subscription unless that is null.
bool skip_dual_sim(const uint8_t** payload, size_t* size, uint32_t* subscription = nullptr);

// The diag clock: the upper 48 bits of a time stamp count 1.25 ms ticks since
// 1980-01-06 00:00:00 UTC. Modems differ in what the lower 16 bits hold, so
// they are not used, and every time taken from a stamp is approximate.
constexpr int64_t diag_epoch_unix_s = 315964800;
uint64_t diag_time_from_unix_us(int64_t unix_us);
int64_t unix_us_from_diag_time(uint64_t timestamp);
// "YYYY-MM-DD HH:MM:SS.mmm" (UTC) into out, at most size - 1 characters.
void format_utc(int64_t unix_us, char* out, size_t size);

// A value and the name a reader knows it by, in a table that name_in
// searches.
struct ValueName {
    uint32_t value;
    const char* name;
};
// The name of value in table (count entries), or null.
const char* name_in(const ValueName* table, size_t count, uint32_t value);
template <size_t count>
const char* name_in(const ValueName (&table)[count], uint32_t value) {
    return name_in(table, count, value);
}

// Null when the command or the code has no name here.
const char* command_name(uint8_t command);
const char* log_code_name(uint16_t code);
const char* equipment_name(unsigned equipment);
bool is_error_response(uint8_t command);

}  // namespace dm
