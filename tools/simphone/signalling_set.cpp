#include "signalling_set.h"

#include "dm/packet.h"
#include "signalling_packets.h"

namespace simphone {

namespace {

std::string log_packet(uint16_t code, uint64_t timestamp, const std::string& data) {
    std::string payload;
    dm::append_log_packet(code, timestamp, reinterpret_cast<const uint8_t*>(data.data()), data.size(), &payload);
    return payload;
}

// A dual-SIM phone wraps the whole packet: 98 01 00 00, the subscription.
std::string dual_sim(uint32_t subscription, const std::string& packet) {
    std::string out("\x98\x01\x00\x00", 4);
    sigpkt::put_le(subscription, 4, &out);
    return out + packet;
}

}  // namespace

std::vector<SignallingSample> signalling_samples(uint64_t timestamp) {
    std::vector<SignallingSample> samples;
    for (const sigpkt::RealMessage& m : sigpkt::real_messages())
        samples.push_back({log_packet(m.code, timestamp, m.data), m.stack_end, m.info});
    // A message split in two segments: the packet comes once, with the last.
    const std::string request = sigpkt::lte_rrc_connection_request();
    samples.push_back(
        {log_packet(0xB0C0, timestamp, sigpkt::lte_rrc_payload(30, 10, request.substr(0, 2), 1)), nullptr, nullptr});
    samples.push_back({log_packet(0xB0C0, timestamp, sigpkt::lte_rrc_payload(30, 10, request.substr(2), 7)), ":lte_rrc",
                       "RRCConnectionRequest"});
    const std::string setup = sigpkt::nr_rrc_setup_request();
    samples.push_back(
        {log_packet(0xB821, timestamp, sigpkt::nr_rrc_payload(24, 7, setup.substr(0, 3), 1)), nullptr, nullptr});
    samples.push_back({log_packet(0xB821, timestamp, sigpkt::nr_rrc_payload(24, 7, setup.substr(3), 7)), ":nr-rrc",
                       "RRC Setup Request"});
    // Dual SIM: the wrapper, and the codes that carry a radio id.
    samples.push_back(
        {dual_sim(2, log_packet(0xB0EC, timestamp, sigpkt::lte_nas_payload(sigpkt::eps_identity_request()))),
         ":nas-eps", "Identity request"});
    samples.push_back(
        {log_packet(0x5B2F, timestamp,
                    std::string(1, '\x01') + sigpkt::gsm_rr_payload(0x83, 0x21, sigpkt::gsm_paging_request())),
         ":gsm_a.ccch", "Paging Request Type 1"});
    samples.push_back(
        {log_packet(0x7B3A, timestamp,
                    std::string(1, '\x00') + sigpkt::umts_nas_payload(false, sigpkt::gmm_identity_request())),
         ":gsm_a.dtap", "Identity Request"});
    return samples;
}

}  // namespace simphone
