// The mask packet splitter that inject_mask uses, fed in blocks of any size:
// every packet is a type word and at most 1020 bytes ending in its only
// 0x7E, and the packets' bodies are the mask itself, less the flags that
// open packets, the packets too long to send and the unfinished tail.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "fuzz_support.h"
#include "logger/diag_device.h"
#include "logger/mask_packets.h"

namespace {

constexpr size_t max_body = mask_packet_size - diag_type_word_size;

struct Packets {
    std::vector<std::string> bodies;
    size_t dropped = 0;
};

// What the mask should give, from its packet boundaries alone.
Packets expected_packets(const uint8_t* mask, size_t size) {
    Packets packets;
    size_t at = 0;
    while (at < size) {
        if (mask[at] == diag_packet_end) ++at;  // a flag that opens a packet
        const void* end = at < size ? memchr(mask + at, diag_packet_end, size - at) : nullptr;
        if (end == nullptr) break;  // the unfinished tail
        const size_t next = static_cast<size_t>(static_cast<const uint8_t*>(end) - mask) + 1;
        if (next - at > max_body) {
            ++packets.dropped;
        } else {
            packets.bodies.emplace_back(reinterpret_cast<const char*>(mask + at), next - at);
        }
        at = next;
    }
    return packets;
}

void check_packet(const MaskSplitter& splitter) {
    FUZZ_CHECK(splitter.fill > diag_type_word_size);
    FUZZ_CHECK(splitter.fill <= mask_packet_size);
    const unsigned char type_word[diag_type_word_size] = {static_cast<unsigned char>(diag_request_type & 0xFF),
                                                          static_cast<unsigned char>(diag_request_type >> 8 & 0xFF),
                                                          static_cast<unsigned char>(diag_request_type >> 16 & 0xFF),
                                                          static_cast<unsigned char>(diag_request_type >> 24 & 0xFF)};
    FUZZ_CHECK(memcmp(splitter.packet, type_word, sizeof type_word) == 0);
    FUZZ_CHECK(splitter.packet[splitter.fill - 1] == diag_packet_end);
    const unsigned char* body = splitter.packet + diag_type_word_size;
    FUZZ_CHECK(memchr(body, diag_packet_end, splitter.fill - diag_type_word_size - 1) == nullptr);
}

}  // namespace

// Input: one byte for the block size (0: the whole mask at once), then the
// mask file.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t* mask = data + 1;
    const size_t mask_size = size - 1;
    const size_t block = data[0] == 0 ? mask_size : data[0];

    // On the heap, so that ASan sees a write past the record.
    MaskSplitter* splitter = static_cast<MaskSplitter*>(malloc(sizeof(MaskSplitter)));
    FUZZ_CHECK(splitter != nullptr);
    mask_splitter_init(splitter);
    Packets got;
    size_t at = 0;
    while (at < mask_size) {
        const size_t offered = mask_size - at < block ? mask_size - at : block;
        size_t used = offered + 1;
        const MaskPacketResult result = next_mask_packet(splitter, mask + at, offered, &used);
        FUZZ_CHECK(used <= offered);
        at += used;
        switch (result) {
            case mask_packet_more:
                FUZZ_CHECK(used == offered);
                break;
            case mask_packet_ready:
                FUZZ_CHECK(used > 0 && mask[at - 1] == diag_packet_end);
                check_packet(*splitter);
                got.bodies.emplace_back(reinterpret_cast<const char*>(splitter->packet + diag_type_word_size),
                                        splitter->fill - diag_type_word_size);
                break;
            case mask_packet_dropped:
                FUZZ_CHECK(used > 0 && mask[at - 1] == diag_packet_end);
                ++got.dropped;
                break;
            default:
                FUZZ_CHECK(!"unknown result");
        }
    }
    free(splitter);

    const Packets expected = expected_packets(mask, mask_size);
    FUZZ_CHECK(got.dropped == expected.dropped);
    FUZZ_CHECK(got.bodies == expected.bodies);
    return 0;
}
