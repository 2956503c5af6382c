// The framing library: CRC, escaping, and the streaming parser's account of
// every byte of a capture, whatever blocks the bytes arrive in.
#include <gtest/gtest.h>

#include "dm_test_util.h"

namespace {

struct Seen {
    dm::ParseEvent::Kind kind;
    dm::FrameStatus status;
    uint64_t offset, size;
    std::string payload;
    bool operator==(const Seen& o) const {
        return kind == o.kind && status == o.status && offset == o.offset && size == o.size && payload == o.payload;
    }
};

void record(void* context, const dm::ParseEvent& event) {
    static_cast<std::vector<Seen>*>(context)->push_back(
        Seen{event.kind, event.status, event.offset, event.size,
             std::string(reinterpret_cast<const char*>(event.payload), event.payload_size)});
}

std::vector<Seen> parse(const std::string& bytes, size_t block, size_t max_frame = dm::default_max_frame) {
    dm::FrameParser parser;
    dm::parser_init(&parser, max_frame);
    std::vector<Seen> seen;
    for (size_t at = 0; at < bytes.size(); at += block) {
        const size_t n = std::min(block, bytes.size() - at);
        dm::parser_feed(&parser, reinterpret_cast<const uint8_t*>(bytes.data()) + at, n, record, &seen);
    }
    dm::parser_finish(&parser, record, &seen);
    return seen;
}

void PrintTo(const Seen& s, std::ostream* os) {
    *os << "{kind " << int(s.kind) << " status " << int(s.status) << " at " << s.offset << " size " << s.size << "}";
}

}  // namespace

TEST(Frame, CrcAndTheWireFormOfAFrame) {
    EXPECT_EQ(dm::crc16_x25(reinterpret_cast<const uint8_t*>("123456789"), 9), 0x906E);
    EXPECT_EQ(framed(bytes_of({0x00})), bytes_of({0x00, 0x78, 0xF0, 0x7E}));
    // Flag and escape bytes are escaped in the payload and in the CRC alike,
    // and nothing else is.
    const std::string payload = bytes_of({0x7E, 0x41, 0x7D, 0x5E, 0x20});
    const std::string frame = framed(payload);
    EXPECT_EQ(frame.substr(0, 6), bytes_of({0x7D, 0x5E, 0x41, 0x7D, 0x5D, 0x5E}));
    EXPECT_EQ(frame.find('\x7E'), frame.size() - 1);
    std::string back;
    EXPECT_EQ(dm::unframe(reinterpret_cast<const uint8_t*>(frame.data()), frame.size(), &back), dm::FrameStatus::good);
    EXPECT_EQ(back, payload);
    for (int low = 0; low < 256; ++low) {  // every CRC byte value, escaped where needed, comes back
        const std::string p = bytes_of({0x10, low});
        const std::string f = framed(p);
        ASSERT_EQ(dm::unframe(reinterpret_cast<const uint8_t*>(f.data()), f.size(), &back), dm::FrameStatus::good);
        ASSERT_EQ(back, p);
    }
}

