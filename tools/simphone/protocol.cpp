#include "protocol.h"

#include <string.h>
#include <time.h>

namespace simphone {

namespace {

const char* const names[device_count] = {"diag", "diag_mdm", "extdiag", "trace"};

void put_le(uint8_t* out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint64_t get_le(const uint8_t* in, int bytes) {
    uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | in[i];
    return value;
}

void append_escaped(uint8_t byte, std::string* out) {
    if (byte == hdlc_flag || byte == hdlc_escape) {
        out->push_back(static_cast<char>(hdlc_escape));
        out->push_back(static_cast<char>(byte ^ hdlc_xor));
    } else {
        out->push_back(static_cast<char>(byte));
    }
}

uint8_t filler_byte(uint32_t sequence, size_t index) {
    if (index == 0) return hdlc_flag;
    if (index == 1) return hdlc_escape;
    // NOLINTNEXTLINE(bugprone-implicit-widening-of-multiplication-result): only the low byte is kept
    return static_cast<uint8_t>(sequence * 31u + index * 7u);
}

}  // namespace

const char* device_name(Device device) { return names[static_cast<int>(device)]; }

bool parse_device(const std::string& name, Device* device) {
    for (int i = 0; i < device_count; ++i) {
        if (name == names[i]) {
            *device = static_cast<Device>(i);
            return true;
        }
    }
    return false;
}

uint16_t crc16_x25(const uint8_t* data, size_t length) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0x8408) : static_cast<uint16_t>(crc >> 1);
    }
    return static_cast<uint16_t>(~crc);
}

void hdlc_encode(const uint8_t* payload, size_t length, std::string* out) {
    for (size_t i = 0; i < length; ++i) append_escaped(payload[i], out);
    uint16_t crc = crc16_x25(payload, length);
    append_escaped(static_cast<uint8_t>(crc & 0xFF), out);
    append_escaped(static_cast<uint8_t>(crc >> 8), out);
    out->push_back(static_cast<char>(hdlc_flag));
}

uint16_t log_code_of(Device device) { return static_cast<uint16_t>(0x1100 + static_cast<int>(device)); }

size_t filler_length(uint32_t sequence) { return 8 + (sequence * 37u) % 121u; }

std::string make_log_frame(Device device, uint32_t sequence, uint64_t timestamp_us) {
    const size_t length = log_header_size + filler_length(sequence);
    uint8_t payload[log_header_size + 8 + 121];
    payload[0] = log_command;
    payload[1] = 0;
    put_le(payload + 2, length, 2);
    put_le(payload + 4, log_code_of(device), 2);
    put_le(payload + 6, timestamp_us, 8);
    put_le(payload + 14, sequence, 4);
    for (size_t i = log_header_size; i < length; ++i) payload[i] = filler_byte(sequence, i - log_header_size);
    std::string frame;
    frame.reserve(length * 2 + 6);
    hdlc_encode(payload, length, &frame);
    return frame;
}

bool decode_frames(const std::string& bytes, std::vector<DecodedPacket>* packets, std::string* error,
                   size_t* trailing) {
    std::string payload;
    size_t frame_start = 0;
    bool escaped = false;
    for (size_t at = 0; at < bytes.size(); ++at) {
        const uint8_t byte = static_cast<uint8_t>(bytes[at]);
        if (byte != hdlc_flag) {
            if (escaped) {
                payload.push_back(static_cast<char>(byte ^ hdlc_xor));
                escaped = false;
            } else if (byte == hdlc_escape) {
                escaped = true;
            } else {
                payload.push_back(static_cast<char>(byte));
            }
            continue;
        }
        const std::string where = " (frame at offset " + std::to_string(frame_start) + ")";
        if (escaped) {
            *error = "escape byte right before the flag" + where;
            return false;
        }
        const uint8_t* p = reinterpret_cast<const uint8_t*>(payload.data());
        if (payload.size() < log_header_size + 2) {
            *error = "frame of " + std::to_string(payload.size()) + " bytes is too short" + where;
            return false;
        }
        const size_t body = payload.size() - 2;
        const uint16_t crc = static_cast<uint16_t>(get_le(p + body, 2));
        if (crc != crc16_x25(p, body)) {
            *error = "CRC mismatch" + where;
            return false;
        }
        DecodedPacket packet;
        packet.payload_length = body;
        packet.log_code = static_cast<uint16_t>(get_le(p + 4, 2));
        packet.timestamp_us = get_le(p + 6, 8);
        packet.sequence = static_cast<uint32_t>(get_le(p + 14, 4));
        if (p[0] != log_command || get_le(p + 2, 2) != body ||
            body != log_header_size + filler_length(packet.sequence)) {
            *error = "bad log header or length" + where;
            return false;
        }
        for (size_t i = log_header_size; i < body; ++i) {
            if (p[i] != filler_byte(packet.sequence, i - log_header_size)) {
                *error = "filler differs" + where;
                return false;
            }
        }
        packets->push_back(packet);
        payload.clear();
        frame_start = at + 1;
    }
    if (trailing != nullptr) *trailing = bytes.size() - frame_start;
    return true;
}

void encode_journal_record(const JournalRecord& record, uint8_t out[journal_record_size]) {
    memset(out, 0, journal_record_size);
    put_le(out, record.time_us, 8);
    put_le(out + 8, record.offset, 8);
    put_le(out + 16, record.length, 4);
    out[20] = static_cast<uint8_t>(record.device);
    out[21] = static_cast<uint8_t>(record.kind);
    put_le(out + 24, record.handle, 4);
}

JournalRecord decode_journal_record(const uint8_t in[journal_record_size]) {
    JournalRecord record;
    record.time_us = get_le(in, 8);
    record.offset = get_le(in + 8, 8);
    record.length = static_cast<uint32_t>(get_le(in + 16, 4));
    record.device = static_cast<Device>(in[20] % device_count);
    record.kind = static_cast<ChunkKind>(in[21]);
    record.handle = static_cast<uint32_t>(get_le(in + 24, 4));
    return record;
}

std::string hex_encode(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        text.push_back(digits[c >> 4]);
        text.push_back(digits[c & 15]);
    }
    return text;
}

bool hex_decode(const std::string& text, std::string* bytes) {
    if (text.size() % 2 != 0) return false;
    bytes->clear();
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    for (size_t i = 0; i < text.size(); i += 2) {
        int high = nibble(text[i]);
        int low = nibble(text[i + 1]);
        if (high < 0 || low < 0) return false;
        bytes->push_back(static_cast<char>(high * 16 + low));
    }
    return true;
}

uint64_t monotonic_us() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

}  // namespace simphone
