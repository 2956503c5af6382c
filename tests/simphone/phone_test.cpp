// The phone around the daemon: its fixed paths, the commands run inside it,
// the fakes it provides, and that nothing is left behind, even by a test
// that is killed.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

#include "phone_fixture.h"

using namespace simphone;

namespace {

bool alive(pid_t pid) { return pid > 0 && kill(pid, 0) == 0; }

bool mounted_under(const std::string& dir) {
    FILE* mounts = fopen("/proc/self/mounts", "re");
    if (mounts == nullptr) return false;
    char line[4096];
    bool found = false;
    while (fgets(line, sizeof line, mounts) != nullptr) {
        if (strstr(line, (" " + dir + "/").c_str()) != nullptr) found = true;
    }
    (void)fclose(mounts);
    return found;
}

std::string sh(const Phone& phone, const std::string& script) {
    RunResult r = phone.run({"/bin/sh", "-c", script});
    EXPECT_TRUE(r.ok()) << script << ": " << r.err;
    return r.out;
}

}  // namespace

class PhoneLayout : public PhoneTest {};

TEST_F(PhoneLayout, PhoneThatCannotStartEndsTheTestWithItsReason) {
    const char* was = getenv("SIMPHONE_BIN_DIR");
    const std::string saved = was != nullptr ? was : "";
    setenv("SIMPHONE_BIN_DIR", "/nonexistent", 1);
    std::string what = "(no exception)";
    try {
        start();
    } catch (const std::runtime_error& error) {
        what = error.what();
    }
    if (was != nullptr)
        setenv("SIMPHONE_BIN_DIR", saved.c_str(), 1);
    else
        unsetenv("SIMPHONE_BIN_DIR");
    EXPECT_EQ(
        what,
        "the simulated phone did not start: /nonexistent/simphone_driver is missing: build the default preset first");
    EXPECT_FALSE(phone);
}

TEST_F(PhoneLayout, NormalBootHasTheDaemonsPathsAndItsControlCommandsWork) {
    const uint64_t before = monotonic_us();
    PhoneOptions options;
    options.messages = true;
    options.sdcard2 = Sdcard2::mount;
    start(options);
    const uint64_t started = monotonic_us();
    EXPECT_EQ(sh(*phone,
                 "for p in /dev/diag /dev/diag_mdm /dev/extdiag /dev/pts_trace /sys/power/wake_lock "
                 "/sys/power/wake_unlock " +
                     phone->data_dir() + " " + phone->log_root() + " " + phone->profile().binary +
                     " /system/bin/mount; do test -e $p || echo missing $p; done; command -v am"),
              "/.simphone/bin/am\n");
    EXPECT_NE(sh(*phone, "cat /proc/cmdline").find("androidboot.mode=normal"), std::string::npos);
    EXPECT_EQ(sh(*phone, "cut -d' ' -f3 /proc/version"), "3.0.8-perf\n");
    const std::string mounts = sh(*phone, "cut -d' ' -f2 /proc/mounts");
    EXPECT_NE(mounts.find("\n/sdcard\n"), std::string::npos);
    EXPECT_NE(mounts.find("\n/sdcard2\n"), std::string::npos);
    EXPECT_EQ(sh(*phone, "echo $EXTERNAL_STORAGE"), "/sdcard\n");

    RunResult version = phone->zarnorlith({"-v"});
    EXPECT_TRUE(version.ok());
    EXPECT_EQ(version.out, "2.8\n");
    EXPECT_EQ(phone->zarnorlith({"-p"}).out, "0\n");
    // Whatever the daemon does after its start, -p and -q reach it in the
    // same phone, and it is gone after -q.
    RunResult daemon = phone->zarnorlith({});
    EXPECT_TRUE(daemon.ok()) << daemon.err;
    std::vector<pid_t> running = phone->daemon_pids();
    RunResult pid = phone->zarnorlith({"-p"});
    EXPECT_TRUE(pid.ok());
    if (!running.empty()) {
        EXPECT_NE(pid.out, "0\n");
    }
    EXPECT_TRUE(phone->zarnorlith({"-q"}).ok());
    EXPECT_TRUE(wait_until([&] { return phone->daemon_pids().empty(); }, 5000));
    // Messages are on, so the sink has records, all of which parse.
    std::string log;
    ASSERT_TRUE(phone->read_file("/.simphone/orlith.log", &log));
    std::vector<LogRecord> records;
    std::string error;
    EXPECT_TRUE(parse_log_records(log, &records, &error)) << error;

    std::string problems;
    const uint64_t stopping = monotonic_us();
    const std::string run_dir = phone->run_dir();
    EXPECT_TRUE(phone->stop(&problems)) << problems;
    printf("[ measured ] phone start %.1f ms, teardown %.1f ms\n", (started - before) / 1000.0,
           (monotonic_us() - stopping) / 1000.0);
    EXPECT_FALSE(mounted_under(run_dir));
    EXPECT_NE(access(run_dir.c_str(), F_OK), 0);
}

