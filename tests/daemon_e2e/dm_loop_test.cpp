// The whole loop on the simulated phone: orlith-dm builds a mask, the daemon
// injects it, the modems stream only those codes and log their answers, and
// orlith-dm reads the captured files back: every frame good, exactly the
// codes asked for, the answers, and a rejected mask said plainly.
#include "../dm/dm_test_util.h"
#include "dm/mask.h"
#include "fault_fixture.h"
#include "signalling_set.h"

using namespace simphone;

namespace {

struct Scan {
    dm::CodeSet codes;
    std::vector<std::string> payloads;  // every good frame's, in order
};

Scan scan(const std::string& bytes) {
    Scan s;
    dm::FrameParser parser;
    dm::parser_init(&parser);
    const dm::ParseHandler keep = [](void* context, const dm::ParseEvent& event) {
        if (event.kind != dm::ParseEvent::frame || event.status != dm::FrameStatus::good) return;
        Scan* scan = static_cast<Scan*>(context);
        scan->payloads.emplace_back(reinterpret_cast<const char*>(event.payload), event.payload_size);
        dm::LogPacket packet;
        if (dm::parse_log_packet(event.payload, event.payload_size, &packet)) dm::codes_add(&scan->codes, packet.code);
    };
    dm::parser_feed(&parser, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), keep, &s);
    dm::parser_finish(&parser, keep, &s);
    return s;
}

}  // namespace

using DmLoop = fault::Fault;

