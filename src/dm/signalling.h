// The over-the-air signalling that diag log packets carry (LTE and NR RRC,
// LTE and 5GS NAS, WCDMA RRC, GSM RR, GPRS/UMTS NAS), taken out of them in
// the form Wireshark dissects: a GSMTAP v2 header's fields, or the name of
// the dissector an upper-PDU packet names. Layouts are known per log code
// and packet version; a version or a length that is not known is never
// guessed at but skipped, and counted.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <map>
#include <string>

namespace dm {

// GSMTAP v2 types and the sub-types written here.
constexpr uint8_t gsmtap_type_um = 0x01;
constexpr uint8_t gsmtap_type_abis = 0x02;  // GSM layer 3 without L2
constexpr uint8_t gsmtap_type_umts_rrc = 0x0C;
constexpr uint8_t gsmtap_type_lte_rrc = 0x0D;
constexpr uint8_t gsmtap_type_lte_nas = 0x12;

// One message, ready for a packet.
struct SignallingPdu {
    bool gsmtap = true;  // else an upper-PDU packet naming `dissector`
    uint8_t type = 0, subtype = 0;
    bool uplink = false;
    bool has_arfcn = false;
    uint32_t arfcn = 0;         // as the modem gave it; GSMTAP holds 14 bits of it
    uint32_t frame_number = 0;  // GSMTAP's, where the packet has one
    const char* dissector = nullptr;
    const char* channel = "";  // what stats counts it as: "LTE RRC DL-DCCH"
    uint64_t timestamp = 0;    // the log packet's (of the last segment)
    bool has_subscription = false;
    uint32_t subscription = 0;  // the dual-SIM wrapper's id, or radio id + 1
    std::string bytes;          // the message itself
};

enum class Decoded : uint8_t {
    none,      // no signalling: not a log packet, or a code not taken here
    pdu,       // *pdu holds a message
    pending,   // a segment kept until its message is whole
    skipped,   // counted in skipped
    left_out,  // by choice (security-protected NAS with protected_nas off)
};

struct SkipCount {
    uint64_t packets = 0;
    const char* reason = "";  // of the first skipped: "version not known", ...
};

struct SignallingDecoder {
    bool protected_nas = true;  // security-protected NAS is written; off: left out
    // Skipped packets by (log code << 32 | version).
    std::map<uint64_t, SkipCount> skipped;
    uint64_t skipped_packets = 0, left_out = 0;
    // Messages by channel.
    std::map<std::string, uint64_t> decoded;
    // Segments of a message being joined, by (log code, subscription).
    struct Partial {
        std::string bytes;
        uint8_t next = 0;      // the segment id expected next
        uint32_t version = 0;  // the packets', for counting a message never completed
        SignallingPdu pdu;
    };
    std::map<uint64_t, Partial> partial;
};

// Takes a good frame's payload (a log packet, or a dual-SIM wrapped one).
Decoded decode_signalling(SignallingDecoder* decoder, const uint8_t* payload, size_t size, SignallingPdu* pdu);
// Segments never completed are counted as skipped, with reason "segment
// missing"; call once, at the end of the input.
void signalling_finish(SignallingDecoder* decoder);

// One line per skipped code and version, each "0xB0C0 version 33: 12 packets
// (version not known)", with `indent` in front; nothing when none was.
std::string skipped_text(const SignallingDecoder& decoder, const char* indent);

}  // namespace dm
