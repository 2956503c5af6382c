// The payloads of the modem's signalling log packets (without the log
// header: dm::append_log_packet adds it), built the way each code and
// version lays them out, and a few real over-the-air messages to put in
// them. The tests of orlith-dm's decoder and the simulated phone's modem
// both take them from here, so that what the phone sends is what the
// decoder was shown to read.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace sigpkt {

inline void put_le(uint64_t value, int bytes, std::string* out) {
    for (int i = 0; i < bytes; ++i) out->push_back(static_cast<char>(value >> (8 * i)));
}

// The cell a message was heard on; all ones is what a modem logs before it
// knows.
struct Cell {
    uint16_t pci = 301;
    uint32_t arfcn = 6300;
    uint32_t sfn_subframe = 0x2A5;  // SFN 42, subframe 5 in LTE
};

// 0xB0C0 versions 2-31; the length is the message's (a test wanting a wrong
// one changes the bytes afterwards).
inline std::string lte_rrc_payload(uint8_t version, uint8_t pdu_number, const std::string& message,
                                   uint8_t segment_id = 0, const Cell& cell = Cell()) {
    std::string out(1, static_cast<char>(version));
    out += std::string("\x0F\x00", 2);                     // release 15.0
    if (version >= 25) out += std::string("\x0F\x03", 2);  // NR release 15.3
    out.push_back(1);                                      // radio bearer
    put_le(cell.pci, 2, &out);
    put_le(cell.arfcn, version >= 8 ? 4 : 2, &out);
    put_le(cell.sfn_subframe, 2, &out);
    out.push_back(static_cast<char>(pdu_number));
    if (version >= 5) put_le(0, 4, &out);  // SIB mask
    put_le(message.size(), 2, &out);
    if (version >= 30) {
        out.append(2, '\0');
        out.push_back(static_cast<char>(segment_id));
    }
    return out + message;
}

// 0xB821 versions 9-28.
inline std::string nr_rrc_payload(uint32_t version, uint8_t pdu_id, const std::string& message, uint8_t segment_id = 0,
                                  const Cell& cell = Cell()) {
    std::string out;
    put_le(version, 4, &out);
    out += std::string("\x0F\x03\x01", 3);  // release 15.3, radio bearer
    put_le(cell.pci, 2, &out);
    if (version >= 17) put_le(0x00F110000001234ull, 8, &out);  // NR-CGI
    put_le(cell.arfcn, 4, &out);
    put_le(cell.sfn_subframe, version == 9 ? 4 : 3, &out);
    out.push_back(static_cast<char>(pdu_id));
    put_le(0, 4, &out);  // SIB mask
    put_le(message.size(), 2, &out);
    if (version == 19 || version == 20 || version == 25) out.push_back(0);
    if (version == 23 || version == 24 || version >= 26) {
        out.append(3, '\0');
        out.push_back(static_cast<char>(segment_id));
    }
    return out + message;
}

// 0xB0E0-0xB0ED: version 1, release 13.0.0, the NAS message.
inline std::string lte_nas_payload(const std::string& pdu, uint8_t version = 1) {
    return std::string(1, static_cast<char>(version)) + std::string("\x0D\x00\x00", 3) + pdu;
}

// 0xB800-0xB814: u32 version 1, release 15.3.0, the NAS message.
inline std::string nas5gs_payload(const std::string& pdu, uint32_t version = 1) {
    std::string out;
    put_le(version, 4, &out);
    return out + std::string("\x0F\x03\x00", 3) + pdu;
}

// 0x412F: a channel below 0x80 has no cell; 0x80 + the channel adds the
// UARFCN and PSC.
inline std::string wcdma_rrc_payload(uint8_t channel, const std::string& message, uint16_t uarfcn = 10713,
                                     uint16_t psc = 123) {
    std::string out(1, static_cast<char>(channel));
    out.push_back(0);  // radio bearer
    put_le(message.size(), 2, &out);
    if (channel >= 0x80) {
        put_le(uarfcn, 2, &out);
        put_le(psc, 2, &out);
    }
    return out + message;
}

