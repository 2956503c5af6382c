// The pieces of the kit that later tests trust blindly: the frame format, the
// log record parser and the expected-capture arithmetic. (The header the
// streams carry is what the phone states; phone_test checks it is served.)
#include <gtest/gtest.h>

#include "simphone.h"

using namespace simphone;

namespace {

std::string bytes_of(std::initializer_list<int> values) {
    std::string out;
    for (int v : values) out.push_back(static_cast<char>(v));
    return out;
}

}  // namespace

TEST(Frames, CrcMatchesTheX25CheckValue) {
    const char* check = "123456789";
    EXPECT_EQ(crc16_x25(reinterpret_cast<const uint8_t*>(check), 9), 0x906E);
}

TEST(Frames, FlagAndEscapeBytesAreEscapedAndTheFrameEndsInOneFlag) {
    const std::string payload = bytes_of({0x7E, 0x41, 0x7D});
    std::string frame;
    hdlc_encode(reinterpret_cast<const uint8_t*>(payload.data()), payload.size(), &frame);
    ASSERT_GE(frame.size(), 6u);
    EXPECT_EQ(frame.substr(0, 5), bytes_of({0x7D, 0x5E, 0x41, 0x7D, 0x5D}));
    EXPECT_EQ(static_cast<uint8_t>(frame.back()), 0x7E);
    EXPECT_EQ(frame.find('\x7E'), frame.size() - 1);
}

TEST(Frames, GeneratedStreamDecodesWithItsSequenceNumbers) {
    std::string stream;
    for (uint32_t seq = 40; seq < 140; ++seq) stream += make_log_frame(Device::diag_mdm, seq, 1000 + seq);
    std::vector<DecodedPacket> packets;
    std::string error;
    size_t trailing = 1;
    ASSERT_TRUE(decode_frames(stream, &packets, &error, &trailing)) << error;
    ASSERT_EQ(packets.size(), 100u);
    EXPECT_EQ(trailing, 0u);
    for (size_t i = 0; i < packets.size(); ++i) {
        EXPECT_EQ(packets[i].sequence, 40 + i);
        EXPECT_EQ(packets[i].timestamp, 1040 + i);
        EXPECT_EQ(packets[i].log_code, log_code_of(Device::diag_mdm));
    }
}

TEST(Frames, DamageIsFoundAndCutFramesAreTrailing) {
    const std::string frame = make_log_frame(Device::diag, 7, 99);
    std::vector<DecodedPacket> packets;
    std::string error;
    for (size_t at : {size_t{0}, frame.size() / 2, frame.size() - 2}) {
        std::string damaged = frame;
        damaged[at] = static_cast<char>(damaged[at] ^ 0x01);
        if (static_cast<uint8_t>(damaged[at]) == 0x7E || static_cast<uint8_t>(damaged[at]) == 0x7D) continue;
        packets.clear();
        EXPECT_FALSE(decode_frames(damaged, &packets, &error)) << "byte " << at;
    }
    size_t trailing = 0;
    packets.clear();
    EXPECT_TRUE(decode_frames(frame + frame.substr(0, 10), &packets, &error, &trailing));
    EXPECT_EQ(packets.size(), 1u);
    EXPECT_EQ(trailing, 10u);
    EXPECT_FALSE(decode_frames(bytes_of({0x41, 0x7D, 0x7E}), &packets, &error));
}

TEST(LogRecords, TextWithLineEndsAndNulBytesSurvives) {
    const std::string text = std::string("a\nb\0c\n", 6);
    const std::string content = "3 17 6\nORLITH:zarnorlith" + text + "\n6 10 0\nORLITH:dir\n";
    std::vector<LogRecord> records;
    std::string error;
    ASSERT_TRUE(parse_log_records(content, &records, &error)) << error;
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].priority, 3);
    EXPECT_EQ(records[0].tag, "ORLITH:zarnorlith");
    EXPECT_EQ(records[0].text, text);
    EXPECT_EQ(records[1].priority, 6);
    EXPECT_EQ(records[1].text, "");
    records.clear();
    EXPECT_FALSE(parse_log_records("3 4 5\nABCDxyz", &records, &error));
    EXPECT_FALSE(parse_log_records("3 4 2\nABCDxyz\n", &records, &error));
    EXPECT_FALSE(parse_log_records("garbage\n", &records, &error));
}

