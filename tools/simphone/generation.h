// The kernel generations of the diag driver the simulated phone can stand
// for: how each one takes the logging-mode switch, lays out a read, checks
// a write and treats its openers, and the /proc/version line of a phone that
// runs it. No generation is the driver of old: its [type word][frames]
// reads are no kernel's, and phones without a generation keep them.
#pragma once

#include <stddef.h>

#include <string>

namespace simphone {

// How the switch of logging mode (ioctl 7) answers a success.
enum class SwitchReturn {
    one,              // 1
    one_unless_same,  // 1, or 0 when the file was in that mode already
    zero,             // 0
};

struct Generation {
    const char* name;  // as --driver and PhoneOptions::driver take it
    // The whole /proc/version line, and the header bytes the daemon's rule
    // makes of it (control/startup_values.cpp): the phone states both, as it
    // does for a kernel of its own choosing.
    const char* proc_version;
    int header_bytes;
    // ioctl 7: 0 takes the mode by value; otherwise the bytes the kernel
    // copies from the pointer it is given (a mode record from 9 bytes on).
    size_t mode_argument;
    SwitchReturn switch_return;
    bool peripheral_mask_checked;  // a record with peripheral_mask 0 is refused
    // Reads hold whole entries only; without it a short read stops wherever
    // the buffer ends, the count word left as it was.
    bool whole_entries;
    bool dci_tables;        // 0x100 and 0x200 follow the mask tables
    bool hdlc_table;        // [0x1000][u8] arrives once a session starts
    bool own_mdm_device;    // /dev/diag_mdm; else the external modem comes through /dev/diag, tokened
    bool filter_always;     // requests are filtered in every mode, not only in memory-device mode
    bool process_sessions;  // one descriptor per process, sessions owned by processes, the 3 s close
    size_t write_limit;     // largest write taken
    size_t local_entry_limit, apps_entry_limit, external_entry_limit;
};

// The generation of that name, or null (an empty name is the old driver).
const Generation* find_generation(const std::string& name);
// Every name, oldest first, for usage lines and tests.
extern const char* const generation_names[];
extern const size_t generation_count;

}  // namespace simphone
