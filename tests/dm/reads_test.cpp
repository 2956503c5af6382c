// Captures made of the diag driver's reads: every layout a phone's kernel
// and the daemon's batching leave in a file gives back each frame once, from
// its own modem, with the words and the tables between frames told for
// what they are; files without reads read as they always did, and .dlf
// files of bare log records read as the log packets they are.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "dm/capture.h"
#include "dm/reads.h"
#include "dm/records.h"
#include "dm_test_util.h"
#include "test_support.h"

namespace {

std::string payload(int i) { return log_payload(0xB0C0, static_cast<uint64_t>(i) << 16, 20 + i % 7); }
std::string frames(std::initializer_list<int> ids) {
    std::string out;
    for (int i : ids) out += framed(payload(i));
    return out;
}
std::string entry(std::initializer_list<int> ids, int32_t token = 0) { return read_entry(frames(ids), token); }

struct GoodFrame {
    int modem;
    std::string payload;
    bool operator==(const GoodFrame& o) const { return modem == o.modem && payload == o.payload; }
};
void PrintTo(const GoodFrame& f, std::ostream* os) {
    *os << "{modem " << f.modem << ", " << f.payload.size() << " bytes}";
}

struct Scan {
    bool as_reads = false;
    std::vector<GoodFrame> good;
    std::vector<dm::Span> good_spans;
    dm::CheckResult check;
    std::vector<dm::ReadEvent> reads;
};

Scan scan(const std::string& bytes) {
    Scan s;
    dm::CaptureHandlers handlers;
    handlers.frames = [](void* context, const dm::ParseEvent& event) {
        Scan* s = static_cast<Scan*>(context);
        dm::check_add(&s->check, event);
        if (event.kind == dm::ParseEvent::frame && event.status == dm::FrameStatus::good) {
            s->good.push_back(
                {event.modem, std::string(reinterpret_cast<const char*>(event.payload), event.payload_size)});
            s->good_spans.push_back({event.offset, event.size});
        }
    };
    handlers.reads = [](void* context, const dm::ReadEvent& event) {
        Scan* s = static_cast<Scan*>(context);
        dm::check_add_read(&s->check, event);
        s->reads.push_back(event);
    };
    handlers.context = &s;
    s.as_reads = dm::scan_capture_bytes(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), handlers);
    return s;
}

// Reads and the bytes in no read tile the file, in order.
void expect_tiled(const Scan& s, size_t size, const std::string& name) {
    uint64_t at = 0;
    for (const dm::ReadEvent& read : s.reads) {
        EXPECT_EQ(read.offset, at) << name;
        EXPECT_LE(read.word_bytes, read.size) << name;
        at = read.offset + read.size;
    }
    EXPECT_EQ(at, size) << name;
}

std::vector<GoodFrame> local(std::initializer_list<int> ids) {
    std::vector<GoodFrame> out;
    for (int i : ids) out.push_back({dm::modem_local, payload(i)});
    return out;
}

struct Layout {
    const char* name;
    std::string bytes;
    std::vector<GoodFrame> want;
    // data, short, cut, mask tables, deinit, HDLC setting, without type word
    std::vector<uint64_t> kinds;
    uint64_t no_read_bytes;
};