TEST_F(DmLoop, MaskBuiltByTheToolIsInjectedStreamedAndReadBack) {
    fault::Row row("orlith-dm mask build -> daemon -> modem -> orlith-dm stats and check",
                   "the captures hold exactly the codes asked for and the modem's answers (status 0), every frame "
                   "good; a rejected mask is said plainly; after the null mask no log packet follows");
    PhoneOptions options;
    options.trace = false;  // header words on this kernel: the captures hold some
    start_phone(options);
    if (HasFatalFailure() || IsSkipped()) return;

    const ToolRun built =
        run_tool({"mask", "build", "--log", "B0C0-B0C2", "--log", "0xB821", "--log", "412F", "--msg", "0", "--events",
                  "off", "--disable-first", "-o", phone->host_path(in_root("lte.mask"))});
    ASSERT_EQ(built.status, 0) << built.err;
    ASSERT_EQ(run_tool({"mask", "null", "-o", phone->host_path(in_root("null.mask"))}).status, 0);
    dm::CodeSet asked;
    dm::codes_add_range(&asked, 0xB0C0, 0xB0C2);
    dm::codes_add(&asked, 0xB821);
    dm::codes_add(&asked, 0x412F);
    // One the modem calls invalid (equipment 16) and one it does not know.
    const uint8_t bits[] = {0xFF};
    ASSERT_TRUE(phone->write_file(in_root("bad.mask"), framed(dm::log_set_mask_request(16, 8, bits)) +
                                                           framed(bytes_of({0x4B, 0x12, 0x00, 0x00}))));
    ASSERT_TRUE(phone->write_config(phone->storage_line() + "qxdm7k:Mask=lte.mask\nqxdm7k:NullMask=null.mask\n"
                                                            "qxdm9k:Mask=bad.mask\n"
                                                            "qxdmExt:Mask=lte.mask\nqxdmExt:NullMask=null.mask\n"));
    control("chunk all 4000");
    start_daemon();
    // The modems stream once every mask is in, so that no packet of what
    // they logged before (their own codes) is in the captures.
    ASSERT_TRUE(wait_until(
        [&] {
            return phone->events("request", "diag").size() == 10 && phone->events("request", "diag_mdm").size() == 2;
        },
        5000));
    control("rate all 300000");
    const std::vector<std::pair<Device, std::string>> tasks = {
        {Device::diag, "qxdm_7k_"}, {Device::diag_mdm, "qxdm_9k_"}, {Device::extdiag, "qxdm_ext_"}};
    ASSERT_TRUE(wait_until(
        [&] {
            const Journal journal = phone->journal();
            for (const auto& task : tasks) {
                if (stream_chunks(journal, task.first).size() < 40) return false;
            }
            return true;
        },
        10000));
    ASSERT_GE(stop_daemon(), 0);

    std::map<std::string, std::string> file_of;
    for (const auto& task : tasks) {
        const std::vector<std::string> files = fault::with_prefix(phone->dm_files(), task.second);
        ASSERT_EQ(files.size(), 1u) << task.second;
        file_of[task.second] = phone->host_path(files[0]);
    }
    const ToolRun check = run_tool({"check", file_of["qxdm_7k_"], file_of["qxdm_9k_"], file_of["qxdm_ext_"]});
    EXPECT_EQ(check.status, 0) << check.out;
    EXPECT_EQ(check.out.find("bad frame"), std::string::npos) << check.out;
    EXPECT_NE(check.out.find("header words:"), std::string::npos) << check.out;

    for (const char* prefix : {"qxdm_7k_", "qxdm_ext_"}) {
        const ToolRun stats = run_tool({"stats", file_of[prefix]});
        EXPECT_EQ(stats.status, 0);
        EXPECT_EQ(stats.out.find("REJECTED"), std::string::npos) << stats.out;
        for (const char* answer :
             {"log config disable all: status 0 (ok)\n",
              "log config set mask, equipment 0x4 (WCDMA), 304 items: status 0 (ok)\n",
              "log config set mask, equipment 0xB (LTE/NR), 2082 items: status 0 (ok)\n",
              "ext message config set all, level mask 0x00000000: done\n", "event report control: off\n"}) {
            EXPECT_NE(stats.out.find(answer), std::string::npos) << prefix << " lacks " << answer << stats.out;
        }
        for (const char* code : {"0xB0C0 LTE RRC OTA Packet", "0xB0C1 LTE RRC MIB Message", "0xB0C2 LTE RRC Serving",
                                 "0xB821 NR5G RRC OTA Packet", "0x412F WCDMA RRC Signaling Message"}) {
            EXPECT_NE(stats.out.find(code), std::string::npos) << prefix << " lacks " << code << stats.out;
        }
        std::string bytes;
        ASSERT_TRUE(get_file(file_of[prefix], &bytes));
        const Scan s = scan(bytes);
        EXPECT_TRUE(dm::codes_equal(s.codes, asked)) << prefix << ": codes other than the mask's";
        row.observe(std::string(prefix) + ": " + std::to_string(s.payloads.size()) + " frames, " +
                    std::to_string(dm::codes_count(s.codes)) + " codes");
    }

    // The external modem is drained after its null mask: the answers are
    // there, and no log packet after "disable all".
    std::string ext;
    ASSERT_TRUE(get_file(file_of["qxdm_ext_"], &ext));
    const Scan tail = scan(ext);
    const std::string null_answer = bytes_of({0x73, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    size_t last_disable = tail.payloads.size();
    for (size_t i = 0; i < tail.payloads.size(); ++i) {
        if (tail.payloads[i] == null_answer) last_disable = i;
    }
    ASSERT_LT(last_disable, tail.payloads.size());
    size_t logs_after = 0;
    for (size_t i = last_disable; i < tail.payloads.size(); ++i) logs_after += tail.payloads[i][0] == '\x10';
    EXPECT_EQ(logs_after, 0u);
    EXPECT_EQ(tail.payloads.back(), bytes_of({0x60, 0x00}));

    const ToolRun rejected = run_tool({"stats", file_of["qxdm_9k_"]});
    EXPECT_NE(rejected.out.find("set mask, equipment 0x10, 8 items: status 1 (invalid)"), std::string::npos)
        << rejected.out;
    EXPECT_NE(rejected.out.find("error: bad command, refused request 0x4B (subsystem): 4B 12 00 00"), std::string::npos)
        << rejected.out;
    EXPECT_NE(rejected.out.find("THE MODEM REJECTED 2 REQUESTS of the mask"), std::string::npos) << rejected.out;
    row.observe(std::string("qxdm_9k_: ") +
                (rejected.out.find("REJECTED 2") != std::string::npos ? "rejection said" : "NOT said"));
    // Every byte captured is what the modems handed out.
    EXPECT_TRUE(phone->check_capture(Device::diag, {fault::with_prefix(phone->dm_files(), "qxdm_7k_")[0]}).ok);
}

namespace {

// "name=value" out of a stream's figures.
unsigned long long figure(const std::string& stats, const std::string& name) {
    const size_t at = stats.find(" " + name + "=");
    return at == std::string::npos ? 0 : strtoull(stats.c_str() + at + name.size() + 2, nullptr, 10);
}

// Each line of a listing, split at its tabs.
std::vector<std::vector<std::string>> rows_of(const std::string& listing) {
    std::vector<std::vector<std::string>> rows;
    for (size_t at = 0; at < listing.size();) {
        const size_t end = std::min(listing.find('\n', at), listing.size());
        std::vector<std::string> fields;
        for (size_t start = at;;) {
            const size_t tab = std::min(listing.find('\t', start), end);
            fields.push_back(listing.substr(start, tab - start));
            if (tab == end) break;
            start = tab + 1;
        }
        rows.push_back(fields);
        at = end + 1;
    }
    return rows;
}

}  // namespace

// On every driver: each stores its reads in its own layout, which pcap reads.
using DmSignalling = drivers::On<fault::Fault>;
ORLITH_ON_EVERY_DRIVER(DmSignalling);

TEST_P(DmSignalling, WhatTheModemLogsOpensInWiresharkFromTheCapture) {
    fault::Row row("modem signalling -> daemon -> orlith-dm pcap -> tshark" + driver_note(),
                   "every message in the dissector it belongs to, named, none malformed, none skipped");
    // No timed stream: its packets carry the mask's codes, signalling codes
    // among them, with bytes of no layout, which pcap would rightly skip.
    start_diag(0);
    if (HasFatalFailure() || IsSkipped()) return;
    start_daemon();
    ASSERT_TRUE(wait_until([&] { return mode_switches("diag") == std::vector<long long>{2}; }, 5000));
    control("signalling diag");
    ASSERT_TRUE(wait_until([&] { return figure(phone->control("stats diag"), "queued") == 0; }, 5000));
    ASSERT_GE(stop_daemon(), 0);

    const std::vector<std::string> files = fault::with_prefix(phone->dm_files(), "qxdm_7k_");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(phone->check_capture(Device::diag, files).ok) << "the capture is what the modem handed out";
    const std::string out = phone->host_path(in_root("signalling.pcapng"));
    const ToolRun pcap = run_tool({"pcap", phone->host_path(files[0]), "-o", out});
    ASSERT_EQ(pcap.status, 0) << pcap.err;
    EXPECT_EQ(pcap.err.find("skipped"), std::string::npos) << pcap.err;

    std::vector<const simphone::SignallingSample*> expected;
    const std::vector<simphone::SignallingSample> samples = simphone::signalling_samples(0);
    for (const simphone::SignallingSample& sample : samples) {
        if (sample.stack_end != nullptr) expected.push_back(&sample);
    }
    EXPECT_NE(pcap.out.find("(" + std::to_string(expected.size()) + " signalling messages"), std::string::npos)
        << pcap.out;
    if (access("/usr/bin/tshark", X_OK) != 0)
        GTEST_SKIP() << "tshark is not installed (Debian package tshark): the capture was not shown to Wireshark";
    std::string listing;
    ASSERT_TRUE(tshark_fields(out, "-e frame.protocols -e _ws.malformed -e _ws.col.Info", &listing));
    const std::vector<std::vector<std::string>> rows = rows_of(listing);
    ASSERT_EQ(rows.size(), expected.size()) << "packets read by tshark";
    size_t decoded = 0;
    for (size_t i = 0; i < rows.size(); ++i) {
        const std::vector<std::string>& r = rows[i];
        ASSERT_GE(r.size(), 3u) << "tshark: " << r[0];
        const std::string& stack = r[0];
        const std::string protocol = expected[i]->stack_end;
        const bool ends_in = stack.size() >= protocol.size() &&
                             stack.compare(stack.size() - protocol.size(), protocol.size(), protocol) == 0;
        EXPECT_TRUE(ends_in) << "packet " << i + 1 << ": " << stack << ", wanted " << protocol;
        EXPECT_TRUE(r[1].empty()) << "packet " << i + 1 << " malformed: " << r[2];
        EXPECT_NE(r[2].find(expected[i]->info), std::string::npos) << "packet " << i + 1 << ": " << r[2];
        decoded += ends_in && r[1].empty();
    }
    row.observe(std::to_string(rows.size()) + " packets, " + std::to_string(decoded) + " decoded cleanly");
}
