// Mask files: what build writes, what show reads back, and what it flags.
#include <gtest/gtest.h>

#include "dm/mask.h"
#include "dm_test_util.h"
#include "test_support.h"

namespace {

dm::CodeSet codes_of(std::initializer_list<std::pair<uint16_t, uint16_t>> ranges) {
    dm::CodeSet set;
    for (const auto& [first, last] : ranges) dm::codes_add_range(&set, first, last);
    return set;
}

}  // namespace

TEST(Mask, RequestBytesAreTheKnownOnes) {
    EXPECT_EQ(dm::log_disable_all_request(), bytes_of({0x73, 0, 0, 0, 0, 0, 0, 0}));
    const uint8_t mask[] = {0x05, 0x01};  // items 0, 2 and 8
    EXPECT_EQ(dm::log_set_mask_request(0xB, 9, mask),
              bytes_of({0x73, 0, 0, 0, 3, 0, 0, 0, 0x0B, 0, 0, 0, 9, 0, 0, 0, 0x05, 0x01}));
    EXPECT_EQ(dm::msg_set_all_request(0x1F), bytes_of({0x7D, 0x05, 0, 0, 0x1F, 0, 0, 0}));
    EXPECT_EQ(dm::event_report_request(false), bytes_of({0x60, 0x00}));
    EXPECT_EQ(dm::null_mask(), framed(dm::log_disable_all_request()) + framed(dm::msg_set_all_request(0)) +
                                   framed(dm::event_report_request(false)));
    // A set mask sets exactly the items below its count of its equipment.
    dm::CodeSet set = codes_of({{0xB000, 0xBFFF}, {0x412F, 0x412F}});
    dm::codes_set_equipment(&set, 0xB, 9, mask);
    EXPECT_TRUE(
        dm::codes_equal(set, codes_of({{0xB000, 0xB000}, {0xB002, 0xB002}, {0xB008, 0xB008}, {0x412F, 0x412F}})));
}

TEST(Mask, ShowGivesBackExactlyTheCodesBuildWasAskedFor) {
    TempDir dir;
    const std::string path = dir.file("lte.mask");
    const ToolRun built =
        run_tool({"mask", "build", "--log", "0xB0C0-0xB0C2", "--log", "B821", "--log", "412f", "--log", "0x1FFF",
                  "--msg", "0x1F", "--events", "on", "--disable-first", "-o", path});
    ASSERT_EQ(built.status, 0) << built.err;
    dm::MaskFile mask;
    std::string error;
    ASSERT_TRUE(dm::read_mask_file(path.c_str(), &mask, &error)) << error;
    EXPECT_TRUE(dm::codes_equal(mask.codes,
                                codes_of({{0xB0C0, 0xB0C2}, {0xB821, 0xB821}, {0x412F, 0x412F}, {0x1FFF, 0x1FFF}})));
    // disable all, one set mask per equipment id (1, 4, B), message, events
    ASSERT_EQ(mask.packets, 6u);
    EXPECT_EQ(mask.flagged, 0u);
    EXPECT_EQ(mask.unsent, 0u);
    EXPECT_TRUE(mask.msg_set);
    EXPECT_EQ(mask.msg_level, 0x1Fu);
    EXPECT_EQ(mask.events, 1);
    const ToolRun shown = run_tool({"mask", "show", path});
    EXPECT_EQ(shown.status, 0);
    EXPECT_NE(shown.out.find("log codes enabled: 6\n"), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("  0xB0C0-0xB0C2 (3 codes)\n    with 0xB0C0 LTE RRC OTA Packet\n"), std::string::npos)
        << shown.out;
    EXPECT_NE(shown.out.find("  0xB821 NR5G RRC OTA Packet\n"), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("set mask, equipment 0x1 (CDMA 1X), 4096 items"), std::string::npos) << shown.out;
}

