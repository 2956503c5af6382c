// Mask files handed to the daemon, by the tests and the benchmarks alike:
// packets as the companion app writes them, each ended by the 0x7E flag.
#pragma once

#include <string>

// One subsystem command (0x4B) with a short body.
inline const std::string mask_packet("\x4B\x12\x00\x00\x7E", 5);
// Two packets, the second holding an escaped byte (0x7D 0x5E).
inline const std::string mask_bytes = mask_packet + std::string("\x7D\x5E\x01\x7E", 4);
inline const std::string null_mask_bytes("\x60\x00\x7E", 3);
