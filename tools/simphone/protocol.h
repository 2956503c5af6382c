// What the simulated driver and the test kit agree on: the devices, the
// stream's packet format, and the layout of the journal and the event log.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "dm/frame.h"
#include "dm/mask.h"

namespace simphone {

// The devices the driver serves a stream on, in journal numbering.
enum class Device : uint8_t { diag = 0, diag_mdm = 1, extdiag = 2, trace = 3 };
constexpr int device_count = 4;

const char* device_name(Device device);
// Accepts the names device_name gives; false for anything else.
bool parse_device(const std::string& name, Device* device);

// Word that opens every request written to a diag device, and the word the
// header variant of the driver puts in front of every stream chunk.
constexpr uint32_t request_type_word = 32;
constexpr uint32_t stream_type_word = 32;

// The framing is the capture tool's (dm/frame.h); these names stay for the
// kit's own tests.
using dm::crc16_x25;
inline void hdlc_encode(const uint8_t* payload, size_t length, std::string* out) {
    dm::append_frame(payload, length, out);
}

// Stream packets are log packets (dm/packet.h) whose data is the device's
// packet sequence number (u32), then filler. The filler always holds a flag
// and an escape byte, so that every frame exercises escaping.
constexpr size_t log_data_header = 4;

// The code a device logs under until a log mask is set on it.
uint16_t log_code_of(Device device);
// Filler length of the packet with this sequence number (the sizes vary, so
// that packets straddle no fixed pattern).
size_t filler_length(uint32_t sequence);
// The whole frame of one packet, escaped and terminated; the time stamp is
// the diag clock's (diag_now()).
std::string make_log_frame(uint16_t code, uint32_t sequence, uint64_t timestamp);
inline std::string make_log_frame(Device device, uint32_t sequence, uint64_t timestamp) {
    return make_log_frame(log_code_of(device), sequence, timestamp);
}
uint64_t diag_now();

// Frames of exactly `size` bytes (at least min_sized_run) that continue the
// sequence from *sequence: the packets of one driver buffer that must have a
// given size. The last packets carry sized_log_code, whose filler may have
// any length.
constexpr uint16_t sized_log_code = 0x11FF;
constexpr size_t min_sized_run = 64;
std::string make_sized_frames(uint16_t code, uint32_t* sequence, uint64_t timestamp, size_t size);

struct DecodedPacket {
    uint16_t log_code = 0;
    uint64_t timestamp = 0;
    uint32_t sequence = 0;
    size_t payload_length = 0;
};

// Splits a byte stream into frames and checks each: escapes, CRC, length
// fields and filler. Stops at the first bad frame with a reason in *error.
// Bytes after the last flag are reported through *trailing.
bool decode_frames(const std::string& bytes, std::vector<DecodedPacket>* packets, std::string* error,
                   size_t* trailing = nullptr);

// The mask state of one simulated modem. Until it is sent a log mask
// request it logs under its device's own code, as it always has; from then
// on only the codes the mask enabled, and nothing once they are all off.
struct ModemMask {
    bool configured = false;
    dm::CodeSet codes;
    std::vector<uint16_t> enabled;  // codes, in order
};

// The modem's answer to one request (its bytes after the type word, up to
// and including the closing flag), framed; what the request asks of the
// log codes is done to *mask. Bytes that are no diag frame are answered by
// themselves, as the simulated driver always did, and *is_diag is false.
std::string answer_request(const std::string& request, ModemMask* mask, bool* is_diag);

// What a journal record says about the bytes of one handed-out chunk.
// control: a read of a named generation's driver that carries no log data
// (a mask table, the HDLC state, the deinit word).
enum class ChunkKind : uint8_t { stream = 0, response = 1, notification = 2, control = 3 };

// One journal record as stored: 32 bytes, little-endian, independent of the
// reader's word size (the 32-bit test build reads the 64-bit driver's files).
constexpr size_t journal_record_size = 32;
struct JournalRecord {
    uint64_t time_us = 0;  // CLOCK_MONOTONIC when it was handed out
    uint64_t offset = 0;   // where its bytes start in the data file
    uint32_t length = 0;
    Device device = Device::diag;
    ChunkKind kind = ChunkKind::stream;
    uint32_t handle = 0;  // the open file it was read through (0 for the trace)
};
void encode_journal_record(const JournalRecord& record, uint8_t out[journal_record_size]);
JournalRecord decode_journal_record(const uint8_t in[journal_record_size]);

// Names of the driver's files inside its run directory.
constexpr const char* journal_index_name = "journal.idx";
constexpr const char* journal_data_name = "journal.dat";
constexpr const char* events_name = "events.log";

std::string hex_encode(const std::string& bytes);
bool hex_decode(const std::string& text, std::string* bytes);

uint64_t monotonic_us();

}  // namespace simphone
