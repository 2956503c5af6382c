#include "logger/hex_dump.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <string>

namespace {

std::string dump(const std::string& bytes) {
    char out[hex_dump_size];
    return hex_dump(bytes.data(), static_cast<int>(bytes.size()), out, sizeof out);
}

std::string items(int from, int to) {
    std::string text;
    char item[8];
    for (int i = from; i < to; ++i) {
        snprintf(item, sizeof item, "%02X(.)", i);
        text += (i == from ? "" : ",") + std::string(item);
    }
    return text;
}

TEST(HexDump, ItemsShowPrintableBytesAndStopsForTheRest) {
    EXPECT_EQ(dump("\x4B\x0F\x7E"), "4B(K),0F(.),7E(~)");
    EXPECT_EQ(dump(std::string("\x20\x80\x7F\x00\xFF", 5)), "20( ),80(.),7F(.),00(.),FF(.)");
    EXPECT_EQ(dump(""), "");
    char out[hex_dump_size] = "stale";
    EXPECT_STREQ(hex_dump(nullptr, 3, out, sizeof out), "");
    EXPECT_EQ(hex_dump("x", 1, nullptr, 10), nullptr);
    EXPECT_STREQ(hex_dump("x", -1, out, sizeof out), "");
}

TEST(HexDump, LongBuffersShowTheirHeadAndTail) {
    // Unprintable bytes throughout, so every item reads NN(.) below.
    std::string low(100, '\0');
    for (int i = 0; i < 100; ++i) low[i] = static_cast<char>(i < 0x20 ? i : 0x80 + i);
    auto expected_items = [&](int from, int to) {
        std::string text;
        char item[8];
        for (int i = from; i < to; ++i) {
            snprintf(item, sizeof item, "%02X(.)", static_cast<unsigned char>(low[i]));
            text += (i == from ? "" : ",") + std::string(item);
        }
        return text;
    };
    EXPECT_EQ(dump(low.substr(0, 84)), expected_items(0, 84));
    EXPECT_EQ(dump(low.substr(0, 85)), expected_items(0, 81) + " ... " + expected_items(82, 85));
    EXPECT_EQ(dump(low), expected_items(0, 81) + " ... " + expected_items(97, 100));
    EXPECT_EQ(dump(low).size(), 507u);
    EXPECT_EQ(dump(low.substr(0, 20)), items(0, 20));
}

TEST(HexDump, SmallOutputBufferIsNeverOverrun) {
    char guarded[32];
    memset(guarded, '#', sizeof guarded);
    hex_dump("abcdefgh", 8, guarded, 10);
    EXPECT_EQ(std::string(guarded), "61(a),62(");
    EXPECT_EQ(guarded[10], '#');
}

}  // namespace
