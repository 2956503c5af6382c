// Fault matrix, loss: a stream faster than a paused reader drains, counted
// in bytes: none dropped by the driver. Each row prints its outcome into the
// table at the end of the run.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>

#include "fault_fixture.h"

using namespace simphone;
using namespace fault;

namespace {

using FaultLoss = Fault;

// One figure of the driver's "stats" reply for a device; 0 when missing.
unsigned long long driver_stat(Phone& phone, const std::string& device, const std::string& name) {
    const std::string reply = phone.control("stats " + device);
    const size_t at = reply.find(" " + name + "=");
    return at == std::string::npos ? 0 : strtoull(reply.c_str() + at + name.size() + 2, nullptr, 10);
}

std::string mib(double bytes) {
    char text[32];
    snprintf(text, sizeof text, "%.1f MiB", bytes / (1 << 20));
    return text;
}

TEST_F(FaultLoss, Qxdm9kKeepsUpWithAStreamOfEightMegabytesASecond) {
    Row row("qxdm9k at a rate above 3 MB/s loses nothing",
            "/dev/diag_mdm offered 8 MB/s in 32 KiB chunks for 5 s: 0 B dropped by the driver; the capture holds "
            "every byte handed out, in order");
    start_both_diag("StoragePath=/sdcard\n" + masks_9k, 0);
    if (HasFatalFailure() || IsSkipped()) return;
    control("chunk diag_mdm 32768");
    start_daemon();
    ASSERT_TRUE(wait_until([&] { return mode_switches("diag_mdm") == std::vector<long long>{2}; }, 5000));
    // The driver holds 16 MiB for a reader that falls behind: a reader held
    // to ~3 MB/s (a 10 ms pause after every 32 KiB) overflows it after
    // about 3.5 s, one that reads 4.6 MB/s on average does not, so
    // a slow emulated machine still passes when the daemon reads as fast as
    // it can.
    const int seconds = 5;
    const uint64_t began = monotonic_us();
    control("rate diag_mdm 8000000");
    unsigned long long backlog = 0;
    while (monotonic_us() - began < seconds * 1000000ull) {
        backlog = std::max(backlog, driver_stat(*phone, "diag_mdm", "queued"));
        usleep(100 * 1000);
    }
    control("rate diag_mdm 0");
    const bool drained = wait_until([&] { return driver_stat(*phone, "diag_mdm", "queued") == 0; }, 15000);
    const double took_s = (monotonic_us() - began) / 1e6;
    EXPECT_TRUE(drained) << "the daemon did not drain the device";
    EXPECT_GE(stop_daemon(), 0);
    const unsigned long long dropped = driver_stat(*phone, "diag_mdm", "overruns") * 32768;
    const unsigned long long handed = driver_stat(*phone, "diag_mdm", "handed_bytes");
    EXPECT_EQ(dropped, 0u);
    const CaptureCheck capture = phone->check_capture(Device::diag_mdm, with_prefix(phone->dm_files(), "qxdm_9k_"));
    EXPECT_TRUE(capture.ok) << capture.message;
    // A stream that never flowed would drop nothing either.
    EXPECT_GT(capture.actual_bytes, 32u << 20);
    char rate[64];
    snprintf(rate, sizeof rate, "read at %.1f MB/s over %.1f s", handed / took_s / 1e6, took_s);
    row.observe(std::to_string(dropped) + " B dropped; " + mib(handed) + " handed out, " + rate + ", largest backlog " +
                mib(backlog) + "; capture " + std::to_string(capture.actual_bytes) + " of " +
                std::to_string(capture.expected_bytes) + " B" + (capture.ok ? "" : ", NOT the stream"));
}

}  // namespace
