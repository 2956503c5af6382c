#include <gtest/gtest.h>
#include <string.h>

#include "logger/task_table.h"

// The records as the process starts: later steps rely on "unset" being -1
// for descriptors and handles and 0 for errors and flags.
TEST(TaskTable, StartsWithTheBuiltInValues) {
    const char* names[] = {"qxdm7k", "qxdm9k", "qxdmExt", "tiTrace"};
    const char* paths[] = {"/dev/diag", "/dev/diag_mdm", "/dev/extdiag", "ro.muxd.trace_pts_name"};
    const int requests[] = {7, 7, -1, -1};
    for (int i = 0; i < task_count; ++i) {
        const TaskEntry& task = task_table[i];
        EXPECT_STREQ(task.name, names[i]);
        EXPECT_STREQ(task.device_path, paths[i]);
        EXPECT_EQ(task.excluded, 0);
        EXPECT_EQ(task.error, 0) << names[i];
        EXPECT_EQ(task.device_fd, -1);
        EXPECT_EQ(task.wake_pipe[0], -1);
        EXPECT_EQ(task.wake_pipe[1], -1);
        EXPECT_EQ(task.thread, no_thread);
        EXPECT_EQ(task.log_path, nullptr);
        EXPECT_NE(strstr(task.file_template, datetime_placeholder), nullptr);
        EXPECT_EQ(task.ioctl_request, requests[i]);
        EXPECT_EQ(task.ioctl_enable_arg, requests[i] < 0 ? -1 : 2);
        EXPECT_EQ(task.ioctl_disable_arg, requests[i] < 0 ? -1 : 1);
    }
    EXPECT_EQ(task_table[task_count].name, nullptr);
    EXPECT_EQ(task_table[task_count].error, 0);
    EXPECT_EQ(daemon_settings.messages_enabled, -1);
    EXPECT_EQ(daemon_settings.debug_level, 1);
    EXPECT_EQ(daemon_settings.rotate_size_mb, 64);
    EXPECT_EQ(daemon_settings.rotate_count, 10);
    EXPECT_EQ(daemon_settings.ext_ctrl_fd, -1);
    EXPECT_STREQ(daemon_settings.external_candidates[0], "/sdcard2");
    EXPECT_EQ(daemon_settings.external_candidates[1], nullptr);
}
