#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <stdio.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "log_capture.h"
#include "msg/error_text.h"
#include "msg/log_msg.h"
#include "platform/platform.h"
#include "test_support.h"

namespace {

using MessageTest = RecordsTest;

TEST_F(MessageTest, GuardNeedsMessagesOnAndTheThreshold) {
    for (int enabled : {-1, 0, 2}) {
        daemon_settings.messages_enabled = enabled;
        MSG_ERROR("error %d\n", enabled);
        MSG_DEBUG(1, "debug %d\n", enabled);
    }
    EXPECT_TRUE(log.records().empty());

    enable_messages(2);
    MSG_DEBUG(3, "too chatty\n");
    MSG_DEBUG(2, "detail\n");
    daemon_settings.debug_level = 0;
    MSG_DEBUG(1, "progress\n");
    MSG_ERROR("failure\n");
    auto records = log.records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].priority, 3);
    EXPECT_EQ(records[0].text, "detail\n");
    EXPECT_EQ(records[1].priority, 6);
    EXPECT_EQ(records[1].tag, "ORLITH:zarnorlith");
    EXPECT_EQ(records[1].text, "failure\n");
}

TEST_F(MessageTest, TextIsFormattedOnceAndCut) {
    enable_messages(1);
    log_msg(7, "%s", "100%s done\n");
    log_msg(-1, "%s", std::string(3000, 'x').c_str());
    auto records = log.records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].priority, 3);
    EXPECT_EQ(records[0].text, "100%s done\n");
    EXPECT_EQ(records[1].text, std::string(1023, 'x'));
}

TEST_F(MessageTest, DirectWritersIgnoreTheLevelButNotTheSwitch) {
    daemon_settings.messages_enabled = 0;
    log_direct(log_priority_error, log_tag_dir, "hidden");
    enable_messages(0);
    log_direct(log_priority_debug, log_tag_poll, "shown\nwith\nnewlines %d", 1);
    auto records = log.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].tag, "ORLITH:poll");
    EXPECT_EQ(records[0].text, "shown\nwith\nnewlines 1");
}

// Standard output and error on the slave of a real pseudo-terminal.
struct TerminalEcho {
    int master = -1;
    int slave = -1;
    int saved_out = dup(1);
    int saved_err = dup(2);
    TerminalEcho() {
        struct termios raw;
        cfmakeraw(&raw);
        EXPECT_EQ(openpty(&master, &slave, nullptr, &raw, nullptr), 0);
        fflush(stdout);
        fflush(stderr);
        dup2(slave, 1);
        dup2(slave, 2);
    }
    ~TerminalEcho() {
        fflush(stdout);
        fflush(stderr);
        dup2(saved_out, 1);
        dup2(saved_err, 2);
        close(saved_out);
        close(saved_err);
        close(slave);
        close(master);
    }
    std::string drain() {
        fflush(stdout);
        fflush(stderr);
        return read_terminal(master, 200);
    }
};

TEST_F(MessageTest, EchoToTerminalUntilItVanishes) {
    enable_messages(1);
    std::string link = dir.file("pts-stand-in");
    write_file(link, "");
    snprintf(daemon_settings.tty_link, sizeof daemon_settings.tty_link, "%s", link.c_str());
    runtime_state.echo_stdout = 1;
    runtime_state.own_pid = 4242;
    std::string while_there, after_gone;
    {
        TerminalEcho terminal;
        MSG_DEBUG(1, "hello %d\n", 1);
        MSG_ERROR("bad %s\n", "thing");
        while_there = terminal.drain();
        unlink(link.c_str());
        MSG_DEBUG(1, "after\n");
        MSG_ERROR("after error\n");
        after_gone = terminal.drain();
    }
    // Standard output is buffered and standard error is not, so only the
    // lines, not their order, are fixed.
    const std::string debug_line = "D/ORLITH:zarnorlith(4242): hello 1\n";
    const std::string error_line = "E/ORLITH:zarnorlith(4242): bad thing\n";
    EXPECT_NE(while_there.find(debug_line), std::string::npos) << while_there;
    EXPECT_NE(while_there.find(error_line), std::string::npos) << while_there;
    EXPECT_EQ(while_there.size(), debug_line.size() + error_line.size()) << while_there;
    EXPECT_EQ(after_gone, "");
    EXPECT_EQ(runtime_state.echo_stdout.load(), 0);
    auto records = log.records();
    ASSERT_EQ(records.size(), 5u);
    EXPECT_EQ(records[2].text, "disable stdio.\n");
    EXPECT_EQ(records[2].priority, 3);
    EXPECT_EQ(records[3].text, "after\n");
    EXPECT_EQ(records[4].text, "after error\n");
}

TEST(ErrorText, KnownAndUnknownNumbers) {
    EXPECT_STREQ(error_text(ENOENT).text, "No such file or directory");
    EXPECT_NE(std::string(error_text(987654).text).find("987654"), std::string::npos);
}

}  // namespace
