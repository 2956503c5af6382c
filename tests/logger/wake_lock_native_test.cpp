#include "logger/wake_lock.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "control/signals.h"
#include "log_capture.h"
#include "logger_test_util.h"
#include "msg/log_msg.h"
#include "platform/profile.h"
#include "test_support.h"

namespace {

struct WakeLockTest : RecordsTest {
    std::string power = dir.file("power");
    WakeLockTest() : RecordsTest(3) { mkdir(power.c_str(), 0755); }
    // Runs body with the directory of fake control files in place of the
    // kernel's /sys/power.
    int with_fake_power(const std::function<int()>& body) {
        return run_in_child([&] {
            if (!enter_private_mounts()) return 100;
            if (mount(power.c_str(), "/sys/power", nullptr, MS_BIND, nullptr) != 0) return 101;
            return body();
        });
    }
    std::vector<std::string> texts() const { return log.texts(log_tag); }
};

TEST_F(WakeLockTest, NameIsWrittenToTheLockAndUnlockFiles) {
    write_file(power + "/wake_lock", "");
    write_file(power + "/wake_unlock", "");
    EXPECT_EQ(with_fake_power([] {
                  if (acquire_wake_lock("qxdm7k") != 6) return 1;
                  if (release_wake_lock("qxdm7k") != 6) return 2;
                  return 0;
              }),
              0);
    // The bare name: no terminator, no line end.
    EXPECT_EQ(read_file(power + "/wake_lock"), "qxdm7k");
    EXPECT_EQ(read_file(power + "/wake_unlock"), "qxdm7k");
    EXPECT_EQ(texts(), (std::vector<std::string>{"qxdm7k: acquire_wake_lock successful\n",
                                                 "qxdm7k: release_wake_lock successful\n"}));
}

TEST_F(WakeLockTest, MissingControlFileAndFailedWriteAreReported) {
    ASSERT_EQ(symlink("/dev/full", (power + "/wake_lock").c_str()), 0);
    EXPECT_EQ(with_fake_power([] {
                  if (acquire_wake_lock("tiTrace") != -1) return 1;
                  if (release_wake_lock("tiTrace") != -1) return 2;
                  return 0;
              }),
              0);
    EXPECT_EQ(texts(),
              (std::vector<std::string>{"tiTrace: acquire_wake_lock failed, error: No space left on device (28)\n",
                                        "tiTrace: open /sys/power/wake_unlock failed: No such file or directory\n"}));
}

struct NotifyStopTest : RecordsTest {
    FakeAm am{dir};
    NotifyStopTest() : RecordsTest(1) {}
};

TEST_F(NotifyStopTest, BroadcastIsSentWhileAdbDebuggingIsOn) {
    log.set_properties("persist.service.adb.enable=1\npersist.sys.usb.config=mtp\n");
    notify_stop(5);
    log.set_properties("persist.sys.usb.config=mtp,adb\n");
    notify_stop(28);
    EXPECT_EQ(am.calls(), stop_broadcast + "5\n" + stop_broadcast + "28\n");
    EXPECT_TRUE(log.texts(log_tag).empty());
}

// The broadcast is sent from a logger thread, which holds the daemon's stop
// and status signals blocked; neither the shell nor am may inherit that.
// bash stands in for the system's shell, since it hands its own mask on to
// the commands it runs (this host's dash clears it for them).
TEST_F(NotifyStopTest, BroadcastStartsWithNoSignalBlocked) {
    log.set_properties("persist.service.adb.enable=1\n");
    const std::string mask = dir.file("am.mask");
    // Builtins only: a shell that waits for a child may block signals itself.
    write_file(am.bin + "/am", "#!/bin/sh\nwhile read -r line; do case $line in SigBlk*) echo \"$line\" > '" + mask +
                                   "';; esac; done < /proc/$$/status\n");
    EXPECT_EQ(run_in_child([] {
                  if (!enter_private_mounts()) return 100;
                  if (mount("/bin/bash", "/bin/sh", nullptr, MS_BIND, nullptr) != 0) return 101;
                  hold_control_signals();
                  notify_stop(5);
                  return 0;
              }),
              0);
    EXPECT_EQ(read_file(mask), "SigBlk:\t0000000000000000\n");
}

TEST_F(NotifyStopTest, NoBroadcastWithAdbDebuggingOff) {
    for (const char* properties : {"", "persist.service.adb.enable=0\npersist.sys.usb.config=mtp,mass_storage\n"}) {
        log.set_properties(properties);
        notify_stop(5);
    }
    EXPECT_EQ(am.calls(), "");
    EXPECT_EQ(log.texts(log_tag),
              (std::vector<std::string>(2, "do not send notification when adb debugging is off.\n")));
}

}  // namespace
