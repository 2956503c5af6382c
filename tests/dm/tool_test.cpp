// orlith-dm's commands on captures made by the library: what a field
// engineer reads from check and stats, what join puts back together, and
// what Wireshark's tshark makes of the pcapng of the signalling.
#include <gtest/gtest.h>
#include <unistd.h>

#include "dm/capture.h"
#include "dm/mask.h"
#include "dm/pcapng.h"
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
    EXPECT_NE(help.out.find("orlith-dm pcap FILE... [--raw] [--no-protected-nas] -o OUT.pcapng"), std::string::npos);
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
    // Its LTE RRC packets are of version 0x7E, which no modem has.
    EXPECT_NE(o.find(" (layout not known; counted by code and version):\n"), std::string::npos) << o;
    EXPECT_NE(o.find("\n    0xB0C0 version 126: 4 packets"), std::string::npos) << o;
    EXPECT_EQ(o.find("signalling messages by channel"), std::string::npos) << o;
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

// The messages a field engineer opens in Wireshark: LTE NAS and LTE RRC in
// GSMTAP, 5GS NAS in an upper-PDU packet, each frame's raw diag beside them
// with --raw, whatever OUT is named; what has no known layout is counted.
TEST(Tool, PcapWritesSignallingAndRawDiagThatTsharkDecodes) {
    TempDir dir;
    std::string broken = framed(log_payload(0xB0C0, stamp(5)));
    broken[broken.find('\x11')] ^= 0x04;
    write_file(dir.file("a.dm"), masked_capture() +
                                     framed(lte_nas_packet(0xB0EC, stamp(2000), nas_identity_request())) +
                                     framed(lte_rrc_packet(stamp(2001))) +
                                     framed(nas_5gs_packet(0xB80A, stamp(2002), bytes_of({0x7E, 0x00, 0x5B, 0x01}))));
    write_file(dir.file("b.dm"), broken + framed(bytes_of({0x60, 0x01})));
    const std::string out = dir.file("out.pcap");
    const ToolRun run = run_tool({"pcap", dir.file("a.dm"), "--raw", dir.file("b.dm"), "-o", out});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find(out + ": 20 packets (3 signalling messages, 17 raw diag); 1 bad frames left out\n"),
              std::string::npos)
        << run.out;
    // The B0C0 packets of masked_capture are of version 0x7E.
    EXPECT_EQ(run.err.find(out + ": "), 0u) << run.err;
    EXPECT_NE(run.err.find(" log packets skipped (layout not known; counted by code and version):\n"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("\n  0xB0C0 version 126: 4 packets"), std::string::npos) << run.err;

    const Pcapng f = read_pcapng(read_file(out));
    EXPECT_TRUE(f.whole);
    EXPECT_EQ(f.first_word, 0x0A0D0D0Au);
    ASSERT_EQ(f.link_types, (std::vector<uint16_t>{228, 252}));  // IPv4, upper PDU
    std::vector<std::string> raw;
    std::vector<std::pair<int, int>> types;
    std::string nas;
    size_t upper = 0;
    for (const PcapngPacket& packet : f.packets) {
        uint8_t type = 0, subtype = 0;
        std::string payload;
        if (packet.interface == 1) {
            ++upper;
            EXPECT_NE(packet.data.find("nas-5gs"), std::string::npos);
            EXPECT_EQ(packet.data.substr(packet.data.size() - 4), bytes_of({0x7E, 0x00, 0x5B, 0x01}));
        } else if (!gsmtap_of(packet.data, &type, &subtype, &payload)) {
            ADD_FAILURE() << "not GSMTAP on interface 0";
        } else if (type == dm::gsmtap_type_qc_diag) {
            raw.push_back(payload);
        } else {
            types.emplace_back(type, subtype);
            if (type == dm::gsmtap_type_lte_nas) nas = payload;
        }
    }
    EXPECT_EQ(upper, 1u);
    EXPECT_EQ(types, (std::vector<std::pair<int, int>>{{0x12, 0}, {0x0D, 4}}));  // plain NAS; BCCH-BCH
    EXPECT_EQ(nas, nas_identity_request());
    ASSERT_EQ(raw.size(), 17u);
    EXPECT_EQ(raw[2], log_payload(0xB0C0, stamp(0)));
    EXPECT_EQ(raw.back(), bytes_of({0x60, 0x01}));

    std::string listing;
    if (!tshark_fields(out, "-e frame.protocols -e _ws.col.Info", &listing)) {
        GTEST_SKIP() << "tshark is not installed (Debian package tshark) or failed: the pcapng was not shown to "
                        "Wireshark";
    }
    EXPECT_EQ(std::count(listing.begin(), listing.end(), '\n'), 20) << listing;
    EXPECT_EQ(occurrences(listing, ":udp:gsmtap"), 19u) << listing;
    EXPECT_EQ(occurrences(listing, ":gsmtap:nas-eps\tIdentity request"), 1u) << listing;
    EXPECT_EQ(occurrences(listing, ":gsmtap:lte_rrc\tMasterInformationBlock"), 1u) << listing;
    EXPECT_EQ(occurrences(listing, "nas-5gs\tIdentity request"), 1u) << listing;
    EXPECT_EQ(listing.find("malformed"), std::string::npos) << listing;
}

