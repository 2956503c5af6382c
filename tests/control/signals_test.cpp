#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "control/signals.h"
#include "control/status_report.h"
#include "logger/task_table.h"
#include "test_support.h"

namespace {

struct SignalsTest : ::testing::Test {
    SignalsTest() {
        reset_records();
        // A write to a pipe without a reader must fail, not end the test.
        signal(SIGPIPE, SIG_IGN);
    }
    ~SignalsTest() override {
        for (TaskEntry* task = task_table; task->name != nullptr; ++task) {
            for (int& end : task->wake_pipe) {
                if (end >= 0) close(end);
            }
            mark_thread_running(task, false);
        }
        reset_records();
    }
    std::string line_of(const TaskEntry& task, time_t now) {
        char line[256];
        format_status_line(&task, now, line, sizeof line);
        return line;
    }
};

TEST_F(SignalsTest, WakeTaskWritesOneSpace) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    EXPECT_EQ(wake_task(ends), 0);
    char byte = 0;
    EXPECT_EQ(read(ends[0], &byte, 1), 1);
    EXPECT_EQ(byte, ' ');
    close(ends[0]);
    EXPECT_EQ(wake_task(ends), -1);  // EPIPE: the reader is gone
    close(ends[1]);
    int unset[2] = {-1, -1};
    EXPECT_EQ(wake_task(unset), -1);
    EXPECT_EQ(wake_task(nullptr), -1);
}

TEST_F(SignalsTest, StopWakesEveryTaskThatIsNotExcluded) {
    for (TaskEntry* task = task_table; task->name != nullptr; ++task) ASSERT_EQ(pipe(task->wake_pipe), 0);
    task_table[1].excluded = 1;
    task_table[3].wake_pipe[1] = -1;  // not yet open: skipped, no harm
    static std::atomic<int> alarms{0};
    alarms = 0;
    ASSERT_EQ(install_handler(SIGALRM, [](int) { ++alarms; }), 0);
    task_table[0].thread = pthread_self();

    stop_tasks(SIGTERM);
    EXPECT_EQ(runtime_state.done.load(), 1);
    EXPECT_EQ(alarms.load(), 1);
    for (int i : {0, 2}) {
        char byte;
        EXPECT_EQ(read(task_table[i].wake_pipe[0], &byte, 1), 1) << i;
    }
    fcntl(task_table[1].wake_pipe[0], F_SETFL, O_NONBLOCK);
    char byte;
    EXPECT_EQ(read(task_table[1].wake_pipe[0], &byte, 1), -1);
    EXPECT_EQ(errno, EAGAIN);
    task_table[0].thread = no_thread;
    install_handler(SIGALRM, alarm_handler);
}

TEST_F(SignalsTest, StatusLinesInTheirOrder) {
    TaskEntry& task = task_table[0];
    const time_t now = 1700000000;
    task.last_data_time = now - 5;
    task.error = ENOENT;
    task.excluded = 1;
    // Without /dev/diag the kernel has no diag driver at all, which the line
    // says; another missing node is only itself.
    EXPECT_EQ(line_of(task, now), "/dev/diag: error 2: No such file or directory: this kernel has no diag driver");
    task_table[1].error = ENOENT;
    EXPECT_EQ(line_of(task_table[1], now), "/dev/diag_mdm: error 2: No such file or directory");
    task.error = 0;
    EXPECT_EQ(line_of(task, now), "/dev/diag: excluded");
    task.excluded = 0;
    EXPECT_EQ(line_of(task, now), "/dev/diag: thread is not running");
    task.thread = pthread_self();
    // The handle alone is not enough: the thread must still be in its body.
    EXPECT_EQ(line_of(task, now), "/dev/diag: thread is not running");
    mark_thread_running(&task, true);
    EXPECT_EQ(line_of(task, now), "/dev/diag: running");
    set_log_path(&task, strdup("/sdcard/qxdm_7k_20130405_093015_007.dm"));
    EXPECT_EQ(line_of(task, now), "/dev/diag: logging to /sdcard/qxdm_7k_20130405_093015_007.dm");
    task.last_data_time = now - 6;
    EXPECT_EQ(line_of(task, now), "/dev/diag: no data for 6.0 sec");
    task.error = -1;
    EXPECT_EQ(line_of(task, now).rfind("/dev/diag: error -1: ", 0), 0u);
    task.thread = no_thread;
}

TEST_F(SignalsTest, LongStatusLineIsCut) {
    TaskEntry& task = task_table[0];
    mark_thread_running(&task, true);
    task.thread = pthread_self();
    task.last_data_time = 1700000000;
    set_log_path(&task, strdup(("/" + std::string(400, 'p')).c_str()));
    std::string line = line_of(task, 1700000000);
    EXPECT_EQ(line.size(), 255u);
    EXPECT_EQ(line.rfind("/dev/diag: logging to /ppp", 0), 0u);
    task.thread = no_thread;
}

}  // namespace
