// orlith-dm's commands on captures made by the library: what a field
// engineer reads from check and stats, what join puts back together, and
// what Wireshark's tshark makes of the pcap.
#include <gtest/gtest.h>
#include <unistd.h>

#include "dm/capture.h"
#include "dm/mask.h"
#include "dm_test_util.h"
#include "test_support.h"

namespace {

constexpr int64_t start_us = 1709294400000000;  // 2024-03-01 12:00:00 UTC

uint64_t stamp(int64_t offset_ms) { return dm::diag_time_from_unix_us(start_us + offset_ms * 1000); }

// A capture of a modem that took a mask: the answers, then log packets.
std::string masked_capture() {
    const uint8_t lte[] = {0x01};
    std::string capture;
    const std::string request = dm::log_set_mask_request(0xB, 8, lte);
    capture += framed(
        dm::log_config_response(reinterpret_cast<const uint8_t*>(request.data()), request.size(), dm::log_status_ok));
    capture += framed(bytes_of({0x7D, 0x05, 0x01, 0x00, 0, 0, 0, 0}));
    for (int i = 0; i < 10; ++i) capture += framed(log_payload(i % 3 == 0 ? 0xB0C0 : 0xB821, stamp(i * 100)));
    capture += framed(bytes_of({0x98, 0x01, 0, 0, 1, 0, 0, 0}) + log_payload(0x412F, stamp(1500)));
    return capture;
}

// The count at the end of the line of `out` that starts with `label`.
long long count_of(const std::string& out, const std::string& label) {
    const size_t at = out.find("    " + label + " ");
    if (at == std::string::npos) return -1;
    const size_t end = out.find('\n', at);
    return std::stoll(out.substr(out.rfind(' ', end) + 1, end));
}

uint32_t le32(const std::string& s, size_t at) { return dm::get_le32(reinterpret_cast<const uint8_t*>(s.data()) + at); }

}  // namespace

TEST(Tool, CheckCountsAndExitStatuses) {
    TempDir dir;
    const std::string good = masked_capture();
    const size_t first_end = good.find('\x7E') + 1;
    write_file(dir.file("good.dm"), header_word() + good.substr(0, first_end) + header_word() + good.substr(first_end));
    std::string bad = good;
    const size_t damage = bad.find('\x11', first_end);
    bad[damage] = static_cast<char>(bad[damage] ^ 0x01);
    write_file(dir.file("bad.dm"), bad + good.substr(0, 9));

    const ToolRun ok = run_tool({"check", dir.file("good.dm")});
    EXPECT_EQ(ok.status, 0) << ok.out;
    EXPECT_NE(ok.out.find("every frame good"), std::string::npos) << ok.out;
    EXPECT_NE(ok.out.find("frames:         13 (13 good, 0 bad)"), std::string::npos) << ok.out;
    EXPECT_NE(ok.out.find("header words:   2"), std::string::npos) << ok.out;

    const ToolRun json = run_tool({"check", "--json", dir.file("good.dm"), dir.file("bad.dm")});
    EXPECT_EQ(json.status, 1);
    const size_t line_end = json.out.find('\n');
    ASSERT_NE(line_end, std::string::npos);
    EXPECT_EQ(json.out.substr(0, json.out.find(',')), "{\"file\":\"" + dir.file("good.dm") + "\"");
    EXPECT_NE(json.out.find("\"frames\":13,\"good\":13,\"bad\":0"), std::string::npos) << json.out;
    const std::string second = json.out.substr(line_end + 1);
    EXPECT_NE(second.find("\"good\":12,\"bad\":1,\"bad_crc\":1"), std::string::npos) << second;
    EXPECT_NE(second.find("\"truncated_tail\":{\"offset\":" + std::to_string(bad.size()) + ",\"size\":9}"),
              std::string::npos)
        << second;
    EXPECT_NE(second.find("\"reason\":\"bad CRC\""), std::string::npos) << second;
    EXPECT_EQ(std::count(json.out.begin(), json.out.end(), '\n'), 2);

    // No good frame at all is no capture, whatever else is wrong or not.
    write_file(dir.file("text.dm"), "root:x:0:0:root:/root:/bin/bash\n");
    write_file(dir.file("empty.dm"), "");
    for (const char* name : {"text.dm", "empty.dm"}) {
        const ToolRun none = run_tool({"check", "--json", dir.file(name)});
        EXPECT_EQ(none.status, 1) << name;
        EXPECT_NE(none.out.find("\"ok\":false"), std::string::npos) << none.out;
    }
    EXPECT_NE(run_tool({"check", dir.file("empty.dm")}).out.find("NO GOOD FRAME"), std::string::npos);

    const ToolRun missing = run_tool({"check", dir.file("good.dm"), dir.file("gone.dm")});
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.err.find(dir.file("gone.dm") + ": cannot open"), std::string::npos) << missing.err;
    EXPECT_EQ(run_tool({"check", dir.path}).status, 2);
    EXPECT_EQ(run_tool({"check"}).status, 2);
    EXPECT_EQ(run_tool({"check", "--bogus", dir.file("good.dm")}).status, 2);
    EXPECT_EQ(run_tool({"frobnicate"}).status, 2);
    const ToolRun help = run_tool({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Decoding LTE/NR RRC into their own GSMTAP types is a\n           later step"),
              std::string::npos);
}

