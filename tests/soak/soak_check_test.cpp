// The soak's capture check against files made the way the daemon's writer
// makes them, and against the faults it exists to catch.
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "soak_check.h"

using soak::Span;

namespace {

constexpr uint64_t threshold = 256 * 1024;

struct Stream {
    std::string data;  // the journal's data file
    std::vector<Span> chunks;
};

// Chunks of varied lengths and of bytes that repeat nowhere, so that any
// shift or swap shows.
Stream make_stream(size_t count, uint32_t seed) {
    std::mt19937 rng(seed);
    Stream s;
    for (size_t i = 0; i < count; ++i) {
        const uint32_t length = 512 + rng() % (32768 - 512 + 1);
        s.chunks.push_back({s.data.size(), length});
        for (uint32_t j = 0; j < length; ++j) s.data.push_back(static_cast<char>(rng()));
    }
    return s;
}

soak::ReadAt reader(const std::string& bytes) {
    return [&bytes](uint64_t offset, char* out, size_t n) {
        if (offset + n > bytes.size()) return false;
        memcpy(out, bytes.data() + offset, n);
        return true;
    };
}

struct Writer {
    soak::Writes writes = soak::Writes::batched;
    int header = 0;
    size_t keep = 3;
    uint64_t copy = 0;  // bytes of the next buffer the full file also gets
    size_t skip_buffer = SIZE_MAX;
};

// The files the writer leaves, oldest first, current last: a file that has
// reached the threshold is rotated before the next buffer goes in.
std::vector<std::string> write_files(const Stream& s, const Writer& w, uint64_t* copied = nullptr) {
    std::vector<std::string> buffers;
    std::string batch;
    for (const Span& chunk : s.chunks) {
        const std::string bytes = s.data.substr(chunk.offset, chunk.length);
        if (w.writes == soak::Writes::per_chunk) {
            buffers.push_back(bytes);
        } else {
            if (batch.size() + bytes.size() > 65536) {
                buffers.push_back(batch);
                batch.clear();
            }
            batch += bytes;
        }
    }
    if (!batch.empty()) buffers.push_back(batch);
    std::vector<std::string> rotated;
    std::string current;
    bool exists = false;
    if (copied != nullptr) *copied = 0;
    for (size_t i = 0; i < buffers.size(); ++i) {
        if (i == w.skip_buffer) continue;
        const std::string& buffer = buffers[i];
        if (exists && current.size() >= threshold) {
            if (w.copy > 0) {
                const std::string head = buffer.substr(0, std::min<size_t>(buffer.size(), w.copy));
                current += head;
                if (copied != nullptr) *copied += head.size();
            }
            rotated.push_back(current);
            if (rotated.size() > w.keep) rotated.erase(rotated.begin());
            current.clear();
        }
        current += buffer.substr(std::min<size_t>(buffer.size(), static_cast<size_t>(w.header)));
        exists = true;
    }
    rotated.push_back(current);
    return rotated;
}

std::vector<soak::LogFile> as_logs(const std::vector<std::string>& files) {
    std::vector<soak::LogFile> logs;
    for (size_t i = 0; i < files.size(); ++i)
        logs.push_back({"file" + std::to_string(i), files[i].size(), reader(files[i])});
    return logs;
}

soak::RotationRule rule_for(const Writer& w) {
    soak::RotationRule rule;
    rule.threshold = threshold;
    rule.largest_write = w.writes == soak::Writes::batched ? 65536 : 32768;
    rule.copy_limit = w.copy;
    return rule;
}

soak::TailCheck check(const Stream& s, const Writer& w, const std::vector<std::string>& files, uint64_t max_unread = 0,
                      bool at_buffers = true) {
    const soak::Expected expected = soak::expect_capture(s.chunks, w.header, w.writes);
    soak::RotationRule rule = rule_for(w);
    rule.files_start_at_buffers = at_buffers;
    return soak::check_tail(expected, reader(s.data), as_logs(files), rule, max_unread);
}

uint64_t bytes_of(const std::vector<std::string>& files) {
    uint64_t total = 0;
    for (const std::string& f : files) total += f.size();
    return total;
}

TEST(SoakCheck, GroupsChunksAsTheDaemonBatchesThem) {
    Stream s;
    s.data.assign(65537, 'x');
    s.chunks = {{0, 32768}, {32768, 32768}, {65536, 1}};
    // Exactly 65536 bytes fit in one batch; the third chunk starts the next.
    const soak::Expected batched = soak::expect_capture(s.chunks, 4, soak::Writes::batched);
    EXPECT_EQ(batched.buffer_starts, (std::vector<uint64_t>{0, 65532}));
    // The one-byte buffer is shorter than the header: nothing of it is stored.
    EXPECT_EQ(batched.header_dropped, 5u);
    EXPECT_EQ(batched.total, 65532u);
    const soak::Expected per_chunk = soak::expect_capture(s.chunks, 4, soak::Writes::per_chunk);
    EXPECT_EQ(per_chunk.buffer_starts, (std::vector<uint64_t>{0, 32764, 65528}));
    EXPECT_EQ(per_chunk.total, 65528u);
}

TEST(SoakCheck, RotatedBatchesWithHeadersAreTheExactTail) {
    const Stream s = make_stream(300, 1);
    Writer w;
    w.header = 4;
    const std::vector<std::string> files = write_files(s, w);
    ASSERT_EQ(files.size(), 4u);
    const soak::TailCheck result = check(s, w, files);
    ASSERT_TRUE(result.ok) << result.message;
    const soak::Expected expected = soak::expect_capture(s.chunks, 4, soak::Writes::batched);
    EXPECT_EQ(result.end, expected.total);
    EXPECT_EQ(result.start, expected.total - bytes_of(files));
    EXPECT_EQ(expected.header_dropped, 4u * expected.buffer_starts.size());
    EXPECT_EQ(result.duplicated, 0u);
}

TEST(SoakCheck, ExternalRotationCopyIsAccountedFor) {
    const Stream s = make_stream(300, 2);
    Writer w;
    w.writes = soak::Writes::per_chunk;
    w.header = 4;
    w.copy = 8192;
    uint64_t copied = 0;
    const std::vector<std::string> files = write_files(s, w, &copied);
    const soak::TailCheck result = check(s, w, files);
    ASSERT_TRUE(result.ok) << result.message;
    // Only the copies in surviving files count; each holds one.
    EXPECT_EQ(result.duplicated, bytes_of(files) - (result.end - result.start));
    EXPECT_LE(result.duplicated, copied);
    EXPECT_GT(result.duplicated, 0u);
    EXPECT_EQ(result.end, soak::expect_capture(s.chunks, 4, soak::Writes::per_chunk).total);
}

TEST(SoakCheck, CatchesChangedLostAndMisorderedData) {
    const Stream s = make_stream(300, 3);
    Writer w;
    const std::vector<std::string> good = write_files(s, w);
    ASSERT_TRUE(check(s, w, good).ok);

    std::vector<std::string> flipped = good;
    flipped[1][1000] ^= 0x01;
    EXPECT_FALSE(check(s, w, flipped).ok);

    std::vector<std::string> missing = good;
    missing.erase(missing.begin() + 1);
    EXPECT_FALSE(check(s, w, missing).ok);

    std::vector<std::string> swapped = good;
    std::swap(swapped[0], swapped[1]);
    EXPECT_FALSE(check(s, w, swapped).ok);

    // One buffer lost inside the current file.
    const soak::Expected expected = soak::expect_capture(s.chunks, 0, soak::Writes::batched);
    Writer losing = w;
    losing.skip_buffer = expected.buffer_starts.size() - 2;
    const std::vector<std::string> lost = write_files(s, losing);
    ASSERT_LT(bytes_of(lost), expected.total);
    EXPECT_FALSE(check(s, w, lost).ok);

    // The last bytes missing: a fault on a diag device, unread bytes on the
    // trace terminal, within its limit.
    std::vector<std::string> short_end = good;
    short_end.back().resize(short_end.back().size() - 100);
    EXPECT_FALSE(check(s, w, short_end).ok);
    const soak::TailCheck unread = check(s, w, short_end, 1000, false);
    ASSERT_TRUE(unread.ok) << unread.message;
    EXPECT_EQ(expected.total - unread.end, 100u);
    EXPECT_FALSE(check(s, w, short_end, 99, false).ok);
    // Unread bytes do not excuse a gap in the middle.
    std::vector<std::string> gap = good;
    gap[2].erase(5000, 4);
    EXPECT_FALSE(check(s, w, gap, 1000, false).ok);
}

TEST(SoakCheck, CatchesABadRotationCopyOrSize) {
    const Stream s = make_stream(300, 4);
    Writer w;
    w.writes = soak::Writes::per_chunk;
    w.copy = 8192;
    const std::vector<std::string> good = write_files(s, w);
    ASSERT_TRUE(check(s, w, good).ok);

    Writer no_copy = w;
    no_copy.copy = 0;
    EXPECT_FALSE(check(s, w, write_files(s, no_copy)).ok);
    Writer short_copy = w;
    short_copy.copy = 4096;
    EXPECT_FALSE(check(s, w, write_files(s, short_copy)).ok);

    std::vector<std::string> bad_copy = good;
    bad_copy[0][bad_copy[0].size() - 1] ^= 0x01;
    EXPECT_FALSE(check(s, w, bad_copy).ok);

    // A file rotated before it reached the threshold.
    Writer batched;
    const std::vector<std::string> files = write_files(s, batched);
    const soak::Expected expected = soak::expect_capture(s.chunks, 0, soak::Writes::batched);
    soak::RotationRule stricter = rule_for(batched);
    stricter.threshold = threshold + 65536;
    EXPECT_FALSE(soak::check_tail(expected, reader(s.data), as_logs(files), stricter, 0).ok);
}

}  // namespace
