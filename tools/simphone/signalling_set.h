// What the simulated modem logs when asked for its signalling: real messages
// in the log packets a modem wraps them in, in several packet versions, one
// split into segments and one under the dual-SIM wrapper, and what Wireshark
// is to make of each.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace simphone {

struct SignallingSample {
    std::string payload;    // the whole diag payload: a log packet, or a wrapped one
    const char* stack_end;  // how the packet's protocols end (":lte_rrc"); null: no packet of its own
    const char* info;       // what Wireshark's Info column names
};

std::vector<SignallingSample> signalling_samples(uint64_t timestamp);

}  // namespace simphone
