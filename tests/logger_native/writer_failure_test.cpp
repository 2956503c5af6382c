// The log writer on media that fail: full, read-only, and a directory where
// renames are refused.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "../logger/logger_test_util.h"
#include "logger/log_writer.h"
#include "msg/log_msg.h"
#include "native_test_util.h"
#include "test_support.h"

namespace {

const std::string stem_name = "qxdm_7k_20130405_093015_007";
const std::string stop_broadcast =
    "broadcast -a com.zarn.android.orlith.ORLITH.DAEMON.STOP -n com.zarn.android.orlith/.ORLITH --ei ERRNO ";

struct WriterFailureTest : ::testing::Test {
    TempDir dir;
    ScopedLogCapture log{dir};
    FakeAm am{dir};
    SigtermCatcher sigterm;
    std::string root = dir.file("logs");
    std::string stem = root + "/" + stem_name;
    std::string current = stem + ".dm";
    TaskEntry* task = &task_table[0];

    WriterFailureTest() {
        reset_records();
        enable_messages(2);
        log.set_properties("persist.service.adb.enable=1\n");
        mkdir(root.c_str(), 0755);
        runtime_state.log_root = root.c_str();
        task->log_path = strdup(current.c_str());
    }
    ~WriterFailureTest() override { reset_records(); }

    int write(const std::string& data) { return write_log_file(task, data.data(), static_cast<int>(data.size())); }
    // Runs body in a child with a small tmpfs as the log root.
    int on_tmpfs(const std::function<int()>& body) {
        return run_in_child([&] {
            runtime_state.own_pid = getpid();
            if (!enter_private_mounts()) return 100;
            if (mount("tmpfs", root.c_str(), "tmpfs", 0, "size=64k") != 0) return 101;
            return body();
        });
    }
    bool logged(const std::string& text) const {
        for (const std::string& line : log.texts(log_tag)) {
            if (line == text) return true;
        }
        return false;
    }
};

TEST_F(WriterFailureTest, FullMediumStopsTheDaemonAndBroadcastsTheError) {
    EXPECT_EQ(on_tmpfs([&] {
                  const std::string chunk(16384, 'd');
                  int result = 0;
                  for (int i = 0; i < 16 && result == 0; ++i) result = write(chunk);
                  if (result != -1) return 1;
                  return sigterm.count_after_settling() == 1 ? 0 : 2;
              }),
              0);
    EXPECT_TRUE(logged("qxdm7k: write log file " + current + " failed: No space left on device\n"));
    EXPECT_TRUE(logged("qxdm7k: stop daemon, error: No space left on device (28)\n"));
    EXPECT_EQ(am.calls(), stop_broadcast + "28\n");
    // The log file's descriptor was not handed on to am.
    const std::string inherited = read_file(am.fds);
    EXPECT_EQ(inherited.find(root), std::string::npos) << inherited;
}

TEST_F(WriterFailureTest, ReadOnlyMediumStopsTheDaemon) {
    EXPECT_EQ(on_tmpfs([&] {
                  if (write("before") != 0) return 1;
                  if (mount(nullptr, root.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0) return 2;
                  if (write("after") != -1) return 3;
                  return sigterm.count_after_settling() == 1 ? 0 : 4;
              }),
              0);
    EXPECT_TRUE(logged("qxdm7k: open log file " + current + " failed: Read-only file system\n"));
    EXPECT_TRUE(logged("qxdm7k: stop daemon, error: Read-only file system (30)\n"));
    EXPECT_EQ(am.calls(), stop_broadcast + "30\n");
}

// Without write permission on the directory every rename fails with EACCES;
// with rotated files up to index 3 only, the first refused one is index 3.
TEST_F(WriterFailureTest, RefusedRenameKeepsTheFullFileAndRetriesLater) {
    const uid_t nobody = 65534;
    ASSERT_EQ(chmod(dir.path.c_str(), 0755), 0);
    write_file(log.log_path, "");
    ASSERT_EQ(chmod(log.log_path.c_str(), 0666), 0);
    const std::string files[] = {".1.111111.dm", ".2.222222.dm", ".3.333333.dm", ".dm"};
    for (const std::string& suffix : files) {
        write_file(stem + suffix, suffix);
        ASSERT_EQ(chown((stem + suffix).c_str(), nobody, nobody), 0);
    }
    daemon_settings.rotate_size_mb = 0;
    EXPECT_EQ(run_in_child([&] {
                  if (setgroups(0, nullptr) != 0 || setresgid(nobody, nobody, nobody) != 0 ||
                      setresuid(nobody, nobody, nobody) != 0) {
                      return 100;
                  }
                  runtime_state.own_pid = getpid();
                  if (write("+one") != 0) return 1;
                  if (write("+two") != 0) return 2;
                  return sigterm.count_after_settling() == 0 ? 0 : 3;
              }),
              0);
    for (const std::string& suffix : files) {
        EXPECT_TRUE(access((stem + suffix).c_str(), F_OK) == 0) << suffix;
    }
    EXPECT_EQ(list_dir(root).size(), 4u);
    EXPECT_EQ(read_file(current), ".dm+one+two");
    const std::string refused =
        "qxdm7k: cannot rename [" + stem + ".3.333333.dm] to [" + stem + ".4.333333.dm]: Permission denied (13)\n";
    int refusals = 0;
    for (const std::string& line : log.texts(log_tag)) refusals += line == refused;
    EXPECT_EQ(refusals, 2);
    EXPECT_EQ(am.calls(), "");
}

}  // namespace
