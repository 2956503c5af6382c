// LTE RRC (0xB0C0) and NR RRC (0xB821): each modem generation moves the
// header's fields and renumbers the channels, so both are looked up per
// version here, and a version missing from either table is never guessed.
#include <stddef.h>
#include <stdint.h>

#include "dm/packet.h"
#include "dm/signalling_parts.h"

namespace dm {

namespace {

// ---- LTE RRC -----------------------------------------------------------------

struct LteLayout {
    uint8_t first, last;  // versions
    uint8_t earfcn_bytes;
    bool nr_release;  // the NR release and minor after the LTE ones
    bool sib_mask;
    bool segmented;  // 2 unknown bytes and the segment id after the length
};

constexpr LteLayout lte_layouts[] = {
    {2, 4, 2, false, false, false}, {5, 7, 2, false, true, false}, {8, 24, 4, false, true, false},
    {25, 29, 4, true, true, false}, {30, 31, 4, true, true, true},
};

struct LteChannel {
    const char* label;
    uint8_t subtype;  // GSMTAP LTE RRC
    bool uplink;
};

// In the order of LteMap::numbers.
constexpr LteChannel lte_channels[] = {
    {"LTE RRC BCCH-BCH", 4, false},     {"LTE RRC BCCH-DL-SCH", 5, false},
    {"LTE RRC MCCH", 7, false},         {"LTE RRC PCCH", 6, false},
    {"LTE RRC DL-CCCH", 0, false},      {"LTE RRC DL-DCCH", 1, false},
    {"LTE RRC UL-CCCH", 2, true},       {"LTE RRC UL-DCCH", 3, true},
    {"LTE RRC BCCH-BCH-NB", 18, false}, {"LTE RRC BCCH-DL-SCH-NB", 20, false},
    {"LTE RRC PCCH-NB", 21, false},     {"LTE RRC DL-CCCH-NB", 14, false},
    {"LTE RRC DL-DCCH-NB", 15, false},  {"LTE RRC UL-CCCH-NB", 16, true},
    {"LTE RRC UL-DCCH-NB", 17, true},
};
constexpr size_t lte_channel_count = sizeof lte_channels / sizeof lte_channels[0];

// 0 ends a version list and marks a channel a version does not have.
struct LteMap {
    uint8_t versions[8];
    uint8_t numbers[lte_channel_count];
};

constexpr LteMap lte_maps[] = {
    {{2, 3, 4, 6, 7, 8, 13, 22}, {1, 2, 3, 4, 5, 6, 7, 8}},
    {{9, 12}, {8, 9, 10, 11, 12, 13, 14, 15}},
    {{14, 15, 16}, {1, 2, 4, 5, 6, 7, 8, 9}},
    {{20, 24, 25}, {1, 2, 4, 5, 6, 7, 8, 9, 54, 55, 56, 57, 58, 59, 61}},
    {{19, 26, 27, 29, 30, 31}, {1, 3, 6, 7, 8, 9, 10, 11, 45, 46, 47, 48, 49, 50, 52}},
};

template <size_t count>
bool listed(const uint8_t (&versions)[count], uint32_t version) {
    for (uint8_t v : versions) {
        if (v != 0 && v == version) return true;
    }
    return false;
}

const LteLayout* lte_layout(uint32_t version) {
    for (const LteLayout& layout : lte_layouts) {
        if (version >= layout.first && version <= layout.last) return &layout;
    }
    return nullptr;
}

const LteMap* lte_map(uint32_t version) {
    for (const LteMap& map : lte_maps) {
        if (listed(map.versions, version)) return &map;
    }
    return nullptr;
}

const LteChannel* lte_channel(const LteMap& map, uint8_t number) {
    for (size_t i = 0; i < lte_channel_count; ++i) {
        if (number != 0 && map.numbers[i] == number) return &lte_channels[i];
    }
    return nullptr;
}

// ---- NR RRC ------------------------------------------------------------------

struct NrLayout {
    uint8_t versions[4];
    bool cell_global_id;  // the NR-CGI u64 after the PCI
    uint8_t sfn_bytes;
    uint8_t after_length;  // unknown bytes after the length
    bool segmented;        // and then the segment id
};

// Version 17 and later keep the 3-byte SFN/slot of 12 and 14: their header
// sizes (31, 32, 35) only add up that way.
constexpr NrLayout nr_layouts[] = {
    {{9}, false, 4, 0, false},         {{12, 14}, false, 3, 0, false},       {{17}, true, 3, 0, false},
    {{19, 20, 25}, true, 3, 1, false}, {{23, 24, 26, 28}, true, 3, 3, true},
};

struct NrChannel {
    const char* label;
    const char* dissector;
    bool uplink;
};

// In the order of NrMap::numbers; the last is a second number of UL-DCCH.
constexpr NrChannel nr_channels[] = {
    {"NR RRC BCCH-BCH", "nr-rrc.bcch.bch", false},
    {"NR RRC BCCH-DL-SCH", "nr-rrc.bcch.dl.sch", false},
    {"NR RRC DL-CCCH", "nr-rrc.dl.ccch", false},
    {"NR RRC DL-DCCH", "nr-rrc.dl.dcch", false},
    {"NR RRC MCCH", "nr-rrc.mcch", false},
    {"NR RRC PCCH", "nr-rrc.pcch", false},
    {"NR RRC UL-CCCH", "nr-rrc.ul.ccch", true},
    {"NR RRC UL-CCCH1", "nr-rrc.ul.ccch1", true},
    {"NR RRC UL-DCCH", "nr-rrc.ul.dcch", true},
    {"NR RRC RRCReconfiguration", "nr-rrc.rrc_reconf", false},
    // Wireshark 4.0 has no dissector of this name yet; later ones do.
    {"NR RRC RRCReconfigurationComplete", "nr-rrc.rrc_reconf_compl", true},
    {"NR RRC RadioBearerConfig", "nr-rrc.radiobearerconfig", false},
    {"NR RRC UL-DCCH", "nr-rrc.ul.dcch", true},
};
constexpr size_t nr_channel_count = sizeof nr_channels / sizeof nr_channels[0];

struct NrMap {
    uint8_t versions[3];
    uint8_t numbers[nr_channel_count];
};

constexpr NrMap nr_maps[] = {
    {{9, 12}, {1, 2, 3, 4, 0, 5, 6, 7, 8, 9, 10, 25}},      {{14}, {1, 2, 3, 4, 0, 5, 6, 7, 8, 9, 10, 28}},
    {{17, 19, 25}, {1, 2, 3, 4, 0, 5, 6, 7, 8, 9, 10, 29}}, {{20, 23, 24}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 36}},
    {{26}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 11, 12, 36}},        {{28}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 11, 12, 36, 10}},
};

