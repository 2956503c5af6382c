// A pcapng file that Wireshark opens as it is: interface 0 carries GSMTAP
// v2 in UDP to port 4729 over IPv4 (link type 228), interface 1 upper-PDU
// packets that name their dissector (link type 252), so that NR RRC and
// 5GS NAS, which GSMTAP has no type for, decode beside the rest.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "dm/signalling.h"

namespace dm {

constexpr uint16_t gsmtap_port = 4729;
constexpr uint8_t gsmtap_type_qc_diag = 0x11;

struct PcapngWriter {
    int fd = -1;
    std::string buffer;
    uint64_t packets = 0;
    uint64_t cut = 0;          // payloads cut to what an IPv4 packet holds
    int64_t last_time_us = 0;  // of the last log packet seen
    int error = 0;             // errno of the first failed write
};

// Creates OUT (truncating it) and writes the section and both interfaces.
// False with *error when OUT cannot be created.
bool pcapng_open(PcapngWriter* writer, const char* path, std::string* error);
// One message: GSMTAP or upper PDU as pdu says, timed by its stamp. Its
// comment names the subscription, and an ARFCN that GSMTAP's 14 bits cannot
// hold (the field then says 0).
void pcapng_add_signalling(PcapngWriter* writer, const SignallingPdu& pdu);
// A whole diag payload as GSMTAP type 0x11 (raw diag), timed by its log
// packet's stamp, else the last one seen.
void pcapng_add_raw(PcapngWriter* writer, const uint8_t* payload, size_t size);
// Flushes and closes; false with *error when any write failed.
bool pcapng_close(PcapngWriter* writer, const char* path, std::string* error);

}  // namespace dm