TEST(Frame, ParserAccountsForEveryByteAtItsOffsetInBlocksOfAnySize) {
    std::string stream;
    std::vector<Seen> want;
    auto good = [&](const std::string& payload) {
        const std::string f = framed(payload);
        want.push_back({dm::ParseEvent::frame, dm::FrameStatus::good, stream.size(), f.size(), payload});
        stream += f;
    };
    auto word = [&] {
        want.push_back({dm::ParseEvent::header_word, dm::FrameStatus::good, stream.size(), 4, ""});
        stream += header_word();
    };
    good(log_payload(0xB0C0, 1));
    word();  // the driver's word in front of a later chunk of a batch
    word();
    good(bytes_of({0x73, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    // The cut end of a frame whose start is not here, then a whole log packet.
    const std::string cut = framed(log_payload(0xB0C1, 2)).substr(9);
    want.push_back({dm::ParseEvent::outside, dm::FrameStatus::good, stream.size(), cut.size() - 1, ""});
    stream += cut.substr(0, cut.size() - 1);
    good(log_payload(0xB821, 3));
    // A damaged frame stays bad: no good frame is found inside it.
    std::string damaged = framed(log_payload(0x412F, 4, 40));
    damaged[25] = static_cast<char>(damaged[25] ^ 0x01);
    want.push_back({dm::ParseEvent::frame, dm::FrameStatus::bad_crc, stream.size(), damaged.size(), ""});
    stream += damaged;
    const std::string bad_escape = bytes_of({0x41, 0x7D, 0x00, 0x42, 0x43, 0x7E});
    want.push_back({dm::ParseEvent::frame, dm::FrameStatus::bad_escape, stream.size(), bad_escape.size(), ""});
    stream += bad_escape;
    want.push_back({dm::ParseEvent::frame, dm::FrameStatus::too_short, stream.size(), 2, ""});
    stream += bytes_of({0x41, 0x7E});
    stream += bytes_of({0x7E, 0x7E});  // empty frames are nothing
    good(bytes_of({0x60, 0x01}));
    word();  // the rotation copy's word, then a buffer cut mid-frame
    const std::string tail = framed(log_payload(0xB0C0, 5)).substr(0, 7);
    want.push_back({dm::ParseEvent::tail, dm::FrameStatus::good, stream.size(), tail.size(), ""});
    stream += tail;

    for (size_t block : {stream.size(), size_t{1}, size_t{2}, size_t{3}, size_t{7}, size_t{64}}) {
        EXPECT_EQ(parse(stream, block), want) << "blocks of " << block;
    }
}

TEST(Frame, FramesLongerThanTheParserKeepsAreReportedNotStored) {
    const std::string f = framed(log_payload(0xB0C0, 1, 200));
    const std::vector<Seen> seen = parse(f + framed(bytes_of({0x60, 0x00})), 16, 64);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].status, dm::FrameStatus::overlong);
    EXPECT_EQ(seen[0].size, f.size());
    EXPECT_EQ(seen[1].status, dm::FrameStatus::good);
    EXPECT_EQ(seen[1].offset, f.size());
}

TEST(Packet, LogPacketDualSimAndTheDiagClock) {
    const std::string p = log_payload(0xB0C0, 0x123456789ABCull, 5);
    EXPECT_EQ(p.size(), 4u + 12 + 5);
    EXPECT_EQ(p.substr(0, 8), bytes_of({0x10, 0x00, 17, 0, 17, 0, 0xC0, 0xB0}));
    dm::LogPacket packet;
    ASSERT_TRUE(dm::parse_log_packet(reinterpret_cast<const uint8_t*>(p.data()), p.size(), &packet));
    EXPECT_EQ(packet.code, 0xB0C0);
    EXPECT_EQ(packet.timestamp, 0x123456789ABCull);
    EXPECT_EQ(packet.data_size, 5u);
    EXPECT_EQ(dm::equipment_of(0xB0C0), 0xBu);
    EXPECT_EQ(dm::item_of(0xB0C0), 0x0C0u);
    EXPECT_FALSE(dm::parse_log_packet(reinterpret_cast<const uint8_t*>(p.data()), p.size() - 1, &packet));

    const std::string wrapped = bytes_of({0x98, 0x01, 0, 0, 2, 0, 0, 0}) + p;
    uint32_t subscription = 0;
    const uint8_t* inner = nullptr;
    size_t inner_size = 0;
    ASSERT_TRUE(dm::unwrap_dual_sim(reinterpret_cast<const uint8_t*>(wrapped.data()), wrapped.size(), &subscription,
                                    &inner, &inner_size));
    EXPECT_EQ(subscription, 2u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(inner), inner_size), p);
    EXPECT_TRUE(dm::has_consistent_lengths(reinterpret_cast<const uint8_t*>(wrapped.data()), wrapped.size()));

    // 2024-03-01 12:00:00.125 UTC, in whole 1.25 ms ticks since 1980-01-06.
    const int64_t unix_us = 1709294400125000;
    const uint64_t stamp = dm::diag_time_from_unix_us(unix_us);
    EXPECT_EQ(stamp >> 16, static_cast<uint64_t>((unix_us - 315964800000000) / 1250));
    EXPECT_EQ(stamp & 0xFFFF, 0u);
    EXPECT_EQ(dm::unix_us_from_diag_time(stamp), unix_us);
    char text[40];
    dm::format_utc(unix_us, text, sizeof text);
    EXPECT_STREQ(text, "2024-03-01 12:00:00.125");
}

// Split points are tried at every candidate, yet no split is taken that
// leaves a frame whose lengths disagree: not behind decoys that pass for a
// log packet's start, not inside a run of header words.
TEST(Frame, SplitsTakeOnlyAFrameThatChecksAndWhoseLengthsAgree) {
    const std::string real = log_payload(0xB0C0, 7, 300);
    // Decoys: log packet starts whose lengths reach exactly to the frame's
    // end, so only their CRC tells them apart.
    std::string junk(5000, '\x11');
    const size_t fill = junk.size() + real.size() + dm::crc_size;
    for (size_t s = 100; s + 6 < junk.size(); s += 7) {
        const size_t length = fill - dm::crc_size - s - 4;
        std::string start = bytes_of({0x10, 0x00});
        dm::put_le(length, 2, &start);
        dm::put_le(length, 2, &start);
        if (start.find_first_of("\x7E\x7D") == std::string::npos) junk.replace(s, 6, start);
    }
    const std::vector<Seen> seen = parse(junk + framed(real), 4096);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], (Seen{dm::ParseEvent::outside, dm::FrameStatus::good, 0, junk.size(), ""}));
    EXPECT_EQ(seen[1].payload, real);

    std::string words;
    for (int i = 0; i < 32768; ++i) words += header_word();
    const std::vector<Seen> only_words = parse(words + "\x7E", 65536);
    ASSERT_EQ(only_words.size(), 1u);
    EXPECT_EQ(only_words[0].status, dm::FrameStatus::bad_crc);

    std::string wrong_length = log_payload(0xB0C0, 8);
    wrong_length[2] = static_cast<char>(wrong_length[2] + 1);
    const std::vector<Seen> behind_word = parse(header_word() + framed(wrong_length), 64);
    ASSERT_EQ(behind_word.size(), 1u);
    EXPECT_EQ(behind_word[0].status, dm::FrameStatus::bad_crc);
}
