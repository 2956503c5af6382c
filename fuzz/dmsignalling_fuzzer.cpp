// orlith-dm's signalling decoder on any payload, bare and as a log packet of
// each code it takes: every length it reads is checked against the bytes
// there are, and every
// packet is counted once as decoded, pending, skipped or left out.
#include <stdint.h>

#include <string>

#include "dm/packet.h"
#include "dm/signalling.h"
#include "fuzz_support.h"

namespace {

const uint16_t codes[] = {0xB0C0, 0xB821, 0xB0E0, 0xB0EB, 0xB0ED, 0xB800, 0xB809,
                          0xB814, 0x412F, 0x512F, 0x5B2F, 0x713A, 0x7B3A};

uint64_t counted(const dm::SignallingDecoder& decoder) {
    uint64_t total = decoder.skipped_packets + decoder.left_out;
    for (const auto& entry : decoder.decoded) total += entry.second;
    return total;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    dm::SignallingDecoder decoder;
    decoder.protected_nas = size % 2 == 0;
    dm::SignallingPdu pdu;
    dm::decode_signalling(&decoder, data, size, &pdu);
    uint64_t pending = 0;
    for (uint16_t code : codes) {
        std::string payload;
        dm::append_log_packet(code, 0, data, size, &payload);
        const uint64_t before = counted(decoder);
        const dm::Decoded decoded =
            dm::decode_signalling(&decoder, reinterpret_cast<const uint8_t*>(payload.data()), payload.size(), &pdu);
        // A log packet's length field holds no more than 16 bits.
        FUZZ_CHECK(decoded != dm::Decoded::none || size > 0xFFFF - 12);
        const uint64_t added = counted(decoder) - before;
        if (decoded == dm::Decoded::pending) {
            // A new start closes a message still open, which counts as skipped.
            ++pending;
            FUZZ_CHECK(added <= 1);
        } else {
            FUZZ_CHECK(added == (decoded == dm::Decoded::none ? 0 : 1));
        }
    }
    const uint64_t before = decoder.skipped_packets;
    dm::signalling_finish(&decoder);
    FUZZ_CHECK(decoder.partial.empty() && decoder.skipped_packets - before <= pending);
    return 0;
}
