// Fault matrix, part three: mask files that lead elsewhere, mask files that
// are no files, and a trace terminal that goes away. Each row prints its
// outcome into the table of part one.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>

#include "fault_fixture.h"

using namespace simphone;
using namespace fault;

namespace {

using FaultMask = Fault;

// A root-only file outside the log root; as a mask it would make a packet.
const std::string secret("TOP-SECRET\x7E", 11);
// How its first bytes look in a hex trace.
const std::string secret_hex = "54(T),4F(O),50(P)";

// User and system clock ticks a process has used so far; -1 when unknown.
long long cpu_ticks(pid_t pid) {
    std::string stat;
    if (!get_file("/proc/" + std::to_string(pid) + "/stat", &stat)) return -1;
    // Fields 14 and 15; the command name before them may hold blanks, so
    // they are counted from its closing parenthesis (field 3 comes next).
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream fields(stat.substr(close + 1));
    std::string field;
    long long ticks = 0;
    for (int number = 3; number <= 15 && fields >> field; ++number) {
        if (number >= 14) ticks += strtoll(field.c_str(), nullptr, 10);
    }
    return fields ? ticks : -1;
}

// Checks that qxdm7k's files hold its stream as batches and qxdmExt's theirs
// chunk by chunk, each whole and in order; what they hold, for the table.
std::string check_diag_and_external(const Phone& phone) {
    const CaptureCheck diag = phone.check_capture(Device::diag, with_prefix(phone.dm_files(), "qxdm_7k_"));
    EXPECT_TRUE(diag.ok) << diag.message;
    Grouping per_chunk;
    per_chunk.kind = Grouping::per_chunk;
    const CaptureCheck ext =
        phone.check_capture(Device::extdiag, with_prefix(phone.dm_files(), "qxdm_ext_"), per_chunk);
    EXPECT_TRUE(ext.ok) << ext.message;
    return "qxdm7k " + std::to_string(diag.actual_bytes) + " of " + std::to_string(diag.expected_bytes) +
           " B, qxdmExt " + std::to_string(ext.actual_bytes) + " of " + std::to_string(ext.expected_bytes) +
           " B written";
}

TEST_F(FaultMask, MaskNamesReachNothingOutsideTheLogRoot) {
    start_phone(plain_phone());
    if (HasFatalFailure() || IsSkipped()) return;
    ASSERT_TRUE(phone->write_file("/data/secret", secret, 0600));
    ASSERT_EQ(symlink("/data/secret", phone->host_path(in_root("link.cfg")).c_str()), 0);
    ASSERT_EQ(mkdir(phone->host_path(in_root("masks")).c_str(), 0755), 0);
    // DebugLevel 2 traces every mask byte sent.
    ASSERT_TRUE(phone->write_config(phone->storage_line() +
                                    "DebugLevel=2\n"
                                    "qxdm7k:Mask=mask.cfg\nqxdm7k:NullMask=/data/secret\n"
                                    "qxdm9k:Mask=link.cfg\nqxdm9k:NullMask=null.cfg\n"
                                    "qxdmExt:Mask=mask.cfg\nqxdmExt:NullMask=masks/../../data/secret\n"
                                    "tiTrace:Mask=../data/secret\n"));
    start_daemon();
    // The external modem's stream starts once its control device is open.
    ASSERT_TRUE(wait_until([&] { return phone->events("open", "diag").size() == 2; }, 5000));
    control("rate all 200000");
    ASSERT_TRUE(wait_until(
        [&] {
            const std::vector<std::string> files = phone->dm_files();
            return with_prefix(files, "qxdm_7k_").size() == 1 && with_prefix(files, "qxdm_ext_").size() == 1;
        },
        5000));
    ASSERT_TRUE(wait_until([&] { return bytes_handed_out(Device::extdiag) > 64u * 1024; }, 5000));
    const std::string text = status();
    auto secret_traced = [&] {
        for (const LogRecord& record : phone->log_records()) {
            if (record.text.find(secret_hex) != std::string::npos) return true;
        }
        return false;
    };
    auto secret_sent = [&] {
        for (const Event& event : phone->events()) {
            if (event.data.find("TOP-SECRET") != std::string::npos) return true;
        }
        return false;
    };
    {
        Row row("mask name leading out of the log root (tiTrace:Mask=../data/secret, DebugLevel 2)",
                "refused with a message, the task shows error -1; nothing written to the terminal or traced");
        EXPECT_TRUE(logged("tiTrace: mask name ../data/secret refused"));
        EXPECT_TRUE(phone->events("trace_in").empty());
        EXPECT_TRUE(with_prefix(phone->dm_files(), "ti_trace_").empty());
        EXPECT_NE(text.find(phone->trace_path() + ": error -1: "), std::string::npos) << text;
        row.observe(std::to_string(phone->events("trace_in").size()) + " terminal writes, status '" +
                    status_line(text, phone->trace_path()) + "'");
    }
    {
        Row row("mask a symbolic link to a root-only file (qxdm9k)",
                "not followed: 'not a regular file', the task shows error -1, nothing sent");
        EXPECT_TRUE(logged("qxdm9k: open " + in_root("link.cfg") + " failed: not a regular file"));
        EXPECT_TRUE(phone->events("request", "diag_mdm").empty());
        EXPECT_TRUE(with_prefix(phone->dm_files(), "qxdm_9k_").empty());
        EXPECT_NE(text.find("/dev/diag_mdm: error -1: "), std::string::npos) << text;
        row.observe(std::to_string(phone->events("request", "diag_mdm").size()) + " requests, status '" +
                    status_line(text, "/dev/diag_mdm") + "'");
    }
    Row row("null-mask names absolute (qxdm7k) and leading out through a subdirectory (qxdmExt)",
            "both refused with a message; nothing of the file sent; the last batch and the final drain written");
    EXPECT_GE(stop_daemon(), 0);
    EXPECT_TRUE(logged("qxdm7k: mask name /data/secret refused"));
    EXPECT_TRUE(logged("qxdmExt: mask name masks/../../data/secret refused"));
    EXPECT_FALSE(secret_sent());
    EXPECT_FALSE(secret_traced());
    const std::string written = check_diag_and_external(*phone);
    std::string kept;
    EXPECT_TRUE(phone->read_file("/data/secret", &kept));
    EXPECT_EQ(kept, secret);
    row.observe(std::string("secret ") + (secret_sent() || secret_traced() ? "LEAKED" : "neither sent nor traced") +
                "; " + written);
    for (const char* device : {"diag", "diag_mdm"}) {
        EXPECT_EQ(mode_switches(device), (std::vector<long long>{2, 1})) << device;
    }
}

TEST_F(FaultMask, FifoMasksHoldUpNeitherStartNorStop) {
    Row row("mask (qxdm9k) and null mask (qxdm7k) that are FIFOs without a writer",
            "'not a regular file' at once, qxdm9k shows error -1, qxdm7k logs; -q stops the daemon within 3 s "
            "with qxdm7k's last batch written");
    start_both_diag(
        "qxdm7k:Mask=mask.cfg\nqxdm7k:NullMask=fifo.cfg\n"
        "qxdm9k:Mask=fifo.cfg\nqxdm9k:NullMask=null.cfg\n",
        200000);
    if (HasFatalFailure() || IsSkipped()) return;
    ASSERT_EQ(mkfifo(phone->host_path(in_root("fifo.cfg")).c_str(), 0644), 0);
    start_daemon();
    ASSERT_TRUE(wait_until([&] { return phone->dm_files().size() == 1; }, 5000));
    EXPECT_TRUE(wait_until(
        [&] { return logged("qxdm9k: open " + in_root("fifo.cfg") + " failed: not a regular file"); }, 3000));
    ASSERT_TRUE(wait_until([&] { return bytes_handed_out(Device::diag) > 128u * 1024; }, 5000));
    const std::string text = status();
    EXPECT_NE(text.find("/dev/diag_mdm: error -1: "), std::string::npos) << text;
    const double stop_ms = stop_daemon();
    EXPECT_GE(stop_ms, 0) << "the daemon did not stop";
    EXPECT_LT(stop_ms, 3000);
    EXPECT_TRUE(logged("qxdm7k: open " + in_root("fifo.cfg") + " failed: not a regular file"));
    const CaptureCheck diag = phone->check_capture(Device::diag, with_prefix(phone->dm_files(), "qxdm_7k_"));
    EXPECT_TRUE(diag.ok) << diag.message;
    for (const char* device : {"diag", "diag_mdm"}) {
        EXPECT_EQ(mode_switches(device), (std::vector<long long>{2, 1})) << device;
    }
    row.observe(stop_ms < 0 ? std::string("the daemon did NOT stop")
                            : "stopped in " + std::to_string(static_cast<int>(stop_ms)) + " ms, qxdm7k " +
                                  std::to_string(diag.actual_bytes) + " of " + std::to_string(diag.expected_bytes) +
                                  " B written");
}

// The stop is timed against a stop without the stuck terminal in the same
// phone, so that a slow (emulated) machine is held to the same second.
TEST_F(FaultMask, MaskTheTerminalNeverTakesHoldsUpNoStop) {
    Row row("4 MiB trace mask while the terminal's far side reads nothing (tiTrace)",
            "-q ends the daemon within 1 s of a plain stop, 'inject ... given up' logged; qxdm7k's capture "
            "complete, devices back");
    simphone::PhoneOptions options = diag_only();
    options.trace = true;
    start_phone(options);
    if (HasFatalFailure() || IsSkipped()) return;
    ASSERT_TRUE(phone->write_file(in_root("big.mask"), std::string(4u << 20, 'm')));
    control("rate diag 200000");
    auto run_and_stop = [&] {
        start_daemon();
        const size_t files = phone->dm_files().size();
        EXPECT_TRUE(wait_until([&] { return phone->dm_files().size() == files + 1; }, 10000));
        // Long enough for the terminal to fill and the daemon's write to wait.
        const size_t before = bytes_handed_out(Device::diag);
        EXPECT_TRUE(wait_until([&] { return bytes_handed_out(Device::diag) > before + 128u * 1024; }, 10000));
        const double stop_ms = stop_daemon();
        EXPECT_GE(stop_ms, 0) << "the daemon did not stop";
        return stop_ms;
    };
    ASSERT_TRUE(phone->write_config(phone->storage_line() + masks_7k));
    const double plain_ms = run_and_stop();
    ASSERT_TRUE(phone->write_config(phone->storage_line() + masks_7k + "tiTrace:Mask=big.mask\n"));
    control("deaf trace");
    const double stop_ms = run_and_stop();
    printf("[ measured ] stop with the trace mask stuck in the terminal: %.1f ms, a plain stop %.1f ms\n", stop_ms,
           plain_ms);
    EXPECT_LT(stop_ms, plain_ms + 1000);
    EXPECT_TRUE(logged("tiTrace: inject " + in_root("big.mask") + " given up: the terminal took "));
    const CaptureCheck diag = phone->check_capture(Device::diag, with_prefix(phone->dm_files(), "qxdm_7k_"));
    EXPECT_TRUE(diag.ok) << diag.message;
    EXPECT_EQ(mode_switches("diag"), (std::vector<long long>{2, 1, 2, 1}));
    row.observe(stop_ms < 0 ? std::string("the daemon did NOT stop")
                            : "stopped in " + std::to_string(static_cast<int>(stop_ms)) + " ms (a plain stop " +
                                  std::to_string(static_cast<int>(plain_ms)) + " ms), qxdm7k " +
                                  std::to_string(diag.actual_bytes) + " of " + std::to_string(diag.expected_bytes) +
                                  " B written");
}

TEST_F(FaultMask, HungUpTraceTerminalEndsOnlyItsTask) {
    PhoneOptions options = plain_phone();
    options.diag_mdm = false;
    start_phone(options);
    if (HasFatalFailure() || IsSkipped()) return;
    ASSERT_TRUE(phone->write_config(phone->storage_line() + "DebugLevel=1\n"
                                                            "qxdm7k:Mask=mask.cfg\nqxdm7k:NullMask=null.cfg\n"
                                                            "qxdmExt:Mask=mask.cfg\nqxdmExt:NullMask=null.cfg\n"
                                                            "tiTrace:Mask=mask.cfg\n"));
    const pid_t pid = start_daemon();
    ASSERT_TRUE(wait_until([&] { return phone->events("open", "diag").size() == 2; }, 5000));
    control("rate all 200000");
    ASSERT_TRUE(wait_until([&] { return phone->dm_files().size() == 3; }, 5000));
    const uint64_t ext_named_us = monotonic_us();
    ASSERT_TRUE(wait_until([&] { return bytes_handed_out(Device::trace) > 32u * 1024; }, 5000));
    std::string text;
    {
        Row hangup("trace terminal hung up while logging (tiTrace)",
                   "tiTrace ends with error 5 at once, no 'read device no data' flood, no busy daemon, no stop report; "
                   "the daemon lives on, qxdm7k and qxdmExt log on");
        control("hangup trace");
        EXPECT_TRUE(wait_until([&] { return logged("tiTrace: thread stopped."); }, 3000));
        // The terminal is not the daemon's controlling one: its hang-up sends
        // no SIGHUP.
        EXPECT_EQ(phone->daemon_pids(), std::vector<pid_t>{pid});
        EXPECT_TRUE(logged("tiTrace: read device " + phone->trace_path() + " ("));
        EXPECT_TRUE(logged("failed: hung up"));
        const long long ticks_before = cpu_ticks(pid);
        const size_t diag_before = bytes_handed_out(Device::diag);
        const size_t ext_before = bytes_handed_out(Device::extdiag);
        sleep(1);
        const long long ticks = cpu_ticks(pid) - ticks_before;
        const int no_data = count_logged("tiTrace: read device no data");
        EXPECT_LE(no_data, 1);
        // A spinning thread would use the whole second; the tasks that still
        // log take a share of it too, a large one in an emulated machine.
        const long long ticks_per_second = sysconf(_SC_CLK_TCK);
        EXPECT_LT(ticks, ticks_per_second * 3 / 4);
        const bool others_read = bytes_handed_out(Device::diag) > diag_before + 64u * 1024 &&
                                 bytes_handed_out(Device::extdiag) > ext_before + 64u * 1024;
        EXPECT_TRUE(others_read);
        text = status();
        EXPECT_NE(text.find(phone->trace_path() + ": error 5: Input/output error"), std::string::npos) << text;
        // A hang-up is no read failure: the app is not told.
        EXPECT_TRUE(phone->stop_reports().empty());
        hangup.observe(std::to_string(no_data) + " 'no data' messages, " + std::to_string(ticks) + " of " +
                       std::to_string(ticks_per_second) + " CPU ticks in the second after, status '" +
                       status_line(text, phone->trace_path()) + "', the others " +
                       (others_read ? "still read" : "STOPPED"));
    }

    Row ext("status of qxdmExt while it logs, over 5 s after its file was named",
            "'-l' says 'logging to', never 'no data for'; its capture and qxdm7k's complete at the stop");
    // Past the 5 s after which a task without news is reported idle.
    ASSERT_TRUE(wait_until([&] { return monotonic_us() - ext_named_us > 6500000; }, 8000));
    text = status();
    EXPECT_NE(text.find("/dev/extdiag: logging to " + in_root("qxdm_ext_")), std::string::npos) << text;
    EXPECT_NE(text.find("/dev/diag: logging to " + in_root("qxdm_7k_")), std::string::npos) << text;
    ext.observe("'" + status_line(text, "/dev/extdiag") + "'");
    EXPECT_GE(stop_daemon(), 0);
    ext.observe(check_diag_and_external(*phone));
    EXPECT_TRUE(no_wake_lock_held());
}

}  // namespace
