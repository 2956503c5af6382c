// The diag drivers the end-to-end suites run the daemon on: the old
// simulated one and each kernel generation's. A suite's core runs on every
// one; the rest on the old driver and the oldest and newest kernels, whose
// drivers differ most (by-value switch, /dev/diag_mdm and short reads on
// 2.6.35; the 24-byte record, one descriptor per process, the 3 s close and
// entries above 32 KiB on 4.14). A row's name is its driver's: old, k2_6_35,
// k4_14. tests/CMakeLists.txt labels the rows by these names.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dm/frame.h"
#include "dm/mask.h"
#include "mask_files.h"
#include "simphone.h"

namespace drivers {

// The masks of a phone on that driver. A kernel's driver takes, in
// memory-device mode, only whole frames (with their CRC) of the commands
// its filter lets through, and its modems log what the mask asks for: two
// requests, the second enabling the LTE codes 0xB000 to 0xB1FF, and a null
// mask that disables every code, in place of the old driver's bare packets.
inline std::string framed(const std::string& payload) {
    std::string out;
    dm::append_frame(payload, &out);
    return out;
}
inline std::string mask_for(const std::string& driver) {
    if (driver.empty()) return mask_bytes;
    const std::string bits(0x200 / 8, '\xFF');
    return framed(std::string("\x4B\x12\x00\x00", 4)) +
           framed(dm::log_set_mask_request(0xB, 0x200, reinterpret_cast<const uint8_t*>(bits.data())));
}
inline std::string null_mask_for(const std::string& driver) {
    return driver.empty() ? null_mask_bytes : framed(dm::log_disable_all_request());
}
// A mask's requests, each ending with its flag.
inline std::vector<std::string> requests_of(const std::string& mask) {
    std::vector<std::string> out;
    for (size_t at = 0, end; (end = mask.find('\x7E', at)) != std::string::npos; at = end + 1)
        out.push_back(mask.substr(at, end + 1 - at));
    return out;
}

inline std::vector<std::string> every() {
    std::vector<std::string> names = {""};
    for (size_t i = 0; i < simphone::generation_count; ++i) names.emplace_back(simphone::generation_names[i]);
    return names;
}

inline std::vector<std::string> ends() {
    return {"", simphone::generation_names[0], simphone::generation_names[simphone::generation_count - 1]};
}

inline std::string row_name(const ::testing::TestParamInfo<std::string>& info) {
    std::string name = info.param.empty() ? "old" : "k" + info.param;
    for (char& c : name) c = c == '.' ? '_' : c;
    return name;
}

// A fixture of the suites run on the driver of its row.
template <class Base>
class On : public Base, public ::testing::WithParamInterface<std::string> {
protected:
    std::string driver() const override { return GetParam(); }
};

}  // namespace drivers

// Rows on every driver, and on the ends only.
#define ORLITH_ON_EVERY_DRIVER(fixture) \
    INSTANTIATE_TEST_SUITE_P(Driver, fixture, ::testing::ValuesIn(drivers::every()), drivers::row_name)
#define ORLITH_ON_END_DRIVERS(fixture) \
    INSTANTIATE_TEST_SUITE_P(Driver, fixture, ::testing::ValuesIn(drivers::ends()), drivers::row_name)
