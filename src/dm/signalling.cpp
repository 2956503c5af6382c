#include "dm/signalling.h"

#include <stdio.h>

#include "dm/packet.h"
#include "dm/signalling_parts.h"

namespace dm {

namespace {

constexpr uint64_t key_of(uint16_t code, uint32_t low) { return static_cast<uint64_t>(code) << 32 | low; }

// ---- NAS -----------------------------------------------------------------------

Decoded decode_lte_nas(const SignallingPacket& packet, const uint8_t* data, size_t size, SignallingPdu* pdu) {
    constexpr size_t header = 4;  // version, release triple
    if (size < 1) return skip_packet(packet, 0, "length does not match");
    if (data[0] != 1) return skip_packet(packet, data[0], "version not known");
    if (size <= header) return skip_packet(packet, data[0], "length does not match");
    const uint16_t code = packet.code;
    const bool protected_nas = code == 0xB0E0 || code == 0xB0E1 || code == 0xB0EA || code == 0xB0EB;
    const bool emm = code >= 0xB0EA;
    if (protected_nas && !packet.decoder->protected_nas) {
        ++packet.decoder->left_out;
        return Decoded::left_out;
    }
    pdu->type = gsmtap_type_lte_nas;
    pdu->subtype = protected_nas ? 1 : 0;
    pdu->uplink = (code & 1) != 0;
    pdu->channel = emm ? (protected_nas ? "LTE NAS EMM protected" : "LTE NAS EMM plain")
                       : (protected_nas ? "LTE NAS ESM protected" : "LTE NAS ESM plain");
    pdu->bytes.assign(reinterpret_cast<const char*>(data + header), size - header);
    return emit_pdu(packet, pdu);
}

Decoded decode_5gs_nas(const SignallingPacket& packet, const uint8_t* data, size_t size, SignallingPdu* pdu) {
    constexpr size_t header = 7;  // u32 version, release triple
    if (size < 4) return skip_packet(packet, 0, "length does not match");
    const uint32_t version = get_le32(data);
    if (version != 1) return skip_packet(packet, version, "version not known");
    if (size <= header) return skip_packet(packet, version, "length does not match");
    const uint16_t code = packet.code;
    const bool protected_nas = code == 0xB808 || code == 0xB809;
    if (protected_nas && !packet.decoder->protected_nas) {
        ++packet.decoder->left_out;
        return Decoded::left_out;
    }
    pdu->gsmtap = false;
    pdu->dissector = "nas-5gs";
    // 0xB814 carries no direction of its own.
    pdu->uplink = code != 0xB814 && (code & 1) != 0;
    pdu->channel = protected_nas ? "5GS NAS protected" : code <= 0xB801 ? "5GS NAS 5GSM plain" : "5GS NAS 5GMM plain";
    pdu->bytes.assign(reinterpret_cast<const char*>(data + header), size - header);
    return emit_pdu(packet, pdu);
}

Decoded decode_umts_nas(const SignallingPacket& packet, const uint8_t* data, size_t size, SignallingPdu* pdu) {
    constexpr size_t header = 5;  // direction, u32 length
    if (size <= header || get_le32(data + 1) != size - header) return skip_packet(packet, 0, "length does not match");
    pdu->type = gsmtap_type_abis;
    pdu->uplink = data[0] == 1;
    pdu->channel = "GPRS/UMTS NAS";
    pdu->bytes.assign(reinterpret_cast<const char*>(data + header), size - header);
    return emit_pdu(packet, pdu);
}

// ---- WCDMA RRC and GSM RR ------------------------------------------------------

struct RrcChannel {
    const char* label;
    uint8_t subtype;  // GSMTAP UMTS RRC
    bool uplink;
};

// By the modem's channel number (0x80 less for those with UARFCN and PSC).
constexpr RrcChannel wcdma_channels[] = {
    {"WCDMA RRC UL-CCCH", 3, true},  {"WCDMA RRC UL-DCCH", 1, true},   {"WCDMA RRC DL-CCCH", 2, false},
    {"WCDMA RRC DL-DCCH", 0, false}, {"WCDMA RRC BCCH-BCH", 8, false}, {"WCDMA RRC BCCH-FACH", 7, false},
    {"WCDMA RRC PCCH", 4, false},    {"WCDMA RRC MCCH", 9, false},     {"WCDMA RRC MSCH", 10, false},
};

// The SIB-type byte's numbering is the modem's own, and nothing public ties
// it to Wireshark's single-SIB sub-types: those channels are skipped, not
// guessed at.
bool has_sib_type_byte(uint8_t channel) {
    return channel == 9 || channel == 0x89 || channel == 0xF0 || channel == 0xFE || channel == 0xFF;
}

Decoded decode_wcdma_rrc(const SignallingPacket& packet, const uint8_t* data, size_t size, SignallingPdu* pdu) {
    if (size < 4) return skip_packet(packet, 0, "length does not match");
    const uint8_t channel = data[0];
    if (has_sib_type_byte(channel)) return skip_packet(packet, channel, "SIB type not known");
    const bool with_cell = channel >= 0x80;
    const size_t number = with_cell ? channel - 0x80u : channel;
    if (number >= sizeof wcdma_channels / sizeof wcdma_channels[0])
        return skip_packet(packet, channel, "channel not known");
    const size_t header = with_cell ? 8 : 4;
    if (size <= header || get_le16(data + 2) != size - header)
        return skip_packet(packet, channel, "length does not match");
    pdu->type = gsmtap_type_umts_rrc;
    pdu->subtype = wcdma_channels[number].subtype;
    pdu->uplink = wcdma_channels[number].uplink;
    pdu->channel = wcdma_channels[number].label;
    if (with_cell) {
        pdu->has_arfcn = true;
        pdu->arfcn = get_le16(data + 4);
    }
    pdu->bytes.assign(reinterpret_cast<const char*>(data + header), size - header);
    return emit_pdu(packet, pdu);
}

constexpr const char* gsm_labels[] = {"GSM RR DCCH",  "GSM RR BCCH",  "GSM RR RACH",  "GSM RR CCCH",
                                      "GSM RR SACCH", "GSM RR SDCCH", "GSM RR FACCH", "GSM RR FACCH"};

Decoded decode_gsm_rr(const SignallingPacket& packet, const uint8_t* data, size_t size, SignallingPdu* pdu) {
    constexpr size_t header = 3;  // channel and direction, message type, length
    if (size < header) return skip_packet(packet, 0, "length does not match");
    const uint8_t channel = data[0] & 0x7F;
    if (channel >= sizeof gsm_labels / sizeof gsm_labels[0]) return skip_packet(packet, channel, "channel not known");
    // What the modem logs of an access burst is no layer-3 message, and no
    // Wireshark dissector takes it as it is.
    if (channel == 2) return skip_packet(packet, channel, "RACH not dissected");
    if (size <= header || data[2] != size - header) return skip_packet(packet, channel, "length does not match");
    pdu->uplink = (data[0] & 0x80) == 0;
    pdu->channel = gsm_labels[channel];
    if (channel == 1 || channel == 3) {
        pdu->type = gsmtap_type_um;
        pdu->subtype = channel == 1 ? 1 : 2;  // BCCH, CCCH
    } else {
        pdu->type = gsmtap_type_abis;
    }
    pdu->bytes.assign(reinterpret_cast<const char*>(data + header), size - header);
    return emit_pdu(packet, pdu);
}

bool is_lte_nas(uint16_t code) { return (code >= 0xB0E0 && code <= 0xB0E3) || (code >= 0xB0EA && code <= 0xB0ED); }

bool is_5gs_nas(uint16_t code) {
    return code == 0xB800 || code == 0xB801 || (code >= 0xB808 && code <= 0xB80B) || code == 0xB814;
}

// The separate dual-SIM codes: one radio-id byte, then the single-SIM form.
bool take_radio_id(SignallingPacket* packet, const uint8_t** data, size_t* size) {
    if (*size < 1) return false;
    packet->has_subscription = true;
    packet->subscription = static_cast<uint32_t>(**data) + 1;
    ++*data;
    --*size;
    return true;
}

Decoded dispatch(SignallingPacket* packet, const uint8_t* data, size_t size, SignallingPdu* pdu) {
    const uint16_t code = packet->code;
    if (code == 0xB0C0) return decode_lte_rrc(*packet, data, size, pdu);
    if (code == 0xB821) return decode_nr_rrc(*packet, data, size, pdu);
    if (is_lte_nas(code)) return decode_lte_nas(*packet, data, size, pdu);
    if (is_5gs_nas(code)) return decode_5gs_nas(*packet, data, size, pdu);
    if (code == 0x412F) return decode_wcdma_rrc(*packet, data, size, pdu);
    if (code == 0x512F) return decode_gsm_rr(*packet, data, size, pdu);
    if (code == 0x713A) return decode_umts_nas(*packet, data, size, pdu);
    if (code == 0x5B2F || code == 0x7B3A) {
        if (!take_radio_id(packet, &data, &size)) return skip_packet(*packet, 0, "length does not match");
        return code == 0x5B2F ? decode_gsm_rr(*packet, data, size, pdu) : decode_umts_nas(*packet, data, size, pdu);
    }
    return Decoded::none;
}

// What skipped_text calls the low half of a skip's key.
const char* key_name(uint16_t code) {
    if (code == 0x412F || code == 0x512F || code == 0x5B2F) return "channel";
    if (code == 0x713A || code == 0x7B3A) return nullptr;
    return "version";
}

}  // namespace

Decoded skip_packet(const SignallingPacket& packet, uint32_t key, const char* reason) {
    SkipCount& count = packet.decoder->skipped[key_of(packet.code, key)];
    if (count.packets == 0) count.reason = reason;
    ++count.packets;
    ++packet.decoder->skipped_packets;
    return Decoded::skipped;
}

Decoded emit_pdu(const SignallingPacket& packet, SignallingPdu* pdu) {
    pdu->timestamp = packet.timestamp;
    pdu->has_subscription = packet.has_subscription;
    pdu->subscription = packet.subscription;
    ++packet.decoder->decoded[pdu->channel];
    return Decoded::pdu;
}

Decoded take_segment(const SignallingPacket& packet, uint32_t version, uint8_t segment_id, const uint8_t* data,
                     size_t size, SignallingPdu* pdu) {
    const char* bytes = reinterpret_cast<const char*>(data);
    if (segment_id == 0) {
        pdu->bytes.assign(bytes, size);
        return emit_pdu(packet, pdu);
    }
    if (segment_id > 7) return skip_packet(packet, version, "segment id not known");
    SignallingDecoder* decoder = packet.decoder;
    const uint64_t key = key_of(packet.code, packet.subscription);
    auto found = decoder->partial.find(key);
    if (segment_id == 1) {
        // A message still open lost its last part.
        if (found != decoder->partial.end()) skip_packet(packet, found->second.version, "segment missing");
        SignallingDecoder::Partial& partial = decoder->partial[key];
        partial.bytes.assign(bytes, size);
        partial.next = 2;
        partial.version = version;
        partial.pdu = *pdu;
        return Decoded::pending;
    }
    if (found == decoder->partial.end() || (segment_id != 7 && segment_id != found->second.next)) {
        if (found != decoder->partial.end()) decoder->partial.erase(found);
        return skip_packet(packet, version, "segment missing");
    }
    SignallingDecoder::Partial& partial = found->second;
    partial.bytes.append(bytes, size);
    if (segment_id != 7) {
        partial.next = static_cast<uint8_t>(segment_id + 1);
        return Decoded::pending;
    }
    *pdu = partial.pdu;
    pdu->bytes.swap(partial.bytes);
    decoder->partial.erase(found);
    return emit_pdu(packet, pdu);
}

Decoded decode_signalling(SignallingDecoder* decoder, const uint8_t* payload, size_t size, SignallingPdu* pdu) {
    *pdu = SignallingPdu();
    SignallingPacket packet{decoder, 0, 0, false, 0};
    packet.has_subscription = skip_dual_sim(&payload, &size, &packet.subscription);
    LogPacket log;
    if (!parse_log_packet(payload, size, &log)) return Decoded::none;
    packet.code = log.code;
    packet.timestamp = log.timestamp;
    return dispatch(&packet, log.data, log.data_size, pdu);
}

void signalling_finish(SignallingDecoder* decoder) {
    for (const auto& entry : decoder->partial) {
        const SignallingPacket packet{decoder, static_cast<uint16_t>(entry.first >> 32), 0, false, 0};
        skip_packet(packet, entry.second.version, "segment missing");
    }
    decoder->partial.clear();
}

std::string skipped_text(const SignallingDecoder& decoder, const char* indent) {
    std::string out;
    for (const auto& entry : decoder.skipped) {
        const uint16_t code = static_cast<uint16_t>(entry.first >> 32);
        const unsigned key = static_cast<unsigned>(entry.first & 0xFFFFFFFFu);
        const char* name = key_name(code);
        const unsigned long long packets = entry.second.packets;
        char line[128];
        if (name != nullptr) {
            snprintf(line, sizeof line, "0x%04X %s %u: %llu packet%s (%s)\n", code, name, key, packets,
                     packets == 1 ? "" : "s", entry.second.reason);
        } else {
            snprintf(line, sizeof line, "0x%04X: %llu packet%s (%s)\n", code, packets, packets == 1 ? "" : "s",
                     entry.second.reason);
        }
        out += indent;
        out += line;
    }
    return out;
}

}  // namespace dm
