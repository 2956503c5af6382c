#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "../logger/logger_test_util.h"
#include "control/task_supervisor.h"
#include "log_capture.h"
#include "logger/task_table.h"
#include "msg/log_msg.h"
#include "test_support.h"

namespace {

struct TaskSetupTest : RecordsTest {
    int master = -1, slave = -1;
    char slave_name[256] = {};
    TaskSetupTest() : RecordsTest(1) { EXPECT_EQ(openpty(&master, &slave, slave_name, nullptr, nullptr), 0); }
    ~TaskSetupTest() override {
        for (TaskEntry* task = task_table; task->name != nullptr; ++task) {
            close_wake_pipe(task->wake_pipe);
            if (task->device_fd >= 0) close(task->device_fd);
            task->device_fd = -1;
            free(const_cast<char*>(task->device_path));
        }
        close(master);
        close(slave);
    }
};

TEST_F(TaskSetupTest, TraceTerminalIsMadeRawAndMissingNodesExcluded) {
    if (access("/dev/diag", F_OK) == 0) GTEST_SKIP() << "this host has a diag device";
    log.set_properties(std::string("ro.muxd.trace_pts_name=") + slave_name + "\n");
    set_up_tasks();

    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(task_table[i].excluded, 1) << task_table[i].name;
        EXPECT_EQ(task_table[i].error, ENOENT) << task_table[i].name;
        EXPECT_EQ(task_table[i].device_fd, -1);
        EXPECT_EQ(task_table[i].wake_pipe[0], -1);
    }
    TaskEntry& trace = task_table[3];
    ASSERT_EQ(trace.excluded, 0);
    EXPECT_STREQ(trace.device_path, slave_name);
    ASSERT_GE(trace.device_fd, 0);
    EXPECT_GE(trace.wake_pipe[0], 0);
    EXPECT_EQ(fcntl(trace.device_fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);

    struct termios attrs;
    ASSERT_EQ(tcgetattr(slave, &attrs), 0);
    EXPECT_EQ(attrs.c_lflag & (ECHO | ECHONL | ICANON | ISIG | IEXTEN), 0u);
    EXPECT_EQ(attrs.c_iflag & (IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON), 0u);
    EXPECT_EQ(attrs.c_oflag & OPOST, 0u);
    EXPECT_EQ(attrs.c_cflag & (CSIZE | PARENB), static_cast<tcflag_t>(CS8));
    auto texts = log.texts(log_tag);
    EXPECT_NE(std::find(texts.begin(), texts.end(), "qxdm7k: ignore: cannot access device node (/dev/diag)!\n"),
              texts.end());
}

struct TaskStartTest : RecordsTest {
    TaskStartTest() : RecordsTest(1) {}
};

// A stop that came while the daemon was still starting is not undone by the
// task start: the daemon ends at once, in order.
TEST_F(TaskStartTest, StopDuringTheStartUpEndsTheDaemon) {
    const int result = run_in_child([] {
        runtime_state.done = 1;
        // A lost stop would wait for the next hour; the alarm ends that
        // (whatever handler an earlier test left for it).
        signal(SIGALRM, SIG_DFL);
        alarm(5);
        return run_tasks();
    });
    EXPECT_EQ(result, 0);
    auto texts = log.texts(log_tag);
    EXPECT_NE(std::find(texts.begin(), texts.end(), "daemon end.\n"), texts.end());
}

TEST_F(TaskSetupTest, UnsetTraceProperty) {
    set_up_tasks();
    EXPECT_STREQ(task_table[3].device_path, "ro.muxd.trace_pts_name");
    EXPECT_EQ(task_table[3].excluded, 1);
    EXPECT_EQ(task_table[3].error, ENOENT);
}

}  // namespace