TEST(Tool, StatsShowsCodesTimesAndWhatTheModemAnswered) {
    TempDir dir;
    write_file(dir.file("ok.dm"), masked_capture());
    const ToolRun ok = run_tool({"stats", dir.file("ok.dm")});
    EXPECT_EQ(ok.status, 0);
    const std::string& o = ok.out;
    EXPECT_EQ(count_of(o, "0x10 log"), 10) << o;
    EXPECT_EQ(count_of(o, "0x98 dual-SIM wrapper"), 1) << o;
    EXPECT_EQ(count_of(o, "0x73 log config"), 1) << o;
    EXPECT_EQ(count_of(o, "0xB0C0 LTE RRC OTA Packet"), 4) << o;
    EXPECT_EQ(count_of(o, "0xB821 NR5G RRC OTA Packet"), 6) << o;
    EXPECT_EQ(count_of(o, "0x412F WCDMA RRC Signaling Message"), 1) << o;
    EXPECT_EQ(count_of(o, "0xB LTE/NR"), 10) << o;
    EXPECT_EQ(count_of(o, "0x4 WCDMA"), 1) << o;
    EXPECT_NE(o.find("dual-SIM subscriptions: id 1: 1;"), std::string::npos) << o;
    EXPECT_NE(o.find("APPROXIMATE"), std::string::npos) << o;
    EXPECT_NE(o.find("first 2024-03-01 12:00:00.000, last 2024-03-01 12:00:01.500 UTC"), std::string::npos) << o;
    EXPECT_NE(o.find("span 1.500 s"), std::string::npos) << o;
    EXPECT_NE(o.find("mask responses: 2\n    at offset 0: log config set mask, equipment 0xB (LTE/NR), 8 items: "
                     "status 0 (ok)\n"),
              std::string::npos)
        << o;
    EXPECT_NE(o.find("ext message config set all, level mask 0x00000000: done"), std::string::npos) << o;
    EXPECT_EQ(o.find("REJECTED"), std::string::npos) << o;

    // A mask the modem would not take: a set mask it calls invalid, and a
    // request it does not know.
    const std::string request = dm::log_set_mask_request(0xB, 8, reinterpret_cast<const uint8_t*>("\x01"));
    const std::string unknown = bytes_of({0x4B, 0x12, 0x00, 0x00});
    const std::string invalid = framed(dm::log_config_response(reinterpret_cast<const uint8_t*>(request.data()),
                                                               request.size(), dm::log_status_invalid));
    write_file(dir.file("rejected.dm"),
               invalid + framed(dm::error_response(dm::cmd_bad_command,
                                                   reinterpret_cast<const uint8_t*>(unknown.data()), unknown.size())));
    const ToolRun rejected = run_tool({"stats", dir.file("rejected.dm")});
    EXPECT_NE(rejected.out.find("status 1 (invalid)"), std::string::npos) << rejected.out;
    EXPECT_NE(rejected.out.find("error responses: 1\n    at offset " + std::to_string(invalid.size()) +
                                ": error: bad command, refused request 0x4B (subsystem): 4B 12 00 00\n"),
              std::string::npos)
        << rejected.out;
    EXPECT_NE(rejected.out.find("THE MODEM REJECTED 2 REQUESTS of the mask"), std::string::npos) << rejected.out;
}