std::vector<Layout> layouts() {
    std::vector<Layout> l;
    l.push_back({"every read with its type word (a kernel whose header bytes are 0)",
                 data_read({entry({1, 2})}) + data_read({entry({3}), entry({4})}),
                 local({1, 2, 3, 4}),
                 {2, 0, 0, 0, 0, 0, 0},
                 0});
    // Counts 1, 2 and 4 are also the mask tables' type words.
    l.push_back({"each batch's first read without its type word",
                 data_read({entry({1})}, false) + data_read({entry({2})}) + data_read({entry({3}), entry({4})}, false) +
                     data_read({entry({5})}) + data_read({entry({6}), entry({7}), entry({8}), entry({9})}, false),
                 local({1, 2, 3, 4, 5, 6, 7, 8, 9}),
                 {5, 0, 0, 0, 0, 0, 3},
                 0});
    l.push_back(
        {"tokens keep the external modems apart",
         data_read({entry({1}), entry({2}, token_mdm1), entry({3}, token_mdm2), entry({4}), entry({5}, token_qsc)}) +
             data_read({entry({6}, token_mdm1)}, false),
         {{dm::modem_local, payload(1)},
          {dm::modem_mdm1, payload(2)},
          {dm::modem_mdm2, payload(3)},
          {dm::modem_local, payload(4)},
          {dm::modem_qsc, payload(5)},
          {dm::modem_mdm1, payload(6)}},
         {2, 0, 0, 0, 0, 0, 1},
         0});
    // The tables 2 and 4 follow each other with nothing to tell them apart:
    // one run. A read without its type word between two tables is found by
    // its entry, a run of good frames that its length marks out.
    l.push_back({"mask tables full of flags and escapes, each followed by a frame",
                 mask_table_read(1) + data_read({entry({1})}) + mask_table_read(2, 500) + mask_table_read(4, 77) +
                     data_read({entry({2})}) + mask_table_read(0x100) + data_read({entry({3}, token_mdm1)}, false) +
                     mask_table_read(0x200, 90) + data_read({entry({4})}),
                 {{dm::modem_local, payload(1)},
                  {dm::modem_local, payload(2)},
                  {dm::modem_mdm1, payload(3)},
                  {dm::modem_local, payload(4)}},
                 {4, 0, 0, 4, 0, 0, 1},
                 0});
    l.push_back({"the HDLC setting and the deinit word",
                 data_read({entry({1})}, false) + hdlc_read(0) + data_read({entry({2})}) + hdlc_read(1) + deinit_read(),
                 local({1, 2}),
                 {2, 0, 0, 0, 1, 2, 1},
                 0});
    // 2.6.35: a short read buffer leaves the count stale, and maybe a length
    // word without its data.
    l.push_back({"short reads with a stale count",
                 data_read({entry({1}), le32_bytes(static_cast<uint32_t>(frames({2}).size()))}, true, 3) +
                     data_read({entry({2})}) + data_read({entry({3})}, true, 4) + data_read({entry({4})}),
                 local({1, 2, 3, 4}),
                 {2, 2, 0, 0, 0, 0, 0},
                 0});
    const std::string first_table = mask_table_read(2, 400, false);
    l.push_back({"a first mask table without its type word",
                 first_table + data_read({entry({1})}) + data_read({entry({2})}) + mask_table_read(4),
                 local({1, 2}),
                 {2, 0, 0, 1, 0, 0, 0},
                 first_table.size()});
    const std::string cut = data_read({entry({2}), entry({3})});
    l.push_back({"a read cut by the end of the file",
                 data_read({entry({1})}, false) + cut.substr(0, cut.size() - 9),
                 local({1, 2}),
                 {1, 0, 1, 0, 0, 0, 1},
                 0});
    // A length word off by 7: the read is lost as a read, its frame is not.
    std::string damaged = data_read({entry({2})});
    damaged[8] = static_cast<char>(damaged[8] + 7);
    l.push_back({"a damaged read between good ones",
                 data_read({entry({1})}) + damaged + data_read({entry({3})}) + data_read({entry({4})}),
                 local({1, 2, 3, 4}),
                 {3, 0, 0, 0, 0, 0, 0},
                 damaged.size()});
    return l;
}

}  // namespace

TEST(Reads, EveryLayoutGivesEachFrameOnceFromItsModem) {
    for (const Layout& l : layouts()) {
        const Scan s = scan(l.bytes);
        ASSERT_TRUE(s.as_reads) << l.name;
        EXPECT_EQ(s.good, l.want) << l.name;
        EXPECT_EQ(s.check.bad, 0u) << l.name;
        const dm::ReadSummary& r = s.check.reads;
        const std::vector<uint64_t> kinds = {r.by_kind[dm::ReadEvent::data],
                                             r.by_kind[dm::ReadEvent::short_data],
                                             r.by_kind[dm::ReadEvent::cut_data],
                                             r.by_kind[dm::ReadEvent::mask_table],
                                             r.by_kind[dm::ReadEvent::deinit],
                                             r.by_kind[dm::ReadEvent::hdlc],
                                             r.untyped};
        EXPECT_EQ(kinds, l.kinds) << l.name;
        EXPECT_EQ(r.no_read_bytes, l.no_read_bytes) << l.name;
        expect_tiled(s, l.bytes.size(), l.name);
        // Every byte is a read's frame's, a word's, a table's or in no read
        // (whose good frames are still given).
        uint64_t frame_bytes = 0;
        for (const dm::Span& f : s.good_spans) {
            const bool in_region = std::any_of(s.reads.begin(), s.reads.end(), [&](const dm::ReadEvent& r) {
                return (r.kind == dm::ReadEvent::mask_table || r.kind == dm::ReadEvent::no_read) &&
                       f.offset >= r.offset && f.offset < r.offset + r.size;
            });
            if (!in_region) frame_bytes += f.size;
        }
        EXPECT_EQ(frame_bytes + r.word_bytes + r.mask_table_bytes + r.no_read_bytes +
                      (s.check.has_tail ? s.check.tail.size : 0),
                  l.bytes.size())
            << l.name;
    }
}

