// The framing of a diag stream: each frame is the escaped payload and its
// CRC-16/X-25 (low byte first), closed by 0x7E. No opening 0x7E is needed,
// and empty frames between two 0x7E are nothing.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace dm {

constexpr uint8_t flag_byte = 0x7E;
constexpr uint8_t escape_byte = 0x7D;
constexpr uint8_t escape_xor = 0x20;
constexpr size_t crc_size = 2;

// The 4-byte word the diag driver puts in front of each buffer it hands out
// (little-endian 32, the same value as the type word of a request). The
// daemon drops it from a batch's first chunk only, so the later chunks'
// words stay in the file, each where a frame would start.
constexpr uint8_t header_word[4] = {0x20, 0x00, 0x00, 0x00};
constexpr size_t header_word_size = 4;

// Polynomial 0x1021 reflected, initial value and final XOR 0xFFFF.
uint16_t crc16_x25(const uint8_t* data, size_t length);

// Appends escape(payload, CRC low, CRC high) and the closing flag.
void append_frame(const uint8_t* payload, size_t length, std::string* out);
inline void append_frame(const std::string& payload, std::string* out) {
    append_frame(reinterpret_cast<const uint8_t*>(payload.data()), payload.size(), out);
}

enum class FrameStatus : uint8_t {
    good,
    bad_crc,
    bad_escape,  // 0x7D before anything but 0x5E or 0x5D, or right before the flag
    too_short,   // fewer than a payload byte and the CRC
    overlong,    // longer than the parser keeps; its CRC was not checked
};
const char* frame_status_name(FrameStatus status);

// Checks one frame given without its closing flag (or with it: a last 0x7E is
// ignored) and unescapes its payload, CRC removed, into *payload.
FrameStatus unframe(const uint8_t* bytes, size_t size, std::string* payload);

// What the parser finds, in the order of the input.
struct ParseEvent {
    enum Kind : uint8_t {
        frame,        // a frame up to and including its closing 0x7E
        header_word,  // a device header word where a frame would start
        outside,      // bytes that belong to no frame, in front of a good one
        tail,         // bytes after the last 0x7E: a truncated frame
    };
    Kind kind = frame;
    FrameStatus status = FrameStatus::good;  // frames only
    uint64_t offset = 0;                     // of the first byte in the input
    uint64_t size = 0;                       // bytes of the input
    // Good frames: the unescaped payload without its CRC, valid until the
    // handler returns.
    const uint8_t* payload = nullptr;
    size_t payload_size = 0;
    uint8_t modem = 0;  // a Modem (reads.h); a frame stream has only the local one
};

using ParseHandler = void (*)(void* context, const ParseEvent& event);

// A streaming parser: bytes may come in blocks of any size. It keeps at most
// max_frame unescaped bytes of one frame; a longer one is reported overlong.
struct FrameParser {
    size_t max_frame = 0;
    std::vector<uint8_t> frame;  // unescaped bytes of the open frame
    size_t fill = 0;
    // Which unescaped bytes came from an escape pair, to map them back to
    // offsets in the input; bit i for frame[i].
    std::vector<uint64_t> escaped;
    size_t escapes = 0;
    size_t clean_from = 0;  // no bad escape at or after this unescaped index
    uint64_t start = 0;     // input offset of the open frame's first byte
    uint64_t at = 0;        // input offset of the next byte
    bool escape_pending = false;
    bool bad_escape = false;
    bool overlong = false;
};

constexpr size_t default_max_frame = size_t{128} * 1024;

void parser_init(FrameParser* parser, size_t max_frame = default_max_frame);
void parser_feed(FrameParser* parser, const uint8_t* data, size_t size, ParseHandler handler, void* context);
// The next bytes fed are those at `offset` of the input: a capture made of
// reads hands over each entry's frames from where they lie. Only at a frame
// boundary, where an entry's last 0x7E leaves the parser.
void parser_seek(FrameParser* parser, uint64_t offset);
// The end of the input: reports what is left as a tail.
void parser_finish(FrameParser* parser, ParseHandler handler, void* context);

}  // namespace dm