const NrLayout* nr_layout(uint32_t version) {
    for (const NrLayout& layout : nr_layouts) {
        if (listed(layout.versions, version)) return &layout;
    }
    return nullptr;
}

const NrMap* nr_map(uint32_t version) {
    for (const NrMap& map : nr_maps) {
        if (listed(map.versions, version)) return &map;
    }
    return nullptr;
}

const NrChannel* nr_channel(const NrMap& map, uint8_t number) {
    for (size_t i = 0; i < nr_channel_count; ++i) {
        if (number != 0 && map.numbers[i] == number) return &nr_channels[i];
    }
    return nullptr;
}

}  // namespace

size_t lte_rrc_header_size(uint32_t version) {
    const LteLayout* layout = lte_layout(version);
    if (layout == nullptr) return 0;
    return 1 + 2 + (layout->nr_release ? 2 : 0) + 1 + 2 + layout->earfcn_bytes + 2 + 1 + (layout->sib_mask ? 4 : 0) +
           2 + (layout->segmented ? 3 : 0);
}

size_t nr_rrc_header_size(uint32_t version) {
    const NrLayout* layout = nr_layout(version);
    if (layout == nullptr) return 0;
    return 4 + 3 + 2 + (layout->cell_global_id ? 8 : 0) + 4 + layout->sfn_bytes + 1 + 4 + 2 + layout->after_length +
           (layout->segmented ? 1 : 0);
}

Decoded decode_lte_rrc(const SignallingPacket& packet, const uint8_t* data, size_t size, SignallingPdu* pdu) {
    if (size < 1) return skip_packet(packet, 0, "length does not match");
    const uint8_t version = data[0];
    const LteLayout* layout = lte_layout(version);
    const LteMap* map = lte_map(version);
    if (layout == nullptr || map == nullptr) return skip_packet(packet, version, "version not known");
    const size_t header = lte_rrc_header_size(version);
    if (size < header) return skip_packet(packet, version, "length does not match");
    size_t at = 1 + 2 + (layout->nr_release ? 2 : 0) + 1 + 2;  // to the EARFCN
    const uint32_t earfcn = layout->earfcn_bytes == 2 ? get_le16(data + at) : get_le32(data + at);
    at += layout->earfcn_bytes;
    const uint16_t sfn = get_le16(data + at);
    const uint8_t number = data[at + 2];
    at += 3 + (layout->sib_mask ? 4 : 0);
    if (get_le16(data + at) != size - header) return skip_packet(packet, version, "length does not match");
    const LteChannel* channel = lte_channel(*map, number);
    if (channel == nullptr) return skip_packet(packet, version, "PDU number not known");
    pdu->type = gsmtap_type_lte_rrc;
    pdu->subtype = channel->subtype;
    pdu->uplink = channel->uplink;
    pdu->channel = channel->label;
    pdu->has_arfcn = true;
    pdu->arfcn = earfcn;
    pdu->frame_number = sfn >> 4;
    const uint8_t segment = layout->segmented ? data[header - 1] : 0;
    return take_segment(packet, version, segment, data + header, size - header, pdu);
}

Decoded decode_nr_rrc(const SignallingPacket& packet, const uint8_t* data, size_t size, SignallingPdu* pdu) {
    if (size < 4) return skip_packet(packet, 0, "length does not match");
    const uint32_t version = get_le32(data);
    const NrLayout* layout = nr_layout(version);
    const NrMap* map = nr_map(version);
    if (layout == nullptr || map == nullptr) return skip_packet(packet, version, "version not known");
    const size_t header = nr_rrc_header_size(version);
    if (size < header) return skip_packet(packet, version, "length does not match");
    size_t at = 4 + 3 + 2 + (layout->cell_global_id ? 8 : 0);  // to the NR-ARFCN
    const uint32_t arfcn = get_le32(data + at);
    at += 4 + layout->sfn_bytes;
    const uint8_t number = data[at];
    at += 1 + 4;
    if (get_le16(data + at) != size - header) return skip_packet(packet, version, "length does not match");
    const NrChannel* channel = nr_channel(*map, number);
    if (channel == nullptr) return skip_packet(packet, version, "PDU number not known");
    pdu->gsmtap = false;
    pdu->dissector = channel->dissector;
    pdu->uplink = channel->uplink;
    pdu->channel = channel->label;
    // All ones is a cell the modem had not filled in yet.
    pdu->has_arfcn = arfcn != 0xFFFFFFFFu;
    pdu->arfcn = pdu->has_arfcn ? arfcn : 0;
    const uint8_t segment = layout->segmented ? data[header - 1] : 0;
    return take_segment(packet, version, segment, data + header, size - header, pdu);
}

}  // namespace dm