namespace {

// The first frame where a scan and the file part, told by where each lies.
std::string first_difference(const Scan& s, const std::vector<PlacedFrame>& want) {
    for (size_t i = 0; i < std::max(s.good.size(), want.size()); ++i) {
        const bool got = i < s.good.size(), wanted = i < want.size();
        if (got && wanted && s.good[i].modem == want[i].modem && s.good[i].payload == want[i].payload) continue;
        std::string out = "frame " + std::to_string(i) + ":";
        if (wanted) out += " wanted modem " + std::to_string(want[i].modem) + " at " + std::to_string(want[i].offset);
        if (got)
            out += " got modem " + std::to_string(s.good[i].modem) + " at " + std::to_string(s.good_spans[i].offset);
        return out;
    }
    return std::string();
}

}  // namespace

// Whole captures of every generation, made at random from fixed seeds: each
// file gives every frame that lies whole in it, once and in order, from its
// own modem, and no bad one.
TEST(Reads, GeneratedCapturesOfEveryGenerationGiveEachFrameFromItsModem) {
    const auto start = std::chrono::steady_clock::now();
    size_t files = 0, frames = 0;
    for (const Kernel& k : kernels()) {
        for (uint32_t seed = 1; seed <= 6; ++seed) {
            size_t index = 0;
            const uint32_t kernel_seed = seed * 977 + static_cast<uint32_t>(&k - &kernels()[0]);
            for (const Piece& file : CaptureGenerator(k, kernel_seed).files(5)) {
                const std::string name =
                    std::string(k.name) + " seed " + std::to_string(seed) + " file " + std::to_string(index++);
                const Scan s = scan(file.bytes);
                EXPECT_TRUE(s.as_reads) << name;
                EXPECT_EQ(first_difference(s, file.frames), "")
                    << name << ", " << s.good.size() << " of " << file.frames.size() << " frames";
                EXPECT_EQ(s.check.bad, 0u) << name;
                expect_tiled(s, file.bytes.size(), name);
                ++files;
                frames += file.frames.size();
            }
        }
    }
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GT(frames, files * 100);  // the captures hold what they are made for
    printf("%zu files, %zu frames in %lld ms\n", files, frames, static_cast<long long>(ms));
}

TEST(Reads, WordsAreCountedAsWhatTheyAre) {
    // type + count, token + length, length; type + count, length.
    const Scan s = scan(data_read({entry({1}, token_mdm1), entry({2})}) + data_read({entry({3})}, false));
    EXPECT_EQ(s.check.reads.word_bytes, 8u + 8 + 4 + 4 + 4);
    EXPECT_EQ(s.check.outside_bytes, 0u);
    EXPECT_EQ(s.check.header_words, 0u);
    const Scan table = scan(data_read({entry({1})}) + mask_table_read(0x100, 50) + data_read({entry({2})}));
    EXPECT_EQ(table.check.reads.mask_table_bytes, 4u + 50);  // the clients word is the table's
}

