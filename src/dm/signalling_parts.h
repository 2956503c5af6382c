// What the signalling decoder's two halves share: the packet being decoded,
// skipping with a reason, emitting a message and joining segments. The RRC
// version tables live in rrc_layouts.cpp, everything else in signalling.cpp.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "dm/signalling.h"

namespace dm {

struct SignallingPacket {
    SignallingDecoder* decoder;
    uint16_t code;
    uint64_t timestamp;
    bool has_subscription;
    uint32_t subscription;
};

// Counts the packet as skipped under (code, key): the version, or the
// channel for codes that have no version.
Decoded skip_packet(const SignallingPacket& packet, uint32_t key, const char* reason);
// Completes *pdu with the packet's time and subscription, and counts it.
Decoded emit_pdu(const SignallingPacket& packet, SignallingPdu* pdu);
// A segment of a message (id 0: the whole of it); *pdu holds the header's
// fields and is emitted with the joined bytes once the last part is in.
Decoded take_segment(const SignallingPacket& packet, uint32_t version, uint8_t segment_id, const uint8_t* data,
                     size_t size, SignallingPdu* pdu);

// The header's size for a version, with the version itself; 0 when the
// version's layout is not known.
size_t lte_rrc_header_size(uint32_t version);
size_t nr_rrc_header_size(uint32_t version);

Decoded decode_lte_rrc(const SignallingPacket& packet, const uint8_t* data, size_t size, SignallingPdu* pdu);
Decoded decode_nr_rrc(const SignallingPacket& packet, const uint8_t* data, size_t size, SignallingPdu* pdu);

}  // namespace dm
