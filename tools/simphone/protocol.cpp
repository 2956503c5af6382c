#include "protocol.h"

#include <string.h>
#include <time.h>

#include "dm/packet.h"

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

uint8_t filler_byte(uint32_t sequence, size_t index) {
    if (index == 0) return dm::flag_byte;
    if (index == 1) return dm::escape_byte;
    // NOLINTNEXTLINE(bugprone-implicit-widening-of-multiplication-result): only the low byte is kept
    return static_cast<uint8_t>(sequence * 31u + index * 7u);
}

struct Decoding {
    std::vector<DecodedPacket>* packets;
    std::string error;
    uint64_t end = 0;  // of the last good frame
};

void decode_event(void* context, const dm::ParseEvent& event) {
    Decoding* d = static_cast<Decoding*>(context);
    if (!d->error.empty() || event.kind == dm::ParseEvent::tail) return;
    const std::string where = " (frame at offset " + std::to_string(event.offset) + ")";
    if (event.kind != dm::ParseEvent::frame) {
        d->error = "bytes outside any frame" + where;
        return;
    }
    if (event.status != dm::FrameStatus::good) {
        d->error = std::string(dm::frame_status_name(event.status)) + where;
        return;
    }
    dm::LogPacket log;
    DecodedPacket packet;
    if (!dm::parse_log_packet(event.payload, event.payload_size, &log) || log.data_size < log_data_header) {
        d->error = "bad log header or length" + where;
        return;
    }
    packet.payload_length = event.payload_size;
    packet.log_code = log.code;
    packet.timestamp = log.timestamp;
    packet.sequence = dm::get_le32(log.data);
    const bool sized = log.code == sized_log_code;
    if (!sized && log.data_size != log_data_header + filler_length(packet.sequence)) {
        d->error = "bad length for its sequence number" + where;
        return;
    }
    for (size_t i = log_data_header; i < log.data_size; ++i) {
        if (log.data[i] != filler_byte(packet.sequence, i - log_data_header)) {
            d->error = "filler differs" + where;
            return;
        }
    }
    d->packets->push_back(packet);
    d->end = event.offset + event.size;
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

uint16_t log_code_of(Device device) { return static_cast<uint16_t>(0x1100 + static_cast<int>(device)); }

size_t filler_length(uint32_t sequence) { return 8 + (sequence * 37u) % 121u; }

static std::string make_frame_with_filler(uint16_t code, uint32_t sequence, uint64_t timestamp, size_t filler) {
    std::string data_bytes(log_data_header + filler, '\0');
    uint8_t* data = reinterpret_cast<uint8_t*>(&data_bytes[0]);
    const size_t length = data_bytes.size();
    for (size_t i = 0; i < log_data_header; ++i) data[i] = static_cast<uint8_t>(sequence >> (8 * i));
    for (size_t i = log_data_header; i < length; ++i) data[i] = filler_byte(sequence, i - log_data_header);
    std::string packet;
    packet.reserve(dm::log_header_size + length);
    dm::append_log_packet(code, timestamp, data, length, &packet);
    std::string frame;
    frame.reserve(packet.size() * 2 + 6);
    dm::append_frame(packet, &frame);
    return frame;
}

std::string make_log_frame(uint16_t code, uint32_t sequence, uint64_t timestamp) {
    return make_frame_with_filler(code, sequence, timestamp, filler_length(sequence));
}

std::string make_sized_frames(uint16_t code, uint32_t* sequence, uint64_t timestamp, size_t size) {
    std::string out;
    if (size < min_sized_run) size = min_sized_run;
    // Ordinary packets while plenty of room is left; the rest is sized ones.
    // Escapes make a frame a byte or two longer than its filler asks, so a
    // length that no single frame can hit is reached by a small frame first.
    for (;;) {
        std::string frame = make_log_frame(code, *sequence, timestamp);
        if (out.size() + frame.size() + 512 > size) break;
        out += frame;
        ++*sequence;
    }
    while (out.size() < size) {
        const size_t rest = size - out.size();
        bool done = false;
        for (size_t filler = 0; filler < rest; ++filler) {
            std::string frame = make_frame_with_filler(sized_log_code, *sequence, timestamp, filler);
            if (frame.size() > rest) break;
            if (frame.size() == rest) {
                out += frame;
                done = true;
                break;
            }
        }
        if (!done) out += make_frame_with_filler(sized_log_code, *sequence, timestamp, 0);
        ++*sequence;
    }
    return out;
}

uint64_t diag_now() {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return dm::diag_time_from_unix_us(static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000);
}

bool decode_frames(const std::string& bytes, std::vector<DecodedPacket>* packets, std::string* error,
                   size_t* trailing) {
    Decoding decoding{packets, std::string(), 0};
    dm::FrameParser parser;
    dm::parser_init(&parser);
    dm::parser_feed(&parser, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), decode_event, &decoding);
    dm::parser_finish(&parser, decode_event, &decoding);
    if (!decoding.error.empty()) {
        *error = decoding.error;
        return false;
    }
    if (trailing != nullptr) *trailing = bytes.size() - static_cast<size_t>(decoding.end);
    return true;
}

std::string answer_request(const std::string& request, ModemMask* mask, bool* is_diag) {
    std::string payload;
    *is_diag = dm::unframe(reinterpret_cast<const uint8_t*>(request.data()), request.size(), &payload) ==
               dm::FrameStatus::good;
    if (!*is_diag) return request;
    const uint8_t* p = reinterpret_cast<const uint8_t*>(payload.data());
    const dm::MaskRequest r = dm::decode_request(p, payload.size());
    std::string answer;
    if (r.problem != nullptr) {
        answer = dm::error_response(dm::cmd_bad_length, p, payload.size());
    } else if (r.kind == dm::RequestKind::log_disable_all || r.kind == dm::RequestKind::log_set_mask) {
        uint32_t status = dm::log_status_ok;
        if (r.kind == dm::RequestKind::log_disable_all) {
            mask->codes = dm::CodeSet();
        } else if (r.equipment > 0xF || r.item_count > dm::max_items) {
            status = dm::log_status_invalid;
        } else {
            dm::codes_set_equipment(&mask->codes, r.equipment, r.item_count, r.mask);
        }
        if (status == dm::log_status_ok) {
            mask->configured = true;
            mask->enabled = dm::codes_list(mask->codes);
        }
        answer = dm::log_config_response(p, payload.size(), status);
    } else if (r.kind == dm::RequestKind::msg_set_all) {
        answer = dm::msg_set_all_response(p, payload.size());
    } else if (r.kind == dm::RequestKind::event_report) {
        answer = payload;
    } else {
        answer = dm::error_response(dm::cmd_bad_command, p, payload.size());
    }
    std::string framed;
    dm::append_frame(answer, &framed);
    return framed;
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