// The fault this layer exists for: as a frame stream, a mask table's last
// 0x7D escapes the next read's type word, and the answer after it is lost.
TEST(Reads, AMaskTableNeverCostsTheFrameAfterIt) {
    const std::string answer = bytes_of({0x73, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0});
    const std::string table = mask_table_read(1, 15 + 23 * 8);
    ASSERT_EQ(table.back(), '\x7D');
    const std::string capture =
        data_read({entry({1})}) + table + data_read({read_entry(framed(answer))}) + data_read({entry({2})});
    size_t as_stream = 0;
    dm::FrameParser parser;
    dm::parser_init(&parser);
    const dm::ParseHandler count = [](void* context, const dm::ParseEvent& event) {
        if (event.kind == dm::ParseEvent::frame && event.status == dm::FrameStatus::good)
            ++*static_cast<size_t*>(context);
    };
    dm::parser_feed(&parser, reinterpret_cast<const uint8_t*>(capture.data()), capture.size(), count, &as_stream);
    dm::parser_finish(&parser, count, &as_stream);
    EXPECT_EQ(as_stream, 2u) << "the layout no longer shows the fault";
    const Scan s = scan(capture);
    EXPECT_EQ(s.good, (std::vector<GoodFrame>{
                          {dm::modem_local, payload(1)}, {dm::modem_local, answer}, {dm::modem_local, payload(2)}}));
    EXPECT_EQ(s.check.bad, 0u);
}

TEST(Reads, FilesWithoutReadsStayFrameStreams) {
    const std::string cases[] = {
        frames({1, 2, 3}), header_word() + frames({1, 2}) + header_word() + frames({3}),
        framed(bytes_of({0x73, 0, 0, 0, 1, 0, 0, 0})) + frames({1}) + header_word() + frames({2}),
        frames({1}).substr(5) + frames({2, 3}),  // the cut end of a frame, then frames
    };
    for (const std::string& bytes : cases) {
        const Scan s = scan(bytes);
        EXPECT_FALSE(s.as_reads);
        EXPECT_FALSE(s.check.reads.present);
        EXPECT_TRUE(s.reads.empty());
        EXPECT_GE(s.good.size(), 2u);
    }
}

// The file is read through a window of a few MiB; a capture larger than it
// must come out as it does from memory.
TEST(Reads, AFileLargerThanTheWindowReadsAsFromMemory) {
    std::string capture = mask_table_read(2, 3000, false);
    for (int i = 0; capture.size() < (size_t{9} << 20); ++i) {
        std::string run;
        for (int k = 0; run.size() < 20000 + size_t(i % 9) * 1000; ++k) run += framed(payload(i * 64 + k));
        capture += data_read({read_entry(run), read_entry(frames({i}), i % 4 == 0 ? token_mdm1 : 0)}, i % 3 != 1);
        if (i % 50 == 0) capture += mask_table_read(1, 1000 + size_t(i));
    }
    TempDir dir;
    write_file(dir.file("big.dm"), capture);
    dm::CheckResult from_file;
    dm::CaptureHandlers handlers;
    handlers.frames = [](void* context, const dm::ParseEvent& event) {
        dm::check_add(static_cast<dm::CheckResult*>(context), event);
    };
    handlers.reads = [](void* context, const dm::ReadEvent& event) {
        dm::check_add_read(static_cast<dm::CheckResult*>(context), event);
    };
    handlers.context = &from_file;
    bool as_reads = false;
    uint64_t size = 0;
    std::string error;
    ASSERT_TRUE(dm::scan_capture(dir.file("big.dm").c_str(), handlers, &as_reads, &size, &error)) << error;
    EXPECT_TRUE(as_reads);
    EXPECT_EQ(size, capture.size());
    const Scan in_memory = scan(capture);
    EXPECT_EQ(from_file.good, in_memory.check.good);
    EXPECT_EQ(from_file.bad, 0u);
    EXPECT_EQ(from_file.reads.reads, in_memory.check.reads.reads);
    EXPECT_EQ(from_file.reads.word_bytes, in_memory.check.reads.word_bytes);
    EXPECT_EQ(from_file.reads.no_read_bytes, 3000u);
    EXPECT_GT(from_file.reads.frames_by_modem[dm::modem_mdm1], 0u);
}

TEST(Reads, OutputNamesPerModem) {
    const struct {
        const char* out;
        int modem;
        const char* want;
    } cases[] = {
        {"cap.qmdl", dm::modem_local, "cap.qmdl"},     {"cap.qmdl", dm::modem_mdm1, "cap.mdm1.qmdl"},
        {"cap.qmdl", dm::modem_mdm2, "cap.mdm2.qmdl"}, {"out/cap.pcap", dm::modem_qsc, "out/cap.qsc.pcap"},
        {"cap", dm::modem_mdm1, "cap.mdm1"},           {"run.d/cap", dm::modem_mdm1, "run.d/cap.mdm1"},
        {".cap", dm::modem_mdm1, ".cap.mdm1"},
    };
    for (const auto& c : cases) EXPECT_EQ(dm::modem_output_path(c.out, c.modem), c.want) << c.out;
}