class Capture : public ::testing::Test {
protected:
    // Chunks whose bytes say which chunk and which byte they are.
    void add(size_t size) {
        Chunk chunk;
        for (size_t i = 0; i < size; ++i) chunk.bytes.push_back(static_cast<char>(storage.size() * 16 + i % 16));
        storage.push_back(chunk);
    }
    std::vector<const Chunk*> chunks() const {
        std::vector<const Chunk*> out;
        for (const Chunk& c : storage) out.push_back(&c);
        return out;
    }
    std::vector<Chunk> storage;
};

TEST_F(Capture, BatchesFillUpToTheLimitAndLoseTheHeaderOfTheirFirstChunkOnly) {
    add(30000);
    add(35536);  // exactly 65536 with the first: no write yet
    add(1);      // one byte more: the batch goes first
    add(20);
    Grouping batched;
    const std::string expected = expected_capture(chunks(), 4, batched);
    // The one-byte chunk opens the second batch, so its byte and three of
    // the next chunk are dropped.
    const std::string want = storage[0].bytes.substr(4) + storage[1].bytes + storage[3].bytes.substr(3);
    EXPECT_EQ(expected, want);
    EXPECT_EQ(expected_capture(chunks(), 0, batched),
              storage[0].bytes + storage[1].bytes + storage[2].bytes + storage[3].bytes);
}

TEST_F(Capture, PerChunkAndExplicitBuffers) {
    add(10);
    add(10);
    add(10);
    Grouping each;
    each.kind = Grouping::per_chunk;
    EXPECT_EQ(expected_capture(chunks(), 4, each),
              storage[0].bytes.substr(4) + storage[1].bytes.substr(4) + storage[2].bytes.substr(4));
    Grouping listed;
    listed.kind = Grouping::explicit_buffers;
    listed.buffers = {{2, false}, {1, true}};
    EXPECT_EQ(expected_capture(chunks(), 4, listed), storage[2].bytes.substr(4));
}

TEST(CaptureCompare, NamesTheFirstDifference) {
    EXPECT_TRUE(compare_capture("abcdef", "abcdef", 2).ok);
    CaptureCheck shorter = compare_capture("abc", "abcdef", 2);
    EXPECT_FALSE(shorter.ok);
    EXPECT_NE(shorter.message.find("offset 3"), std::string::npos) << shorter.message;
    CaptureCheck differs = compare_capture("abXdef", "abcdef", 2);
    EXPECT_NE(differs.message.find("offset 2"), std::string::npos) << differs.message;
}

// The check every kernel generation's capture goes through: a file of the
// daemon's reads against the reads handed to its descriptor, per modem.
class ReadCapture : public ::testing::Test {
protected:
    static std::string le32(uint32_t value) {
        std::string out;
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
        return out;
    }
    // A log-data read of local frames [first, first + count), and the
    // external modem's when ext_count is not 0.
    static std::string data_read(uint32_t first, uint32_t count, uint32_t ext_count = 0) {
        std::string local, external;
        for (uint32_t seq = first; seq < first + count; ++seq) local += make_log_frame(Device::diag, seq, seq);
        for (uint32_t seq = first; seq < first + ext_count; ++seq)
            external += make_log_frame(Device::diag_mdm, seq, seq);
        std::string read = le32(stream_type_word) + le32(ext_count != 0 ? 2 : 1) + le32(local.size()) + local;
        if (ext_count != 0) read += le32(static_cast<uint32_t>(-1)) + le32(external.size()) + external;
        return read;
    }
    void SetUp() override {
        char dir_template[] = "/tmp/readcaptureXXXXXX";
        ASSERT_NE(mkdtemp(dir_template), nullptr);
        dir = dir_template;
        // Mask request, its answer (a table), three reads the daemon stores,
        // the null mask, and the read taken as its answer.
        request(10);
        read(20, le32(1) + std::string(40, '\xFF'), ChunkKind::control);
        for (uint32_t i = 0; i < 3; ++i) read(30 + 10 * i, data_read(5 * i, 5, i == 1 ? 3 : 0));
        request(60);
        read(70, data_read(15, 1));
    }
    void TearDown() override {
        for (int i = 0; i < files; ++i) unlink((dir + "/" + std::to_string(i)).c_str());
        rmdir(dir.c_str());
    }
    void request(uint64_t time) {
        Event event;
        event.time_us = time;
        event.kind = "request";
        event.device = "diag";
        event.handle = 1;
        requests.push_back(event);
    }
    void read(uint64_t time, const std::string& bytes, ChunkKind kind = ChunkKind::stream) {
        Chunk chunk;
        chunk.record.time_us = time;
        chunk.record.kind = kind;
        chunk.record.handle = 1;
        chunk.bytes = bytes;
        journal.push_back(chunk);
    }
    // The check of a file holding these reads of the journal, the first
    // without its type word, as the daemon stores a batch.
    CaptureCheck check(const std::vector<size_t>& reads, bool tail_only = false, size_t damage_at = 0) {
        std::string bytes;
        for (size_t i : reads) bytes += journal[i].bytes.substr(bytes.empty() ? 4 : 0);
        if (damage_at != 0) bytes[damage_at] = static_cast<char>(bytes[damage_at] ^ 0x20);
        const std::string path = dir + "/" + std::to_string(files++);
        FILE* out = fopen(path.c_str(), "we");
        EXPECT_NE(out, nullptr);
        if (out == nullptr) return CaptureCheck();
        EXPECT_EQ(fwrite(bytes.data(), 1, bytes.size(), out), bytes.size());
        EXPECT_EQ(fclose(out), 0);
        return check_read_capture(journal, requests, Device::diag, {path}, tail_only);
    }
    std::string dir;
    int files = 0;
    Journal journal;
    std::vector<Event> requests;
};