TEST_F(PhoneLayout, FakesRecordBroadcastsWakeLocksAndTheMissingDevicesStayMissing) {
    PhoneOptions options;
    options.diag_mdm = false;
    options.extdiag = false;
    options.sdcard2 = Sdcard2::symlink;
    options.sdcard2_link_target = "../nowhere";
    start(options);
    EXPECT_EQ(sh(*phone, "test -e /dev/diag_mdm || echo none; readlink /sdcard2"), "none\n../nowhere\n");
    sh(*phone,
       "am broadcast -a com.zarn.android.orlith.ORLITH.DAEMON.STOP -n com.zarn.android.orlith/.ORLITH "
       "--ei ERRNO 5 >/dev/null");
    const std::vector<std::vector<std::string>> calls = phone->broadcasts();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].size(), 8u);
    EXPECT_EQ(calls[0].back(), "5");
    sh(*phone,
       "printf qxdm7k > /sys/power/wake_lock; printf tiTrace > /sys/power/wake_lock; "
       "printf qxdm7k > /sys/power/wake_unlock");
    EXPECT_EQ(phone->control("locks"), "ok tiTrace");
    std::vector<Event> locks = phone->events("wake_lock");
    ASSERT_EQ(locks.size(), 2u);
    EXPECT_EQ(locks[0].data, "qxdm7k");
    EXPECT_EQ(phone->events("wake_unlock").size(), 1u);
}

TEST_F(PhoneLayout, ManufacturingBootMountsTheCardAndTheModemBecomesReady) {
    PhoneOptions options;
    options.boot_mode = "mfgkernel";
    options.radioflag = "8000000";
    options.sd_block_delay_ms = 100;
    options.smd0 = Node::never_ready;
    start(options);
    EXPECT_NE(sh(*phone, "cat /proc/cmdline").find("radioflag=8000000"), std::string::npos);
    std::string properties;
    ASSERT_TRUE(phone->read_file("/.simphone/build.prop", &properties));
    EXPECT_NE(properties.find("ro.boot.mode=mfgkernel\n"), std::string::npos) << properties;
    EXPECT_EQ(sh(*phone, "grep -c ' /sdcard ' /proc/mounts || true"), "0\n");
    EXPECT_TRUE(wait_until([&] { return phone->exists("/dev/block/mmcblk1p1"); }, 3000));
    EXPECT_EQ(sh(*phone, "cat /dev/smd0 2>/dev/null && echo ready || echo not ready"), "not ready\n");
    control("node smd0 after 100");
    EXPECT_TRUE(wait_until([&] { return phone->run({"/bin/sh", "-c", "cat /dev/smd0"}).ok(); }, 3000));
    const std::vector<Event> opens = phone->events("open", "smd0");
    ASSERT_GE(opens.size(), 2u);
    EXPECT_EQ(opens.front().result, -ENXIO);
    EXPECT_EQ(opens.back().result, 0);
    sh(*phone, "/system/bin/mount -t vfat /dev/block/mmcblk1p1 /sdcard; echo card > /sdcard/x");
    EXPECT_EQ(sh(*phone, "grep -c ' /sdcard ' /proc/mounts"), "1\n");
    std::string x;
    EXPECT_TRUE(phone->read_file("/sdcard/x", &x));
    EXPECT_EQ(x, "card\n");
    const std::vector<std::vector<std::string>> runs = phone->mount_runs();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0], (std::vector<std::string>{"-t", "vfat", "/dev/block/mmcblk1p1", "/sdcard"}));
    EXPECT_EQ(sh(*phone, "test -e /dev/sdiotty0 || echo absent"), "absent\n");
}