// What the tool makes of a capture of reads: check names the words and the
// tables, qmdl and pcap give each modem its own file, and no output may be
// an input, under any name.
TEST(Reads, ToolOnACaptureOfReads) {
    TempDir dir;
    const std::string capture = data_read({entry({1}), entry({2}, token_mdm1)}, false) + mask_table_read(1) +
                                data_read({entry({3}, token_mdm2), entry({4})});
    const std::string in = dir.file("reads.dm");
    write_file(in, capture);

    const ToolRun check = run_tool({"check", in});
    EXPECT_EQ(check.status, 0) << check.out;
    EXPECT_NE(check.out.find("every frame good"), std::string::npos) << check.out;
    EXPECT_NE(check.out.find("reads:          3: 2 data, 1 mask tables; 1 without their type word"), std::string::npos)
        << check.out;
    // count, length, token, length; the table's type; type, count, token, length, length
    EXPECT_NE(check.out.find("read words:     40 bytes"), std::string::npos) << check.out;
    EXPECT_NE(check.out.find("mask tables:    300 bytes"), std::string::npos) << check.out;
    EXPECT_NE(check.out.find("by modem:       local modem 2 frames, external modem 1 1 frames, external modem 2 1 "
                             "frames\n"),
              std::string::npos)
        << check.out;
    EXPECT_NE(check.out.find("outside frames: 0 bytes\n"), std::string::npos) << check.out;
    const ToolRun json = run_tool({"check", "--json", in});
    EXPECT_NE(json.out.find("\"reads\":{\"count\":3,\"data\":2,"), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\"frames_by_modem\":{\"local\":2,\"mdm1\":1,\"mdm2\":1,\"qsc\":0}},\"ok\":true}"),
              std::string::npos)
        << json.out;

    const ToolRun qmdl = run_tool({"qmdl", in, "-o", dir.file("out.qmdl")});
    ASSERT_EQ(qmdl.status, 0) << qmdl.err;
    EXPECT_EQ(read_file(dir.file("out.qmdl")), frames({1, 4}));
    EXPECT_EQ(read_file(dir.file("out.mdm1.qmdl")), frames({2}));
    EXPECT_EQ(read_file(dir.file("out.mdm2.qmdl")), frames({3}));
    EXPECT_NE(qmdl.out.find(dir.file("out.mdm2.qmdl") + ": 1 frames (the plain frame stream) of external modem 2\n"),
              std::string::npos)
        << qmdl.out;
    const ToolRun pcap = run_tool({"pcap", "--raw", in, "-o", dir.file("out.pcap")});
    ASSERT_EQ(pcap.status, 0) << pcap.err;
    EXPECT_NE(pcap.out.find(dir.file("out.pcap") + ": 2 packets (0 signalling messages, 2 raw diag)"),
              std::string::npos)
        << pcap.out;
    EXPECT_NE(pcap.out.find(dir.file("out.mdm1.pcap") + ": 1 packets"), std::string::npos) << pcap.out;

    // The input itself, a link to it, and an input that an external modem's
    // output name would be.
    ASSERT_EQ(symlink(in.c_str(), dir.file("link.qmdl").c_str()), 0);
    const std::string ext = dir.file("x.mdm1.qmdl");
    write_file(ext, capture);
    const std::vector<std::vector<std::string>> refused = {
        {"qmdl", in, "-o", in},
        {"qmdl", in, "-o", dir.file("link.qmdl")},
        {"pcap", in, "-o", in},
        {"qmdl", ext, "-o", dir.file("x.qmdl")},
    };
    for (const std::vector<std::string>& args : refused) {
        const ToolRun run = run_tool(args);
        EXPECT_EQ(run.status, 2) << args[3];
        EXPECT_NE(run.err.find(": is one of the input files"), std::string::npos) << run.err;
    }
    EXPECT_EQ(read_file(in), capture);
    EXPECT_EQ(read_file(ext), capture);
}

