#include "logger/mask_packets.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "logger/diag_device.h"

namespace {

const std::string type_word("\x20\x00\x00\x00", 4);

// The packets of a mask handed over in blocks of block bytes; a dropped
// packet shows as "dropped".
std::vector<std::string> split(const std::string& mask, size_t block) {
    MaskSplitter splitter;
    mask_splitter_init(&splitter);
    std::vector<std::string> packets;
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(mask.data());
    size_t at = 0;
    while (at < mask.size()) {
        const size_t offered = std::min(block, mask.size() - at);
        size_t used = 0;
        const MaskPacketResult result = next_mask_packet(&splitter, bytes + at, offered, &used);
        EXPECT_LE(used, offered);
        at += used;
        if (result == mask_packet_ready) {
            packets.emplace_back(reinterpret_cast<const char*>(splitter.packet), splitter.fill);
        } else if (result == mask_packet_dropped) {
            packets.emplace_back("dropped");
        } else {
            EXPECT_EQ(used, offered);
        }
    }
    return packets;
}

TEST(MaskPackets, BlockBoundariesDoNotChangeThePackets) {
    // Opening flags, a doubled flag, a trailing partial packet.
    const std::string mask =
        "\x7EPQR\x7E\x7EST\x7E\x7E\x7E"
        "AB";
    const std::vector<std::string> expected{type_word + "PQR\x7E", type_word + "ST\x7E", type_word + "\x7E"};
    for (size_t block = 1; block <= mask.size(); ++block) EXPECT_EQ(split(mask, block), expected) << block;
}

TEST(MaskPackets, OverlongPacketSpanningBlocksIsDroppedAndTheNextIsWhole) {
    const std::string fits(1019, 'f');
    const std::string too_long(1020, 'x');
    const std::string mask = fits + "\x7E" + too_long + "\x7E" + "ok\x7E";
    const std::vector<std::string> expected{type_word + fits + "\x7E", "dropped", type_word + "ok\x7E"};
    for (size_t block : {size_t{1}, size_t{7}, size_t{1024}, mask.size()}) EXPECT_EQ(split(mask, block), expected);
}

TEST(MaskPackets, ReadyPacketStaysUntilTheNextCall) {
    MaskSplitter splitter;
    mask_splitter_init(&splitter);
    const unsigned char mask[] = {'A', 0x7E, 'B', 0x7E};
    size_t used = 0;
    ASSERT_EQ(next_mask_packet(&splitter, mask, sizeof mask, &used), mask_packet_ready);
    EXPECT_EQ(used, 2u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(splitter.packet), splitter.fill), type_word + "A\x7E");
    ASSERT_EQ(next_mask_packet(&splitter, mask + used, 1, &used), mask_packet_more);
    EXPECT_EQ(splitter.fill, diag_type_word_size + 1);
    // The first packet is gone, its bytes zeroed.
    EXPECT_EQ(splitter.packet[diag_type_word_size + 1], 0);
}

}  // namespace