TEST(Mask, ShowFlagsWhatTheModemOrTheDaemonWouldDrop) {
    TempDir dir;
    std::string bad_crc = framed(dm::log_disable_all_request());
    bad_crc[3] = '\x01';
    const std::string file = std::string("\x7E", 1) + framed(dm::event_report_request(true)) + bad_crc +
                             framed(bytes_of({0x4B, 0x12, 0x00, 0x00})) +
                             framed(bytes_of({0x73, 0, 0, 0, 3, 0, 0, 0, 0x0B, 0, 0, 0, 64, 0, 0, 0, 1})) +
                             std::string(1100, '\x11') + "\x7E" + "\x01\x02";
    write_file(dir.file("odd.mask"), file);
    dm::MaskFile mask;
    std::string error;
    ASSERT_TRUE(dm::read_mask_file(dir.file("odd.mask").c_str(), &mask, &error)) << error;
    ASSERT_EQ(mask.entries.size(), 5u);
    EXPECT_EQ(mask.entries[0].offset, 1u);  // the opening flag is not part of the packet
    EXPECT_TRUE(mask.entries[0].problem.empty());
    EXPECT_NE(mask.entries[1].problem.find("bad CRC"), std::string::npos);
    EXPECT_EQ(mask.entries[2].problem, "unknown request");
    EXPECT_NE(mask.entries[3].problem.find("fewer mask bytes"), std::string::npos);
    EXPECT_TRUE(mask.entries[4].dropped);
    EXPECT_EQ(mask.flagged, 4u);
    EXPECT_EQ(mask.unsent, 2u);
    EXPECT_EQ(mask.events, 1);
    const ToolRun shown = run_tool({"mask", "show", dir.file("odd.mask")});
    EXPECT_EQ(shown.status, 1);
    EXPECT_NE(shown.out.find("5 requests, 5 FLAGGED"), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("UNKNOWN request 0x4B (subsystem); FLAGGED: unknown request"), std::string::npos)
        << shown.out;
    EXPECT_NE(shown.out.find("FLAGGED: 2 bytes after the last 0x7E"), std::string::npos) << shown.out;

    const ToolRun missing = run_tool({"mask", "show", dir.file("none.mask")});
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.err.find(dir.file("none.mask") + ": cannot open: No such file"), std::string::npos)
        << missing.err;
}

TEST(Mask, BuildRefusesWhatItCannotWrite) {
    TempDir dir;
    const std::string out = dir.file("m");
    EXPECT_EQ(run_tool({"mask", "build", "--log", "B0C2-B0C0", "-o", out}).status, 2);
    EXPECT_EQ(run_tool({"mask", "build", "--log", "12345", "-o", out}).status, 2);
    EXPECT_EQ(run_tool({"mask", "build", "--msg", "-1", "-o", out}).status, 2);
    EXPECT_EQ(run_tool({"mask", "build", "--events", "maybe", "-o", out}).status, 2);
    EXPECT_EQ(run_tool({"mask", "build", "-o", out}).status, 2);
    EXPECT_EQ(run_tool({"mask", "build", "--log", "B0C0"}).status, 2);
    // Every other item on: the mask bytes are all 0x55, nothing escaped, and
    // one request holds 4096 items in 530 bytes. Items 1 to 6 of each byte
    // make 0x7E, escaped to two bytes: too long for the daemon to send.
    dm::MaskSpec spec;
    for (unsigned item = 0; item < 4096; item += 2) dm::codes_add(&spec.codes, static_cast<uint16_t>(0xB000 + item));
    std::string file, error;
    EXPECT_TRUE(dm::build_mask(spec, &file, &error)) << error;
    spec = dm::MaskSpec();
    for (unsigned item = 0; item < 4096; ++item) {
        if (item % 8 >= 1 && item % 8 <= 6) dm::codes_add(&spec.codes, static_cast<uint16_t>(0xB000 + item));
    }
    EXPECT_FALSE(dm::build_mask(spec, &file, &error));
    EXPECT_NE(error.find("longer than the 1020"), std::string::npos) << error;
}