// The external modem's rotation copies the head of the next buffer, its
// type word included, behind whatever read ended the full file: here a mask
// table, which ends with no flag, and a buffer that ends with one too.
TEST(Reads, JoinLeavesOutTheRotationCopyBehindAMaskTable) {
    TempDir dir;
    const std::string next_batch = data_read({entry({5}), entry({6}, token_mdm1)}) + mask_table_read(2, 40);
    const std::string full = data_read({entry({1})}, false) + data_read({entry({2})}) + mask_table_read(4, 61);
    const std::string stem = dir.file("qxdm_ext_20240301_120000_001");
    write_file(stem + ".1.120101.dm", full + next_batch);
    write_file(stem + ".dm", next_batch.substr(4) + data_read({entry({7})}));
    const std::string out = dir.file("joined.dm");
    const ToolRun joined = run_tool({"join", stem, "-o", out});
    ASSERT_EQ(joined.status, 0) << joined.err;
    EXPECT_NE(joined.out.find("(and " + std::to_string(next_batch.size()) + " bytes left out"), std::string::npos)
        << joined.out;
    EXPECT_EQ(read_file(out), full + next_batch.substr(4) + data_read({entry({7})}));
    EXPECT_EQ(scan(read_file(out)).good.size(), 5u);
}

// .dlf records hand on the log packet each one is, whatever blocks the
// bytes come in; a length that cannot be, or a record the end cuts, leaves
// the rest as a tail and nothing read past it.
TEST(Records, EachRecordIsItsLogPacketInBlocksOfAnySize) {
    const std::string nas = lte_nas_packet(0xB0EC, 77, nas_identity_request());
    const std::string big = log_payload(0xB193, 78, 3000);
    const std::string good = dlf_record(nas) + dlf_record(big);
    struct Case {
        std::string bytes;
        size_t records;
        size_t tail_offset, tail_size;
    };
    const std::string bad_length = bytes_of({0x05, 0x00}) + dlf_record(nas);
    const Case cases[] = {
        {good, 2, 0, 0},
        {good + bad_length, 2, good.size(), bad_length.size()},
        {good + dlf_record(nas).substr(0, 13), 2, good.size(), 13},
        {good + "\x0C", 2, good.size(), 1},
        {bytes_of({0x00, 0x00}) + good, 0, 0, good.size() + 2},
    };
    for (const Case& c : cases) {
        for (size_t block : {c.bytes.size(), size_t{1}, size_t{7}, size_t{2999}}) {
            Scan s;
            dm::RecordScanner scanner;
            auto handler = [](void* context, const dm::ParseEvent& event) {
                Scan* s = static_cast<Scan*>(context);
                dm::check_add(&s->check, event);
                if (event.kind != dm::ParseEvent::frame) return;
                s->good.push_back(
                    {event.modem, std::string(reinterpret_cast<const char*>(event.payload), event.payload_size)});
                s->good_spans.push_back({event.offset, event.size});
            };
            // Each block a copy of its own, so that a read past it shows.
            for (size_t at = 0; at < c.bytes.size(); at += block) {
                const std::vector<uint8_t> piece(
                    c.bytes.begin() + static_cast<long>(at),
                    c.bytes.begin() + static_cast<long>(std::min(c.bytes.size(), at + block)));
                dm::records_feed(&scanner, piece.data(), piece.size(), handler, &s);
            }
            dm::records_finish(&scanner, handler, &s);
            const std::string where =
                "case of " + std::to_string(c.bytes.size()) + " bytes, blocks of " + std::to_string(block);
            ASSERT_EQ(s.good.size(), c.records) << where;
            if (c.records == 2) {
                EXPECT_EQ(s.good[0].payload, nas) << where;
                EXPECT_EQ(s.good[1].payload, big) << where;
                EXPECT_EQ(s.good_spans[1].offset, nas.size() - 4) << where;
                EXPECT_EQ(s.good_spans[1].size, big.size() - 4) << where;
            }
            EXPECT_EQ(s.check.has_tail, c.tail_size != 0) << where;
            EXPECT_EQ(s.check.tail.offset, c.tail_offset) << where;
            EXPECT_EQ(s.check.tail.size, c.tail_size) << where;
            EXPECT_EQ(s.check.bytes, c.bytes.size()) << where;
        }
    }
    EXPECT_TRUE(dm::is_record_file("/sdcard/log/x.DLF"));
    EXPECT_TRUE(dm::is_record_file("x.dlf"));
    EXPECT_FALSE(dm::is_record_file("x.dlf.dm"));
    EXPECT_FALSE(dm::is_record_file("dlf"));
}