// The external modem's files as the daemon leaves them: each buffer starts
// with the driver's word, which the file does not get, and a full file also
// gets the first 8192 bytes of the buffer that starts the next file, word
// included.
TEST(Tool, JoinPutsTheRotatedFilesBackIntoOneStreamEveryFrameOnce) {
    TempDir dir;
    std::vector<std::string> buffers;
    std::string stream;
    for (int b = 0; b < 6; ++b) {
        std::string frames;
        // Buffers of 3 and 12 KiB: a copy of a whole buffer and a cut one.
        const size_t size = b % 2 == 0 ? 3000 : 12000;
        for (int i = 0; frames.size() < size; ++i)
            frames += framed(log_payload(0xB0C0, stamp(b * 1000 + i), 30 + i % 50));
        buffers.push_back(header_word() + frames);
        stream += frames;
    }
    auto copy = [&](int b) { return buffers[b].substr(0, std::min<size_t>(buffers[b].size(), 8192)); };
    const std::string stem = dir.file("qxdm_ext_20240301_120000_001");
    write_file(stem + ".3.120101.dm", buffers[0].substr(4) + copy(1));
    write_file(stem + ".2.120202.dm", buffers[1].substr(4) + buffers[2].substr(4) + copy(3));
    write_file(stem + ".1.120303.dm", buffers[3].substr(4) + copy(4));
    write_file(stem + ".dm", buffers[4].substr(4) + buffers[5].substr(4));
    // A file that is not of this stem, and a name that only looks like one.
    write_file(dir.file("qxdm_ext_20240301_120000_002.dm"), "other run");
    write_file(stem + ".x.120303.dm", "not rotated");

    const ToolRun full = run_tool({"check", stem + ".2.120202.dm"});
    EXPECT_EQ(full.status, 0) << full.out;
    EXPECT_NE(full.out.find("header words:   1"), std::string::npos) << full.out;
    EXPECT_NE(full.out.find("truncated tail: "), std::string::npos) << full.out;

    const std::string out = dir.file("joined.dm");
    const ToolRun joined = run_tool({"join", stem + ".1.120303.dm", "-o", out});
    ASSERT_EQ(joined.status, 0) << joined.err;
    EXPECT_EQ(read_file(out), stream) << "joined from a rotated file's name";
    EXPECT_NE(joined.out.find("4 files of " + stem), std::string::npos) << joined.out;
    EXPECT_NE(joined.out.find("(and 8192 bytes left out: the rotation copy"), std::string::npos) << joined.out;
    EXPECT_NE(joined.out.find("(and " + std::to_string(buffers[4].size()) + " bytes left out"), std::string::npos)
        << joined.out;
    EXPECT_EQ(run_tool({"check", out}).status, 0);
    // Another task's rotation copies nothing: files that end and begin alike
    // are joined whole.
    const std::string local = dir.file("qxdm_7k_20240301_120000_001");
    write_file(local + ".1.120303.dm", buffers[3].substr(4) + copy(4));
    write_file(local + ".dm", buffers[4].substr(4));
    ASSERT_EQ(run_tool({"join", local, "-o", out}).status, 0);
    EXPECT_EQ(read_file(out), buffers[3].substr(4) + copy(4) + buffers[4].substr(4));

    // Rotation deleted a file in the middle: the gap is named, the rest joined.
    ASSERT_EQ(unlink((stem + ".2.120202.dm").c_str()), 0);
    const ToolRun gap = run_tool({"join", stem, "-o", out});
    ASSERT_EQ(gap.status, 0) << gap.err;
    EXPECT_NE(gap.out.find("gap: qxdm_ext_20240301_120000_001.2.*.dm is missing"), std::string::npos) << gap.out;
    EXPECT_EQ(read_file(out),
              buffers[0].substr(4) + copy(1) + buffers[3].substr(4) + buffers[4].substr(4) + buffers[5].substr(4));

    EXPECT_EQ(run_tool({"join", stem + ".dm", "-o", stem + ".dm"}).status, 2);
    EXPECT_EQ(run_tool({"join", dir.file("nothing_here"), "-o", out}).status, 2);
}

