// The signalling decoder against payloads laid out per code and version, and
// the pcapng it writes, shown to tshark where it is installed.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "dm/packet.h"
#include "dm/pcapng.h"
#include "dm/signalling.h"
#include "dm_test_util.h"
#include "signalling_packets.h"
#include "test_support.h"

namespace {

constexpr uint64_t stamp = 0x0000123456780000ull;

struct Decoding {
    dm::SignallingDecoder decoder;
    dm::SignallingPdu pdu;

    dm::Decoded take(uint16_t code, const std::string& data, uint64_t timestamp = stamp) {
        std::string payload;
        dm::append_log_packet(code, timestamp, reinterpret_cast<const uint8_t*>(data.data()), data.size(), &payload);
        return take_payload(payload);
    }
    dm::Decoded take_payload(const std::string& payload) {
        return dm::decode_signalling(&decoder, reinterpret_cast<const uint8_t*>(payload.data()), payload.size(), &pdu);
    }
    // The reason the packets under (code, version) were skipped, or "".
    std::string skipped(uint16_t code, uint32_t version) const {
        auto found = decoder.skipped.find(static_cast<uint64_t>(code) << 32 | version);
        return found == decoder.skipped.end() ? "" : found->second.reason;
    }
};

const std::string message = "\x01\x7E\x7D\x02\x03";

// ---- LTE and NR RRC, every version ---------------------------------------------

struct LteRow {
    uint8_t version;
    size_t header;
    uint8_t dl_dcch, ul_ccch, nb_ul_dcch;  // 0: none in this version
};

const LteRow lte_rows[] = {
    {2, 13, 6, 7, 0},    {3, 13, 6, 7, 0},    {4, 13, 6, 7, 0},    {6, 17, 6, 7, 0},    {7, 17, 6, 7, 0},
    {8, 19, 6, 7, 0},    {9, 19, 13, 14, 0},  {12, 19, 13, 14, 0}, {13, 19, 6, 7, 0},   {14, 19, 7, 8, 0},
    {15, 19, 7, 8, 0},   {16, 19, 7, 8, 0},   {19, 19, 9, 10, 52}, {20, 19, 7, 8, 61},  {22, 19, 6, 7, 0},
    {24, 19, 7, 8, 61},  {25, 21, 7, 8, 61},  {26, 21, 9, 10, 52}, {27, 21, 9, 10, 52}, {29, 21, 9, 10, 52},
    {30, 24, 9, 10, 52}, {31, 24, 9, 10, 52},
};

TEST(SignallingLteRrc, EveryVersionsHeaderAndChannels) {
    for (const LteRow& row : lte_rows) {
        SCOPED_TRACE("version " + std::to_string(row.version));
        Decoding d;
        const std::string payload = sigpkt::lte_rrc_payload(row.version, row.dl_dcch, message);
        ASSERT_EQ(payload.size() - message.size(), row.header);
        ASSERT_EQ(d.take(0xB0C0, payload), dm::Decoded::pdu);
        EXPECT_STREQ(d.pdu.channel, "LTE RRC DL-DCCH");
        EXPECT_EQ(d.pdu.type, dm::gsmtap_type_lte_rrc);
        EXPECT_EQ(d.pdu.subtype, 1);
        EXPECT_FALSE(d.pdu.uplink);
        EXPECT_EQ(d.pdu.arfcn, 6300u);
        EXPECT_EQ(d.pdu.frame_number, 42u);
        EXPECT_EQ(d.pdu.bytes, message);
        EXPECT_EQ(d.pdu.timestamp, stamp);
        ASSERT_EQ(d.take(0xB0C0, sigpkt::lte_rrc_payload(row.version, row.ul_ccch, message)), dm::Decoded::pdu);
        EXPECT_EQ(d.pdu.subtype, 2);
        EXPECT_TRUE(d.pdu.uplink);
        if (row.nb_ul_dcch != 0) {
            ASSERT_EQ(d.take(0xB0C0, sigpkt::lte_rrc_payload(row.version, row.nb_ul_dcch, message)), dm::Decoded::pdu);
            EXPECT_STREQ(d.pdu.channel, "LTE RRC UL-DCCH-NB");
            EXPECT_EQ(d.pdu.subtype, 17);
        }
        EXPECT_EQ(d.decoder.decoded["LTE RRC DL-DCCH"], 1u);
        // One byte more than the length says, and a number no channel has.
        EXPECT_EQ(d.take(0xB0C0, sigpkt::lte_rrc_payload(row.version, row.dl_dcch, message) + "x"),
                  dm::Decoded::skipped);
        EXPECT_EQ(d.skipped(0xB0C0, row.version), "length does not match");
        EXPECT_EQ(d.take(0xB0C0, sigpkt::lte_rrc_payload(row.version, 99, message)), dm::Decoded::skipped);
        EXPECT_EQ(d.decoder.skipped_packets, 2u);
    }
}

TEST(SignallingLteRrc, UnknownVersionsAndCutHeadersAreSkipped) {
    Decoding d;
    for (uint8_t version : {1, 5, 10, 11, 17, 18, 21, 23, 28, 32}) {
        EXPECT_EQ(d.take(0xB0C0, sigpkt::lte_rrc_payload(version, 6, message)), dm::Decoded::skipped);
        EXPECT_EQ(d.skipped(0xB0C0, version), "version not known") << int(version);
    }
    EXPECT_EQ(d.take(0xB0C0, sigpkt::lte_rrc_payload(14, 6, message).substr(0, 12)), dm::Decoded::skipped);
    EXPECT_EQ(d.take(0xB0C0, sigpkt::lte_rrc_payload(14, 99, message)), dm::Decoded::skipped);
    EXPECT_EQ(d.skipped(0xB0C0, 14), "length does not match");  // the first reason stays
    EXPECT_EQ(d.decoder.skipped.at(0xB0C0ull << 32 | 14).packets, 2u);
    const std::string text = dm::skipped_text(d.decoder, "  ");
    EXPECT_NE(text.find("  0xB0C0 version 14: 2 packets (length does not match)\n"), std::string::npos) << text;
    EXPECT_NE(text.find("  0xB0C0 version 32: 1 packet (version not known)\n"), std::string::npos) << text;
    EXPECT_EQ(dm::skipped_text(Decoding().decoder, "  "), "");
}

struct NrRow {
    uint32_t version;
    size_t header;
    uint8_t ul_ccch, complete, bearer_config;
};

const NrRow nr_rows[] = {
    {9, 24, 6, 10, 25},  {12, 23, 6, 10, 25}, {14, 23, 6, 10, 28}, {17, 31, 6, 10, 29},
    {19, 32, 6, 10, 29}, {20, 32, 7, 11, 36}, {23, 35, 7, 11, 36}, {24, 35, 7, 11, 36},
    {25, 32, 6, 10, 29}, {26, 35, 7, 12, 36}, {28, 35, 7, 12, 36},
};

TEST(SignallingNrRrc, EveryVersionsHeaderAndChannels) {
    for (const NrRow& row : nr_rows) {
        SCOPED_TRACE("version " + std::to_string(row.version));
        Decoding d;
        sigpkt::Cell cell;
        cell.arfcn = 632628;
        const std::string payload = sigpkt::nr_rrc_payload(row.version, row.ul_ccch, message, 0, cell);
        ASSERT_EQ(payload.size() - message.size(), row.header);
        ASSERT_EQ(d.take(0xB821, payload), dm::Decoded::pdu);
        EXPECT_FALSE(d.pdu.gsmtap);
        EXPECT_STREQ(d.pdu.dissector, "nr-rrc.ul.ccch");
        EXPECT_STREQ(d.pdu.channel, "NR RRC UL-CCCH");
        EXPECT_TRUE(d.pdu.uplink);
        EXPECT_EQ(d.pdu.arfcn, 632628u);
        EXPECT_EQ(d.pdu.bytes, message);
        ASSERT_EQ(d.take(0xB821, sigpkt::nr_rrc_payload(row.version, row.complete, message)), dm::Decoded::pdu);
        EXPECT_STREQ(d.pdu.dissector, "nr-rrc.rrc_reconf_compl");
        ASSERT_EQ(d.take(0xB821, sigpkt::nr_rrc_payload(row.version, row.bearer_config, message)), dm::Decoded::pdu);
        EXPECT_STREQ(d.pdu.dissector, "nr-rrc.radiobearerconfig");
        EXPECT_EQ(d.take(0xB821, sigpkt::nr_rrc_payload(row.version, row.ul_ccch, message) + "x"),
                  dm::Decoded::skipped);
        EXPECT_EQ(d.skipped(0xB821, row.version), "length does not match");
        EXPECT_EQ(d.take(0xB821, sigpkt::nr_rrc_payload(row.version, 200, message)), dm::Decoded::skipped);
    }
    Decoding d;
    // Version 28 numbers UL-DCCH twice; an unfilled NR-ARFCN is no ARFCN.
    sigpkt::Cell unfilled;
    unfilled.arfcn = 0xFFFFFFFFu;
    ASSERT_EQ(d.take(0xB821, sigpkt::nr_rrc_payload(28, 10, message, 0, unfilled)), dm::Decoded::pdu);
    EXPECT_STREQ(d.pdu.channel, "NR RRC UL-DCCH");
    EXPECT_FALSE(d.pdu.has_arfcn);
    for (uint32_t version : {8u, 10u, 18u, 27u, 29u, 0x1000009u}) {
        EXPECT_EQ(d.take(0xB821, sigpkt::nr_rrc_payload(version, 6, message)), dm::Decoded::skipped);
        EXPECT_EQ(d.skipped(0xB821, version), "version not known") << version;
    }
}

// ---- segments ------------------------------------------------------------------

TEST(SignallingSegments, JoinedOnceAndALostPartCounted) {
    struct Code {
        uint16_t code;
        std::string (*part)(uint8_t segment, const std::string& bytes);
    };
    const Code codes[] = {
        {0xB0C0, [](uint8_t s, const std::string& b) { return sigpkt::lte_rrc_payload(30, 9, b, s); }},
        {0xB821, [](uint8_t s, const std::string& b) { return sigpkt::nr_rrc_payload(26, 4, b, s); }},
    };
    for (const Code& c : codes) {
        SCOPED_TRACE(c.code);
        Decoding d;
        EXPECT_EQ(d.take(c.code, c.part(1, "ab")), dm::Decoded::pending);
        EXPECT_EQ(d.take(c.code, c.part(2, "cd")), dm::Decoded::pending);
        ASSERT_EQ(d.take(c.code, c.part(7, "ef"), stamp + 0x10000), dm::Decoded::pdu);
        EXPECT_EQ(d.pdu.bytes, "abcdef");
        EXPECT_EQ(d.pdu.timestamp, stamp + 0x10000);  // the last part's
        EXPECT_EQ(d.decoder.decoded.begin()->second, 1u);
        // Part 2 lost: the message is dropped, and so is a last part with no
        // start; a message left open at the end is counted too.
        EXPECT_EQ(d.take(c.code, c.part(1, "ab")), dm::Decoded::pending);
        EXPECT_EQ(d.take(c.code, c.part(3, "cd")), dm::Decoded::skipped);
        EXPECT_EQ(d.take(c.code, c.part(7, "ef")), dm::Decoded::skipped);
        EXPECT_EQ(d.take(c.code, c.part(1, "ab")), dm::Decoded::pending);
        dm::signalling_finish(&d.decoder);
        EXPECT_EQ(d.decoder.skipped_packets, 3u);
        EXPECT_TRUE(d.decoder.partial.empty());
        EXPECT_EQ(d.decoder.skipped.begin()->second.reason, std::string("segment missing"));
        EXPECT_EQ(d.decoder.decoded.begin()->second, 1u);
    }
}

// ---- NAS, WCDMA RRC, GSM RR ----------------------------------------------------

TEST(SignallingOtherCodes, ChannelsDirectionsAndSkips) {
    Decoding d;
    ASSERT_EQ(d.take(0xB0ED, sigpkt::lte_nas_payload("\x07\x41")), dm::Decoded::pdu);
    EXPECT_STREQ(d.pdu.channel, "LTE NAS EMM plain");
    EXPECT_EQ(d.pdu.subtype, 0);
    EXPECT_TRUE(d.pdu.uplink);
    EXPECT_EQ(d.pdu.bytes, "\x07\x41");
    ASSERT_EQ(d.take(0xB0E0, sigpkt::lte_nas_payload("\x27\x01")), dm::Decoded::pdu);
    EXPECT_EQ(d.pdu.subtype, 1);
    EXPECT_FALSE(d.pdu.uplink);
    EXPECT_EQ(d.take(0xB0EC, sigpkt::lte_nas_payload("\x07\x55", 2)), dm::Decoded::skipped);
    ASSERT_EQ(d.take(0xB80B, sigpkt::nas5gs_payload(bytes_of({0x7E, 0x00, 0x41}))), dm::Decoded::pdu);
    EXPECT_STREQ(d.pdu.dissector, "nas-5gs");
    EXPECT_STREQ(d.pdu.channel, "5GS NAS 5GMM plain");
    EXPECT_EQ(d.pdu.bytes, bytes_of({0x7E, 0x00, 0x41}));
    EXPECT_EQ(d.take(0xB80C, sigpkt::nas5gs_payload("\x7E")), dm::Decoded::none);
    EXPECT_EQ(d.take(0xB800, sigpkt::nas5gs_payload("\x2E", 2)), dm::Decoded::skipped);
    d.decoder.protected_nas = false;
    EXPECT_EQ(d.take(0xB809, sigpkt::nas5gs_payload("\x7E\x01")), dm::Decoded::left_out);
    EXPECT_EQ(d.take(0xB0EB, sigpkt::lte_nas_payload("\x27\x01")), dm::Decoded::left_out);
    EXPECT_EQ(d.decoder.left_out, 2u);

    ASSERT_EQ(d.take(0x412F, sigpkt::wcdma_rrc_payload(0x84, message, 10713)), dm::Decoded::pdu);
    EXPECT_EQ(d.pdu.type, dm::gsmtap_type_umts_rrc);
    EXPECT_EQ(d.pdu.subtype, 8);
    EXPECT_EQ(d.pdu.arfcn, 10713u);
    EXPECT_EQ(d.pdu.bytes, message);
    ASSERT_EQ(d.take(0x412F, sigpkt::wcdma_rrc_payload(0, message)), dm::Decoded::pdu);
    EXPECT_EQ(d.pdu.subtype, 3);
    EXPECT_TRUE(d.pdu.uplink);
    EXPECT_FALSE(d.pdu.has_arfcn);
    EXPECT_EQ(d.take(0x412F, sigpkt::wcdma_rrc_payload(0x89, "\x05" + message)), dm::Decoded::skipped);
    EXPECT_EQ(d.skipped(0x412F, 0x89), "SIB type not known");
    EXPECT_EQ(d.take(0x412F, sigpkt::wcdma_rrc_payload(0x83, message) + "x"), dm::Decoded::skipped);

    ASSERT_EQ(d.take(0x512F, sigpkt::gsm_rr_payload(0x83, 0x21, sigpkt::gsm_paging_request())), dm::Decoded::pdu);
    EXPECT_EQ(d.pdu.type, dm::gsmtap_type_um);
    EXPECT_EQ(d.pdu.subtype, 2);
    EXPECT_FALSE(d.pdu.uplink);
    ASSERT_EQ(d.take(0x512F, sigpkt::gsm_rr_payload(0x05, 0x29, "\x06\x29")), dm::Decoded::pdu);
    EXPECT_EQ(d.pdu.type, dm::gsmtap_type_abis);
    EXPECT_TRUE(d.pdu.uplink);
    EXPECT_EQ(d.take(0x512F, sigpkt::gsm_rr_payload(0x02, 0, "\x23")), dm::Decoded::skipped);
    EXPECT_EQ(d.take(0x512F, sigpkt::gsm_rr_payload(0x81, 0x1B, "\x06\x1B").substr(0, 4)), dm::Decoded::skipped);

    ASSERT_EQ(d.take(0x713A, sigpkt::umts_nas_payload(true, "\x08\x01")), dm::Decoded::pdu);
    EXPECT_STREQ(d.pdu.channel, "GPRS/UMTS NAS");
    EXPECT_TRUE(d.pdu.uplink);
    EXPECT_FALSE(d.pdu.has_subscription);
    ASSERT_EQ(d.take(0x7B3A, "\x01" + sigpkt::umts_nas_payload(false, "\x08\x15\x01")), dm::Decoded::pdu);
    EXPECT_EQ(d.pdu.bytes, "\x08\x15\x01");
    EXPECT_TRUE(d.pdu.has_subscription);
    EXPECT_EQ(d.pdu.subscription, 2u);
    EXPECT_EQ(d.take(0x5B2F, ""), dm::Decoded::skipped);
    EXPECT_EQ(d.decoder.decoded["GSM RR CCCH"], 1u);
}

TEST(SignallingOtherCodes, DualSimWrapperGivesTheSubscription) {
    Decoding d;
    std::string inner;
    const std::string data = sigpkt::lte_nas_payload(sigpkt::eps_identity_request());
    dm::append_log_packet(0xB0EC, stamp, reinterpret_cast<const uint8_t*>(data.data()), data.size(), &inner);
    std::string wrapped("\x98\x01\x00\x00", 4);
    dm::put_le(2, 4, &wrapped);
    ASSERT_EQ(d.take_payload(wrapped + inner), dm::Decoded::pdu);
    EXPECT_TRUE(d.pdu.has_subscription);
    EXPECT_EQ(d.pdu.subscription, 2u);
    EXPECT_EQ(d.take_payload("\x60\x01"), dm::Decoded::none);
}

// ---- the pcapng ------------------------------------------------------------------

std::string scratch(const char* name) { return ::testing::TempDir() + "orlith_sig_" + name + ".pcapng"; }

TEST(SignallingPcapng, TsharkDecodesEveryRealMessage) {
    const std::string path = scratch("real");
    dm::PcapngWriter writer;
    std::string error;
    ASSERT_TRUE(dm::pcapng_open(&writer, path.c_str(), &error)) << error;
    const std::vector<sigpkt::RealMessage> messages = sigpkt::real_messages();
    for (const sigpkt::RealMessage& m : messages) {
        Decoding d;
        ASSERT_EQ(d.take(m.code, m.data), dm::Decoded::pdu) << m.info;
        dm::pcapng_add_signalling(&writer, d.pdu);
    }
    ASSERT_TRUE(dm::pcapng_close(&writer, path.c_str(), &error)) << error;
    if (access("/usr/bin/tshark", X_OK) != 0) {
        GTEST_SKIP() << "TSHARK IS NOT INSTALLED (Debian package tshark): the signalling pcapng was NOT shown to "
                        "Wireshark";
    }
    std::string listing;
    ASSERT_TRUE(tshark_fields(path, "-e frame.protocols -e _ws.malformed -e _ws.col.Info", &listing));
    size_t at = 0;
    for (const sigpkt::RealMessage& m : messages) {
        const size_t end = listing.find('\n', at);
        ASSERT_NE(end, std::string::npos) << listing;
        const std::string line = listing.substr(at, end - at);
        at = end + 1;
        const size_t tab = line.find('\t');
        ASSERT_NE(tab, std::string::npos) << line;
        const std::string stack = line.substr(0, tab);
        EXPECT_EQ(stack.substr(stack.size() - std::min(stack.size(), strlen(m.stack_end))), m.stack_end) << line;
        EXPECT_EQ(line.substr(tab, 2), "\t\t") << "malformed: " << line;
        EXPECT_NE(line.find(m.info), std::string::npos) << line;
    }
    EXPECT_EQ(at, listing.size()) << listing;
}

// The EPBs' interface, 64-bit time and comment, read back from the file.
struct Epb {
    uint32_t interface;
    uint64_t time_us;
    std::string comment;
};

std::vector<Epb> read_epbs(const std::string& file) {
    std::vector<Epb> out;
    for (size_t at = 0; at + 12 <= file.size();) {
        const uint8_t* b = reinterpret_cast<const uint8_t*>(file.data()) + at;
        const uint32_t type = dm::get_le32(b), total = dm::get_le32(b + 4);
        if (total < 12 || at + total > file.size()) break;
        if (type == 6) {
            Epb epb{dm::get_le32(b + 8), static_cast<uint64_t>(dm::get_le32(b + 12)) << 32 | dm::get_le32(b + 16), ""};
            size_t option = 28 + (dm::get_le32(b + 20) + 3) / 4 * 4;
            if (option + 4 <= total - 4 && dm::get_le16(b + option) == 1)
                epb.comment.assign(reinterpret_cast<const char*>(b + option + 4), dm::get_le16(b + option + 2));
            out.push_back(epb);
        }
        at += total;
    }
    return out;
}

TEST(SignallingPcapng, CommentsAndTimesPast2106) {
    const std::string path = scratch("comments");
    dm::PcapngWriter writer;
    std::string error;
    ASSERT_TRUE(dm::pcapng_open(&writer, path.c_str(), &error)) << error;
    // 2200-01-01 is past the 32-bit seconds of classic pcap.
    const int64_t year_2200_us = 7258118400ll * 1000000;
    dm::SignallingPdu pdu;
    pdu.type = dm::gsmtap_type_lte_rrc;
    pdu.has_arfcn = true;
    pdu.arfcn = 66786;
    pdu.has_subscription = true;
    pdu.subscription = 2;
    pdu.timestamp = dm::diag_time_from_unix_us(year_2200_us);
    pdu.bytes = sigpkt::lte_mib();
    dm::pcapng_add_signalling(&writer, pdu);
    pdu.has_subscription = false;
    pdu.arfcn = 6300;
    pdu.gsmtap = false;
    pdu.dissector = "nr-rrc.bcch.bch";
    pdu.has_subscription = true;
    pdu.subscription = 1;
    dm::pcapng_add_signalling(&writer, pdu);
    const std::string raw = "\x60\x01";
    dm::pcapng_add_raw(&writer, reinterpret_cast<const uint8_t*>(raw.data()), raw.size());
    ASSERT_TRUE(dm::pcapng_close(&writer, path.c_str(), &error)) << error;
    const std::vector<Epb> epbs = read_epbs(read_file(path));
    ASSERT_EQ(epbs.size(), 3u);
    EXPECT_EQ(epbs[0].interface, 0u);
    EXPECT_EQ(epbs[0].comment, "subscription 2; ARFCN 66786");
    EXPECT_EQ(epbs[1].interface, 1u);
    EXPECT_EQ(epbs[1].comment, "subscription 1");
    EXPECT_EQ(epbs[2].comment, "");
    const uint64_t expected_us = static_cast<uint64_t>(dm::unix_us_from_diag_time(pdu.timestamp));
    EXPECT_GT(expected_us / 1000000, 0xFFFFFFFFull);                  // past what 32 bits of seconds hold
    for (const Epb& epb : epbs) EXPECT_EQ(epb.time_us, expected_us);  // the raw one: the last seen
    if (access("/usr/bin/tshark", X_OK) != 0) GTEST_SKIP() << "TSHARK IS NOT INSTALLED: the times were not read back";
    std::string listing;
    ASSERT_TRUE(tshark_fields(path, "-e frame.time_epoch -e gsmtap.arfcn -e frame.comment", &listing));
    EXPECT_EQ(listing.substr(0, 5), "72581") << listing;
    EXPECT_NE(listing.find("\t0\tsubscription 2; ARFCN 66786"), std::string::npos) << listing;
}

}  // namespace
