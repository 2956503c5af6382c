// Start-up paths, the status report and the stop, seen from outside the
// daemon on the simulated phone.
#include <algorithm>
#include <string>
#include <vector>

#include "../simphone/phone_fixture.h"
#include "log_capture.h"
#include "mask_files.h"

using namespace simphone;

namespace {

class DaemonControl : public PhoneTest {
protected:
    void start_phone(PhoneOptions options) {
        options.messages = true;
        start(options);
    }
    void write_masks(const std::string& dir) {
        ASSERT_TRUE(phone->write_file(dir + "/mask.cfg", mask_packet));
        ASSERT_TRUE(phone->write_file(dir + "/null.cfg", mask_packet));
    }
    bool logged(const std::string& text) const { return ::logged(phone->log_records(), text, any_line); }
    void start_daemon(const std::vector<std::string>& args = {}) {
        RunResult started = phone->zarnorlith(args);
        ASSERT_TRUE(started.ok()) << started.err;
        ASSERT_TRUE(wait_until([&] { return phone->daemon_pids().size() == 1; }, 5000));
    }
    void stop_daemon() {
        EXPECT_TRUE(phone->zarnorlith({"-q"}).ok());
        EXPECT_TRUE(wait_until([&] { return phone->daemon_pids().empty(); }, 5000));
    }
};

TEST_F(DaemonControl, StatusStormLeavesEveryTaskLogging) {
    PhoneOptions options;
    options.diag_mdm = false;
    start_phone(options);
    if (HasFatalFailure() || IsSkipped()) return;
    write_masks(phone->log_root());
    ASSERT_TRUE(phone->write_config(phone->storage_line() + "qxdm7k:Mask=mask.cfg\ntiTrace:Mask=mask.cfg\n"
                                                            "qxdmExt:NullMask=null.cfg\n"));
    control("rate all 300000");
    start_daemon();
    ASSERT_TRUE(wait_until([&] { return phone->dm_files().size() == 2; }, 5000));
    uint64_t slowest = 0;
    for (int i = 0; i < 30; ++i) {
        const uint64_t before = monotonic_us();
        RunResult status = phone->zarnorlith({"-l"});
        slowest = std::max(slowest, monotonic_us() - before);
        ASSERT_TRUE(status.ok());
        ASSERT_NE(status.out.find("/dev/diag: logging to " + in_root("qxdm_7k_")), std::string::npos) << status.out;
    }
    printf("[ measured ] slowest -l under load: %.1f ms\n", slowest / 1000.0);
    RunResult status = phone->zarnorlith({"-l"});
    EXPECT_NE(status.out.find("/dev/diag_mdm: error 2: No such file or directory\n"), std::string::npos) << status.out;
    EXPECT_NE(status.out.find("/dev/extdiag: error -1: "), std::string::npos) << status.out;  // no mask
    EXPECT_NE(status.out.find(phone->trace_path() + ": logging to " + in_root("ti_trace_")), std::string::npos);
    EXPECT_TRUE(logged("qxdmExt: mask is not set, do not dump log\n"));
    std::string file;
    ASSERT_TRUE(phone->status_file(&file));
    EXPECT_EQ(file.substr(file.size() - 3), "\n--");
    stop_daemon();
    EXPECT_TRUE(logged("daemon end.\n"));
}

TEST_F(DaemonControl, SilentModemDoesNotHoldUpTheStop) {
    PhoneOptions options;
    options.diag_mdm = options.extdiag = options.trace = false;
    start_phone(options);
    if (HasFatalFailure() || IsSkipped()) return;
    write_masks(phone->log_root());
    ASSERT_TRUE(phone->write_config(phone->storage_line() + "qxdm7k:Mask=mask.cfg\nqxdm7k:NullMask=null.cfg\n"));
    control("rate diag 100000");
    start_daemon();
    ASSERT_TRUE(wait_until([&] { return phone->dm_files().size() == 1; }, 5000));
    control("response diag never");
    const uint64_t before = monotonic_us();
    stop_daemon();
    const double stop_ms = (monotonic_us() - before) / 1000.0;
    printf("[ measured ] stop with an unanswered null mask: %.1f ms\n", stop_ms);
    EXPECT_LT(stop_ms, 3000.0);
    std::vector<long long> args;
    for (const Event& event : phone->events("ioctl", "diag")) args.push_back(event.b);
    EXPECT_EQ(args, (std::vector<long long>{2, 1}));
}

// Without the radio bit; the vendor build, whose log root the card cannot
// be, in none, and its state says so.
TEST_F(DaemonControl, ManufacturingBootWithoutTheRadioBitDoesNotLog) {
    PhoneOptions options;
    options.boot_mode = "mfgkernel";
    options.radioflag = "0";
    start_phone(options);
    if (HasFatalFailure() || IsSkipped()) return;
    RunResult started = phone->zarnorlith({});
    EXPECT_TRUE(started.ok());
    const std::string why =
        legacy() ? "radioflag = 0, stop qxdm logger\n" : "manufacturing boot is not supported by the vendor build\n";
    EXPECT_TRUE(wait_until([&] { return logged(why); }, 5000));
    EXPECT_TRUE(wait_until([&] { return phone->daemon_pids().empty(); }, 5000));
    EXPECT_TRUE(phone->mount_runs().empty());
    EXPECT_TRUE(phone->events("open", "diag").empty());
    EXPECT_EQ(phone->states(), states_of_vendor({"error 95"}));
}

TEST_F(DaemonControl, ManufacturingBootMountsTheCardItself) {
    LEGACY_ONLY("manufacturing boot");
    PhoneOptions options;
    options.boot_mode = "mfgkernel";
    options.radioflag = "8000000";
    options.diag_mdm = options.extdiag = options.trace = false;
    start_phone(options);
    if (HasFatalFailure() || IsSkipped()) return;
    control("rate diag 100000");
    start_daemon({"-d", "2"});
    ASSERT_TRUE(wait_until([&] { return logged("is_mounted: /sdcard is mounted\n"); }, 8000));
    // The configuration is read from the card the daemon itself mounted,
    // so it can only be put there now; without it no task logs.
    EXPECT_TRUE(wait_until(
        [&] {
            return logged("load_config: cannot find config /sdcard/orlith.conf\n") ||
                   logged("load_config: load config from /sdcard/orlith.conf");
        },
        5000));
    const auto runs = phone->mount_runs();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0], (std::vector<std::string>{"-t", "vfat", "/dev/block/mmcblk1p1", "/sdcard"}));
    EXPECT_TRUE(logged("bootmode = 1, radioflag = 8000000\n"));
    stop_daemon();
}

}  // namespace
