#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "control/control_commands.h"
#include "log_capture.h"
#include "logger/task_table.h"
#include "test_support.h"

namespace {

struct FindDaemonTest : RecordsTest {
    FindDaemonTest() { runtime_state.own_pid = getpid(); }
};

TEST_F(FindDaemonTest, FindsAProcessOfThatExactName) {
    EXPECT_EQ(find_daemon_pid(), 0);
    {
        NamedChild other("zarnorlith2");
        NamedChild shorter("zarnorlit");
        EXPECT_EQ(find_daemon_pid(), 0);
    }
    NamedChild daemon("zarnorlith");
    EXPECT_EQ(find_daemon_pid(), daemon.pid);
    // The caller is never its own daemon.
    runtime_state.own_pid = daemon.pid;
    EXPECT_EQ(find_daemon_pid(), 0);
}

// A control command lives on as long as its work takes (a -l waiting for its
// file); it is never the daemon, read as the option parsing reads it.
TEST_F(FindDaemonTest, ControlCommandIsNotTheDaemon) {
    NamedChild listing("zarnorlith", {"-d", "2", "-l"});
    NamedChild usage("zarnorlith", {"-x"});
    EXPECT_EQ(find_daemon_pid(), 0);
    NamedChild daemon("zarnorlith", {"-d", "-l", "-r", "8"});  // -l is the level
    EXPECT_EQ(find_daemon_pid(), daemon.pid);
}

TEST_F(FindDaemonTest, CallerRenamedIsNotFound) {
    char saved[17] = {};
    prctl(PR_GET_NAME, saved);
    prctl(PR_SET_NAME, "zarnorlith");
    int found = find_daemon_pid();
    prctl(PR_SET_NAME, saved);
    EXPECT_EQ(found, 0);
}

struct StatusFileTest : ::testing::Test {
    TempDir dir;
    std::string path = dir.file(".orlith.stat");
    char text[status_text_size];
    int read_back(const std::string& content) {
        write_file(path, content);
        memset(text, '?', sizeof text);
        return read_status_file(path.c_str(), text);
    }
};

TEST_F(StatusFileTest, TerminatorAtTheEndCompletesTheReport) {
    EXPECT_EQ(read_back("/dev/diag: running\n/dev/diag_mdm: excluded\n--"), 1);
    EXPECT_STREQ(text, "/dev/diag: running\n/dev/diag_mdm: excluded");
    EXPECT_EQ(read_back("\n--"), 1);
    EXPECT_STREQ(text, "");
    for (const char* incomplete : {"", "--", "/dev/diag: running\n", "/dev/diag: running\n-", "a\n--\n", "a\n--x"}) {
        EXPECT_EQ(read_back(incomplete), 0) << incomplete;
        EXPECT_STREQ(text, "");
    }
    EXPECT_EQ(read_status_file(dir.file("absent").c_str(), text), -1);
}

// The name lies in a folder an app can write.
TEST_F(StatusFileTest, OnlyARegularFileIsReadAndNothingThereHoldsItUp) {
    write_file(dir.file("elsewhere"), "a\n--");
    ASSERT_EQ(symlink(dir.file("elsewhere").c_str(), path.c_str()), 0);
    EXPECT_EQ(read_status_file(path.c_str(), text), -1);
    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    EXPECT_EQ(read_status_file(path.c_str(), text), -1);
    EXPECT_STREQ(text, "");
}

TEST_F(StatusFileTest, ZeroByteEndsTheText) {
    EXPECT_EQ(read_back(std::string("a\n--\0tail", 9)), 1);
    EXPECT_STREQ(text, "a");
    EXPECT_EQ(read_back(std::string("a\0b\n--", 6)), 0);
}

TEST_F(StatusFileTest, LongReportIsCutToTheBuffer) {
    // Four status lines of 255 characters make more than the buffer holds.
    std::string line = std::string(255, 'L') + "\n";
    std::string report = line + line + line + line + "--";
    EXPECT_EQ(read_back(report), 1);
    EXPECT_EQ(std::string(text), report.substr(0, status_text_size - 1));
    std::string just_fits = std::string(status_text_size - 1, 'a') + "\n--";
    EXPECT_EQ(read_back(just_fits), 1);
    EXPECT_EQ(strlen(text), status_text_size - 1);
}

}  // namespace
