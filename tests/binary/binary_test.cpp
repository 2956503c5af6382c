// The built executable, run as a user runs it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "log_capture.h"
#include "test_support.h"

namespace {

struct BinaryTest : ::testing::Test {
    TempDir dir;
    ScopedLogCapture log{dir};
    void messages_on() { log.set_properties("debugtool.anrhistory=1\n"); }
    std::vector<std::string> texts() const { return log.texts("ORLITH:zarnorlith"); }
};

TEST_F(BinaryTest, VersionAndPid) {
    RunResult version = run_binary({"-v"});
    EXPECT_EQ(version.exit_status, 0);
    EXPECT_EQ(version.out, "2.8\n");
    RunResult pid = run_binary({"-p"});
    EXPECT_EQ(pid.exit_status, 0);
    EXPECT_EQ(pid.out, "0\n");  // -v started nothing
    EXPECT_EQ(pid.err, "");
}

TEST_F(BinaryTest, ControlCommandsWithoutDaemonDoNothing) {
    messages_on();
    for (const char* option : {"-q", "-l"}) {
        RunResult run = run_binary({option});
        EXPECT_EQ(run.exit_status, 0) << option;
        EXPECT_EQ(run.out, "") << option;
    }
}

TEST_F(BinaryTest, UsageGoesOnlyToTheLog) {
    RunResult silent = run_binary({"-x"});
    EXPECT_EQ(silent.exit_status, 0);
    EXPECT_TRUE(log.records().empty());  // messages are off by default

    messages_on();
    RunResult run = run_binary({"-r", "5", "-d"});
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.out, "");
    auto lines = texts();
    ASSERT_EQ(lines.size(), 14u);
    EXPECT_EQ(lines[0], "unknown option -- 'd'\n");
    EXPECT_EQ(lines[2], "Zarn orlith ver 2.8\n");
    EXPECT_EQ(lines[13], "  -q              Stop running daemon.\n");
    EXPECT_EQ(lines[8], "  -f              Run in the foreground, the started process being the daemon.\n");

    RunResult quiet = run_binary({"-d", "0", "-x"});
    EXPECT_EQ(quiet.exit_status, 0);
    EXPECT_EQ(texts().size(), 14u);  // level 0 hides the usage text
}

TEST_F(BinaryTest, SecondDaemonIsRefused) {
    messages_on();
    NamedChild waiting_command("zarnorlith", {"-l"});
    EXPECT_EQ(run_binary({"-p"}).out, "0\n") << "a control command is no daemon";
    NamedChild daemon("zarnorlith", {"-r", "8"});
    RunResult pid = run_binary({"-p"});
    EXPECT_EQ(pid.out, std::to_string(daemon.pid) + "\n");
    RunResult start = run_binary({});
    EXPECT_EQ(start.exit_status, 255);
    EXPECT_EQ(texts().back(), "daemon is already running (" + std::to_string(daemon.pid) + ")!\n");
}

TEST_F(BinaryTest, StopSendsSigtermToTheDaemon) {
    NamedChild daemon("zarnorlith");
    RunResult stop = run_binary({"-q"});
    EXPECT_EQ(stop.exit_status, 0);
    int status = daemon.wait_for_end(5000);
    ASSERT_NE(status, -1);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
}

// On this host no diag device exists, so every task is excluded and the
// daemon only waits for its stop.
TEST_F(BinaryTest, StartForksAndQuitStopsTheDaemon) {
    messages_on();
    RunResult start = run_binary({"-r", "8"});
    EXPECT_EQ(start.exit_status, 0);
    std::string pid;
    for (int i = 0; i < 500 && (pid.empty() || pid == "0\n"); ++i) {
        pid = run_binary({"-p"}).out;
        if (pid == "0\n") usleep(10000);
    }
    ASSERT_NE(pid, "0\n");
    const int daemon = std::stoi(pid);
    EXPECT_EQ(run_binary({"-q"}).exit_status, 0);
    bool gone = false;
    for (int i = 0; i < 500 && !gone; ++i) {
        gone = kill(daemon, 0) != 0;
        if (!gone) usleep(10000);
    }
    if (!gone) kill(daemon, SIGKILL);
    EXPECT_TRUE(gone);
    auto lines = texts();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "daemon end.\n"), lines.end());
}

TEST_F(BinaryTest, MessagesEchoOnTheTerminal) {
    messages_on();
    int master = -1, slave = -1;
    struct termios raw;
    cfmakeraw(&raw);
    ASSERT_EQ(openpty(&master, &slave, nullptr, &raw, nullptr), 0);
    pid_t child = fork();
    if (child == 0) {
        dup2(slave, 1);
        dup2(slave, 2);
        execl(ORLITH_BINARY, ORLITH_BINARY, "-z", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(slave);
    const std::string echoed = read_terminal(master, 5000);
    int status = 0;
    waitpid(child, &status, 0);
    close(master);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    std::string prefix = "D/ORLITH:zarnorlith(" + std::to_string(child) + "): ";
    EXPECT_EQ(echoed.rfind(prefix + "unknown option -- 'z'\n", 0), 0u) << echoed;
    EXPECT_NE(echoed.find(prefix + "Zarn orlith ver 2.8\n"), std::string::npos);
    EXPECT_EQ(texts().size(), 14u);
}

}  // namespace