// 0x512F: the channel with bit 7 set for the downlink.
inline std::string gsm_rr_payload(uint8_t channel_and_direction, uint8_t message_type, const std::string& message) {
    std::string out(1, static_cast<char>(channel_and_direction));
    out.push_back(static_cast<char>(message_type));
    out.push_back(static_cast<char>(message.size()));
    return out + message;
}

// 0x713A: direction 1 is uplink.
inline std::string umts_nas_payload(bool uplink, const std::string& message) {
    std::string out(1, static_cast<char>(uplink ? 1 : 0));
    put_le(message.size(), 4, &out);
    return out + message;
}

// ---- real messages, each checked by tshark 4.0.17 ------------------------------

inline std::string hex_bytes(const char* hex) {
    std::string out;
    auto nibble = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
    for (; hex[0] != '\0' && hex[1] != '\0'; hex += 2)
        out.push_back(static_cast<char>(nibble(hex[0]) << 4 | nibble(hex[1])));
    return out;
}

// LTE UL-CCCH RRCConnectionRequest: randomValue 0x123456789A, mo-Signalling.
inline std::string lte_rrc_connection_request() { return hex_bytes("5123456789a6"); }
// LTE BCCH-BCH MasterInformationBlock: 100 RBs, PHICH normal/one, SFN 42 (upper 8 bits).
inline std::string lte_mib() { return hex_bytes("a8a800"); }
// NR UL-CCCH RRCSetupRequest: a 39-bit randomValue, mo-Signalling.
inline std::string nr_rrc_setup_request() { return hex_bytes("154b4b4b4b46"); }
// NR BCCH-BCH MIB: SFN 42 (upper 6 bits), 30 kHz, CORESET#0 12, not barred.
inline std::string nr_mib() { return hex_bytes("550604"); }
// EPS EMM Identity request (plain), for the IMSI.
inline std::string eps_identity_request() { return hex_bytes("075501"); }
// 5GMM Registration request (plain), initial, SUCI of IMSI 001 01 1234567890
// with the null scheme.
inline std::string nr_registration_request() { return hex_bytes("7e004179000d0100f110f0ff000021436587f9"); }
// WCDMA UL-CCCH RRC Connection Request: IMSI 001011234567890, registration.
inline std::string wcdma_rrc_connection_request() { return hex_bytes("20900101123456789060"); }
// GSM CCCH Paging Request Type 1 for a TMSI, with its L2 pseudo-length and
// the rest octets' padding to 23 octets.
inline std::string gsm_paging_request() {
    return hex_bytes(
        "250621000"
        "5f412345678"
        "2b2b2b2b2b2b2b2b2b2b2b2b2b");
}
// GMM Identity request, for the IMSI.
inline std::string gmm_identity_request() { return hex_bytes("081501"); }

// A real message in its code's payload, and how tshark shows it: where the
// packet's protocol stack ends, and what its Info column names.
struct RealMessage {
    uint16_t code;
    std::string data;
    const char* stack_end;
    const char* info;
};

inline std::vector<RealMessage> real_messages() {
    return {
        {0xB0C0, lte_rrc_payload(26, 10, lte_rrc_connection_request()), ":lte_rrc", "RRCConnectionRequest"},
        {0xB0C0, lte_rrc_payload(4, 1, lte_mib()), ":lte_rrc", "MasterInformationBlock (SFN=42)"},
        {0xB821, nr_rrc_payload(17, 6, nr_rrc_setup_request()), ":nr-rrc", "RRC Setup Request"},
        {0xB821, nr_rrc_payload(9, 1, nr_mib()), ":nr-rrc", "MIB"},
        {0xB0EC, lte_nas_payload(eps_identity_request()), ":nas-eps", "Identity request"},
        {0xB80B, nas5gs_payload(nr_registration_request()), ":nas-5gs", "Registration request"},
        {0x412F, wcdma_rrc_payload(0x80, wcdma_rrc_connection_request()), ":rrc", "RRCConnectionRequest"},
        {0x512F, gsm_rr_payload(0x83, 0x21, gsm_paging_request()), ":gsm_a.ccch", "Paging Request Type 1"},
        {0x713A, umts_nas_payload(false, gmm_identity_request()), ":gsm_a.dtap", "Identity Request"},
    };
}

}  // namespace sigpkt