TEST_F(ReadCapture, EveryFrameFromTheFirstStoredReadToTheNullMaskAndNoneBad) {
    const CaptureCheck whole = check({1, 2, 3});
    EXPECT_TRUE(whole.ok) << whole.message;
    EXPECT_EQ(whole.frames, 18u);  // 15 local, 3 of the external modem
    EXPECT_EQ(whole.chunks, 3u);
    // The answer to the null mask may be stored too.
    EXPECT_TRUE(check({1, 2, 3, 4}).ok);

    const CaptureCheck gap = check({1, 3});
    EXPECT_FALSE(gap.ok);
    EXPECT_EQ(gap.lost, 8u) << gap.message;
    const CaptureCheck twice = check({1, 2, 2, 3});
    EXPECT_FALSE(twice.ok) << twice.message;
    const CaptureCheck end = check({1, 2});
    EXPECT_EQ(end.lost, 5u) << end.message;
    // A damaged byte: a bad frame, or a read orlith-dm no longer finds.
    const CaptureCheck damaged = check({1, 2, 3}, false, 30);
    EXPECT_FALSE(damaged.ok);
    EXPECT_GE(damaged.bad + damaged.lost, 1u) << damaged.message;

    // A start rotated away: a tail, but no whole capture.
    EXPECT_EQ(check({2, 3}).lost, 5u);
    const CaptureCheck tail = check({2, 3}, true);
    EXPECT_TRUE(tail.ok) << tail.message;
    EXPECT_FALSE(check({2}, true).ok);
}

TEST_F(ReadCapture, RunsWhoseAnswersAreAlikeArePlacedByTheLogFramesAfterThem) {
    journal.clear();
    requests.clear();
    // Each run: its mask request, a table taken for the answer, then a read
    // it stores that starts with the modem's answer, alike in both runs.
    const std::string answer = make_log_frame(Device::diag, 1000, 0);
    for (uint32_t run = 0; run < 2; ++run) {
        request(100 * run + 10);
        requests.back().handle = run + 1;
        read(100 * run + 20, le32(1) + std::string(40, '\xFF'), ChunkKind::control);
        std::string frames = answer;
        for (uint32_t seq = 5 * run; seq < 5 * run + 5; ++seq) frames += make_log_frame(Device::diag, seq, seq);
        read(100 * run + 30, le32(stream_type_word) + le32(1) + le32(frames.size()) + frames);
        for (size_t i = journal.size() - 2; i < journal.size(); ++i) journal[i].record.handle = run + 1;
    }
    const CaptureCheck second = check({3}, true);
    EXPECT_TRUE(second.ok) << second.message;
    EXPECT_EQ(check({1, 3}).lost, 0u);
    EXPECT_EQ(check({3}).lost, 6u);
}