TEST(Tool, RotationCopyIsFoundOnlyWhereTheBytesSayItIs) {
    // Files that simply follow each other share no bytes...
    const std::string a = framed(log_payload(0xB0C0, 1)) + framed(log_payload(0xB0C0, 2));
    const std::string b = framed(log_payload(0xB0C0, 3));
    EXPECT_EQ(dm::rotation_copy_size(a, b), 0u);
    // ...nor does a file that ends in a frame cut off, continued next file.
    EXPECT_EQ(dm::rotation_copy_size(a + b.substr(0, 5), b.substr(5)), 0u);
    // A copy without a header word (a kernel with no header bytes).
    EXPECT_EQ(dm::rotation_copy_size(a + b, b + a), b.size());
}

TEST(Tool, PcapHoldsEveryGoodFrameInGsmtapAndTsharkReadsIt) {
    TempDir dir;
    const std::string capture = masked_capture();
    std::string broken = framed(log_payload(0xB0C0, stamp(5)));
    broken[broken.find('\x11')] ^= 0x04;
    write_file(dir.file("a.dm"), capture);
    write_file(dir.file("b.dm"), broken + framed(bytes_of({0x60, 0x01})));
    const std::string out = dir.file("out.pcap");
    const ToolRun run = run_tool({"pcap", dir.file("a.dm"), dir.file("b.dm"), "-o", out});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("14 packets"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("1 bad frames left out"), std::string::npos) << run.out;

    const std::string pcap = read_file(out);
    ASSERT_GE(pcap.size(), 24u);
    EXPECT_EQ(le32(pcap, 0), 0xA1B2C3D4u);
    EXPECT_EQ(le32(pcap, 20), 101u);  // raw IPv4
    size_t at = 24;
    std::vector<std::string> payloads;
    std::vector<uint32_t> seconds, micros;
    while (at + 16 <= pcap.size()) {
        const uint32_t length = le32(pcap, at + 8);
        ASSERT_EQ(le32(pcap, at + 12), length);
        ASSERT_LE(at + 16 + length, pcap.size());
        const std::string ip = pcap.substr(at + 16, length);
        seconds.push_back(le32(pcap, at));
        micros.push_back(le32(pcap, at + 4));
        EXPECT_EQ(ip[0], '\x45');
        EXPECT_EQ(ip[9], '\x11');                                   // UDP
        EXPECT_EQ(ip.substr(22, 2), bytes_of({0x12, 0x79}));        // to 4729
        EXPECT_EQ(ip.substr(28, 3), bytes_of({0x02, 0x04, 0x11}));  // GSMTAP v2, 16 bytes, raw diag
        payloads.push_back(ip.substr(44));
        at += 16 + length;
    }
    EXPECT_EQ(at, pcap.size());
    ASSERT_EQ(payloads.size(), 14u);
    EXPECT_EQ(payloads[2], log_payload(0xB0C0, stamp(0)));
    EXPECT_EQ(payloads.back(), bytes_of({0x60, 0x01}));
    // The answers before any log packet carry no time; then each log
    // packet's own, and after them the last one seen.
    EXPECT_EQ(seconds[0], 0u);
    EXPECT_EQ(seconds[2], static_cast<uint32_t>(start_us / 1000000));
    EXPECT_EQ(micros[3], 100000u);
    EXPECT_EQ(micros[12], 500000u);  // the dual-SIM wrapped packet's own
    EXPECT_EQ(micros[13], 500000u);

    if (access("/usr/bin/tshark", X_OK) != 0) {
        GTEST_SKIP() << "tshark is not installed (Debian package tshark): the pcap was not shown to Wireshark";
    }
    const std::string command = "/usr/bin/tshark -r '" + out + "' -T fields -e frame.protocols 2>/dev/null";
    // NOLINTNEXTLINE(cert-env33-c): a fixed program on the test's own scratch file
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string listing;
    char line[512];
    while (fgets(line, sizeof line, pipe) != nullptr) listing += line;
    EXPECT_EQ(pclose(pipe), 0) << listing;
    EXPECT_EQ(std::count(listing.begin(), listing.end(), '\n'), 14) << listing;
    size_t gsmtap = 0;
    for (size_t from = 0; (from = listing.find(":udp:gsmtap", from)) != std::string::npos; ++from) ++gsmtap;
    EXPECT_EQ(gsmtap, 14u) << listing;
}