// Each modem's messages in their own pcapng, one decoder each; protected NAS
// left out on request; flags only where they belong.
TEST(Tool, PcapPerModemOutputsAndProtectedNas) {
    TempDir dir;
    const std::string in = dir.file("reads.dm");
    const std::string plain = framed(lte_nas_packet(0xB0EC, stamp(1), nas_identity_request()));
    const std::string ciphered = framed(lte_nas_packet(0xB0EA, stamp(2), bytes_of({0x27, 1, 2, 3, 4, 5, 0x07, 0x55})));
    write_file(in, data_read({read_entry(plain + ciphered), read_entry(ciphered, token_mdm1)}, false));
    const std::string out = dir.file("out.pcapng"), mdm1 = dir.file("out.mdm1.pcapng");

    const ToolRun all = run_tool({"pcap", in, "-o", out});
    ASSERT_EQ(all.status, 0) << all.err;
    EXPECT_NE(all.out.find(out + ": 2 packets (2 signalling messages, 0 raw diag)\n"), std::string::npos) << all.out;
    EXPECT_NE(all.out.find(mdm1 + ": 1 packets (1 signalling messages, 0 raw diag) of external modem 1\n"),
              std::string::npos)
        << all.out;
    EXPECT_EQ(all.err, "");
    for (const std::string& file : {out, mdm1}) EXPECT_EQ(read_pcapng(read_file(file)).first_word, 0x0A0D0D0Au);
    const Pcapng ext = read_pcapng(read_file(mdm1));
    ASSERT_EQ(ext.packets.size(), 1u);
    uint8_t type = 0, subtype = 0;
    std::string payload;
    ASSERT_TRUE(gsmtap_of(ext.packets[0].data, &type, &subtype, &payload));
    EXPECT_EQ(subtype, 1);  // with its security header

    const ToolRun plain_only = run_tool({"pcap", "--no-protected-nas", in, "-o", out});
    ASSERT_EQ(plain_only.status, 0) << plain_only.err;
    EXPECT_NE(plain_only.out.find(out + ": 1 packets (1 signalling messages, 0 raw diag); 1 security-protected NAS "
                                        "messages left out\n"),
              std::string::npos)
        << plain_only.out;
    EXPECT_NE(plain_only.out.find(mdm1 + ": 0 packets"), std::string::npos) << plain_only.out;

    EXPECT_EQ(run_tool({"qmdl", "--raw", in, "-o", dir.file("x.qmdl")}).status, 2);
    EXPECT_EQ(run_tool({"pcap", "--json", in, "-o", out}).status, 2);
    EXPECT_EQ(run_tool({"pcap", in}).status, 2);
}