// The header is the phone's statement, not worked out from the kernel's
// version: the same kernel serves either one.
TEST_F(PhoneLayout, StreamsCarryTheHeaderThePhoneStates) {
    for (int header : {0, 4}) {
        PhoneOptions options;
        options.stream_header = header;
        start(options);
        if (HasFatalFailure()) return;
        EXPECT_EQ(phone->header_bytes(), header);
        const int diag = open(phone->host_path("/dev/diag").c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_GE(diag, 0);
        ASSERT_EQ(ioctl(diag, 7, 2), 0);  // memory device mode: the stream comes to us
        control("burst diag 1");
        struct pollfd ready = {diag, POLLIN, 0};
        ASSERT_EQ(poll(&ready, 1, 2000), 1);
        std::string chunk(32768, '\0');
        const ssize_t got = read(diag, &chunk[0], chunk.size());
        close(diag);
        ASSERT_GT(got, header);
        chunk.resize(static_cast<size_t>(got));
        EXPECT_EQ(chunk.compare(0, 4, std::string("\x20\x00\x00\x00", 4)) == 0, header == 4);
        std::vector<DecodedPacket> packets;
        std::string error;
        EXPECT_TRUE(decode_frames(chunk.substr(static_cast<size_t>(header)), &packets, &error)) << error;
        EXPECT_FALSE(packets.empty());
    }
}

TEST_F(PhoneLayout, CommandsThatOverrunTheirTimeOutAreKilled) {
    start();
    const uint64_t before = monotonic_us();
    RunResult r = phone->run({"/bin/sh", "-c", "sleep 30"}, 200);
    EXPECT_FALSE(r.finished);
    EXPECT_LT(monotonic_us() - before, 3000000u);
    EXPECT_TRUE(wait_until([&] { return sh(*phone, "pgrep -x sleep || echo none") == "none\n"; }, 3000));
}

// A test process that dies with SIGKILL while its phone runs: the sandbox
// and the driver go with it, the mount is gone, and the next phone removes
// the run directory.
TEST(PhoneTeardown, KilledOwnerLeavesNothingRunningOrMounted) {
    std::string why;
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    ASSERT_TRUE(phone_supported(&why)) << why;
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    pid_t owner = fork();
    ASSERT_GE(owner, 0);
    if (owner == 0) {
        close(report[0]);
        std::unique_ptr<Phone> phone = Phone::start(PhoneOptions(), &why);
        if (!phone) _exit(1);
        phone->control("rate all 100000");
        // A reader inside, busy on the device, when the owner dies.
        phone->run({"/bin/sh", "-c", "(while :; do cat /dev/diag >/dev/null; done) & :"}, 2000);
        std::ostringstream out;
        out << phone->run_dir() << " " << phone->sandbox_pid() << " " << phone->driver_pid() << " " << phone->init_pid()
            << "\n";
        const std::string text = out.str();
        if (write(report[1], text.data(), text.size()) < 0) _exit(1);
        pause();
        _exit(0);
    }
    close(report[1]);
    char buffer[512] = {0};
    ssize_t got = read(report[0], buffer, sizeof buffer - 1);
    close(report[0]);
    ASSERT_GT(got, 0);
    std::istringstream fields(buffer);
    std::string run_dir;
    pid_t sandbox = 0, driver = 0, init = 0;
    fields >> run_dir >> sandbox >> driver >> init;
    ASSERT_FALSE(run_dir.empty());
    ASSERT_TRUE(mounted_under(run_dir));
    kill(owner, SIGKILL);
    int status;
    waitpid(owner, &status, 0);
    EXPECT_TRUE(wait_until([&] { return !alive(sandbox) && !alive(driver) && !alive(init); }, 5000));
    EXPECT_TRUE(wait_until([&] { return !mounted_under(run_dir); }, 5000));
    cleanup_stale_phones();
    EXPECT_NE(access(run_dir.c_str(), F_OK), 0);
}

// A driver killed outright leaves a dead mount; teardown still clears it.
TEST_F(PhoneLayout, DeadDriverMountIsClearedAtTeardown) {
    start();
    const std::string run_dir = phone->run_dir();
    kill(phone->driver_pid(), SIGKILL);
    ASSERT_TRUE(wait_until([&] { return access((run_dir + "/dev/diag").c_str(), F_OK) != 0; }, 3000));
    std::string problems;
    EXPECT_FALSE(phone->stop(&problems));  // it had to force the unmount
    EXPECT_NE(problems.find("lazy unmount"), std::string::npos) << problems;
    EXPECT_FALSE(mounted_under(run_dir));
    EXPECT_NE(access(run_dir.c_str(), F_OK), 0);
    phone.reset();
}
