// The Android platform layer over the real liblog (Debian's build of the AOSP
// library), with property_get from the host stand-in. On a host, liblog
// prints each record on standard error as
// "<tag> <priority letter> <MM-DD hh:mm:ss> <pid> <tid> <text>".
#include <android/log.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "log_capture.h"
#include "msg/log_msg.h"
#include "platform/platform.h"
#include "test_support.h"

namespace {

struct LiblogRecord {
    std::string tag;
    int priority;  // from liblog's letter: V 2, D 3, I 4, W 5, E 6, F 7
    long pid;
    std::string text;
};

// The records in liblog's standard error output; a message's own newline
// leaves an empty line behind its record.
std::vector<LiblogRecord> liblog_records(const std::string& err) {
    static const std::regex line_form(R"(^(\S+) ([VDIWEF]) \d\d-\d\d \d\d:\d\d:\d\d +(\d+) +\d+ (.*)$)");
    static const std::string letters = "VDIWEF";
    std::vector<LiblogRecord> records;
    size_t at = 0;
    while (at < err.size()) {
        size_t end = err.find('\n', at);
        if (end == std::string::npos) end = err.size();
        std::string line = err.substr(at, end - at);
        at = end + 1;
        if (line.empty()) continue;
        std::smatch match;
        if (!std::regex_match(line, match, line_form)) {
            ADD_FAILURE() << "not a liblog record: " << line;
            continue;
        }
        records.push_back(
            {match[1], static_cast<int>(letters.find(match[2].str()[0])) + 2, std::stol(match[3]), match[4]});
    }
    return records;
}

// Runs body with this process's standard error going to a file, and returns
// what was written there.
template <typename Body>
std::string capture_stderr(const TempDir& dir, Body body) {
    const std::string path = dir.file("stderr");
    fflush(stderr);
    int saved = dup(2);
    int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    EXPECT_GE(saved, 0);
    EXPECT_GE(file, 0);
    dup2(file, 2);
    close(file);
    body();
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    return read_file(path);
}

// ORLITH_PROPERTIES is a scratch file for the stand-in; the host sink's
// ORLITH_LOG must stay empty, for nothing goes through it here.
using LiblogTest = RecordsTest;

TEST_F(LiblogTest, MessagesReachLiblogWithTheirPriorityAndTag) {
    // Host liblog drops records below INFO unless asked.
    int previous = __android_log_set_minimum_priority(ANDROID_LOG_VERBOSE);
    enable_messages(1);
    std::string err = capture_stderr(dir, [] {
        MSG_ERROR("load_config: cannot find config %s\n", "/x/orlith.conf");
        MSG_DEBUG(1, "%s: thread started.\n", "qxdm7k");
        log_direct(log_priority_error, log_tag_dir, "100%% full\n");
    });
    __android_log_set_minimum_priority(previous);

    auto records = liblog_records(err);
    ASSERT_EQ(records.size(), 3u) << err;
    EXPECT_EQ(records[0].tag, "ORLITH:zarnorlith");
    EXPECT_EQ(records[0].priority, 6);
    EXPECT_EQ(records[0].text, "load_config: cannot find config /x/orlith.conf");
    EXPECT_EQ(records[0].pid, getpid());
    EXPECT_EQ(records[1].tag, "ORLITH:zarnorlith");
    EXPECT_EQ(records[1].priority, 3);
    EXPECT_EQ(records[1].text, "qxdm7k: thread started.");
    EXPECT_EQ(records[2].tag, "ORLITH:dir");
    EXPECT_EQ(records[2].priority, 6);
    EXPECT_EQ(records[2].text, "100% full");  // formatted once, never again
    EXPECT_TRUE(log.records().empty());
}

// The daemon as built for this layer: the messages switch read through
// property_get, and an error of the start-up on liblog's standard error.
TEST_F(LiblogTest, DaemonErrorReachesLiblog) {
    NamedChild daemon("zarnorlith", {"-r", "8"});
    RunResult quiet = run_binary({});
    EXPECT_EQ(quiet.exit_status, 255);
    EXPECT_EQ(quiet.err, "") << "messages are off until the property turns them on";

    log.set_properties("debugtool.anrhistory=1\n");
    RunResult refused = run_binary({});
    EXPECT_EQ(refused.exit_status, 255);
    EXPECT_EQ(refused.out, "");
    auto records = liblog_records(refused.err);
    ASSERT_EQ(records.size(), 1u) << refused.err;
    EXPECT_EQ(records[0].tag, "ORLITH:zarnorlith");
    EXPECT_EQ(records[0].priority, 6);
    EXPECT_EQ(records[0].text, "daemon is already running (" + std::to_string(daemon.pid) + ")!");
    EXPECT_NE(records[0].pid, daemon.pid);
    EXPECT_TRUE(log.records().empty());
}

// The Android layer copies libcutils' value, bounded by PROPERTY_VALUE_MAX,
// into the caller's buffer of any size.
TEST_F(LiblogTest, PropertyValueFitsTheCallersBuffer) {
    log.set_properties("persist.sys.usb.config=mtp,adb\nro.long=" + std::string(200, 'v') + "\n");
    char value[4096];
    EXPECT_EQ(platform_property_get("persist.sys.usb.config", value, sizeof value, ""), 7);
    EXPECT_STREQ(value, "mtp,adb");
    EXPECT_EQ(platform_property_get("persist.sys.usb.config", value, 4, ""), 3);
    EXPECT_STREQ(value, "mtp");
    EXPECT_EQ(platform_property_get("ro.long", value, sizeof value, ""), 91);  // PROP_VALUE_MAX - 1
    EXPECT_EQ(std::string(value), std::string(91, 'v'));
    EXPECT_EQ(platform_property_get("ro.muxd.trace_pts_name", value, 256, "ro.muxd.trace_pts_name"), 22);
    EXPECT_STREQ(value, "ro.muxd.trace_pts_name");
    value[0] = 'x';
    EXPECT_EQ(platform_property_get("persist.sys.usb.config", value, 0, ""), 0);
    EXPECT_EQ(value[0], 'x');
}

}  // namespace