// .dlf files: every command reads their records as the log packets they
// are; a length that cannot be is where the file stops making sense.
TEST(Tool, DlfRecordsReadByEveryCommand) {
    TempDir dir;
    const std::string nas = lte_nas_packet(0xB0ED, stamp(0), nas_identity_request());
    const std::string rrc = lte_rrc_packet(stamp(1), 1, bytes_of({1, 2, 3}), 33);
    const std::string records = dlf_record(nas) + dlf_record(rrc) + dlf_record(nas);
    const std::string bad = bytes_of({0x04, 0x00, 0xEC, 0xB0}) + dlf_record(nas);
    const std::string in = dir.file("modem.DLF");
    write_file(in, records + bad);

    const ToolRun check = run_tool({"check", in});
    EXPECT_EQ(check.status, 0) << check.out;
    EXPECT_NE(check.out.find("frames:         3 (3 good, 0 bad)"), std::string::npos) << check.out;
    EXPECT_NE(check.out.find("truncated tail: " + std::to_string(bad.size()) + " bytes at offset " +
                             std::to_string(records.size())),
              std::string::npos)
        << check.out;
    EXPECT_NE(check.out.find("largest frame:  " + std::to_string(rrc.size() - 4) + " bytes at offset " +
                             std::to_string(nas.size() - 4)),
              std::string::npos)
        << check.out;

    const ToolRun stats = run_tool({"stats", in});
    EXPECT_EQ(count_of(stats.out, "0xB0ED LTE NAS EMM Plain OTA Outgoing Message"), 2) << stats.out;
    EXPECT_EQ(count_of(stats.out, "0xB0C0 LTE RRC OTA Packet"), 1) << stats.out;
    const size_t heading = stats.out.find("  signalling messages by channel (as pcap writes them):\n    ");
    ASSERT_NE(heading, std::string::npos) << stats.out;
    const std::string channel_line = stats.out.substr(heading, stats.out.find('\n', heading + 60) - heading);
    EXPECT_NE(channel_line.find("NAS"), std::string::npos) << channel_line;
    EXPECT_EQ(channel_line.substr(channel_line.size() - 2), " 2") << channel_line;
    EXPECT_NE(stats.out.find("  log packets skipped: 1 (layout not known; counted by code and version):\n"
                             "    0xB0C0 version 33: 1 packet"),
              std::string::npos)
        << stats.out;

    const std::string out = dir.file("modem.pcapng");
    const ToolRun pcap = run_tool({"pcap", in, "-o", out});
    ASSERT_EQ(pcap.status, 0) << pcap.err;
    EXPECT_NE(pcap.out.find(out + ": 2 packets (2 signalling messages, 0 raw diag)\n"), std::string::npos) << pcap.out;
    EXPECT_NE(pcap.err.find("0xB0C0 version 33: 1 packet"), std::string::npos) << pcap.err;
    const Pcapng f = read_pcapng(read_file(out));
    ASSERT_EQ(f.packets.size(), 2u);
    uint8_t type = 0, subtype = 0;
    std::string payload;
    ASSERT_TRUE(gsmtap_of(f.packets[1].data, &type, &subtype, &payload));
    EXPECT_EQ(type, dm::gsmtap_type_lte_nas);
    EXPECT_EQ(payload, nas_identity_request());
    // A bad length first: the whole file is a tail, nothing is read as a record.
    write_file(in, bad + records);
    const ToolRun broken = run_tool({"check", in});
    EXPECT_NE(broken.out.find("frames:         0 (0 good"), std::string::npos) << broken.out;
    EXPECT_NE(broken.out.find("truncated tail: " + std::to_string(bad.size() + records.size()) + " bytes at offset 0"),
              std::string::npos)
        << broken.out;
}
