#include <gtest/gtest.h>

#include <errno.h>

#include <string>

#include "control/cmdline.h"
#include "log_capture.h"
#include "msg/log_msg.h"
#include "test_support.h"

namespace {

struct CmdlineTest : RecordsTest {
    std::string path = dir.file("cmdline");
    char value[cmdline_value_size];
    CmdlineTest() : RecordsTest(3) { memset(value, '?', sizeof value); }
    int lookup(const std::string& content, const char* key, const char* fallback) {
        write_file(path, content);
        return get_cmdline_value(path.c_str(), key, value, sizeof value, fallback);
    }
};

TEST_F(CmdlineTest, KeyInTheMiddleAndAtTheEnd) {
    std::string line = "console=ttyHSL0 androidboot.mode=mfgkernel radioflag=8000000\n";
    EXPECT_EQ(lookup(line, "androidboot.mode", "normal"), static_cast<int>(line.size()));
    EXPECT_STREQ(value, "mfgkernel");
    lookup(line, "radioflag", "0");
    EXPECT_STREQ(value, "8000000");  // the trailing newline is gone
    EXPECT_EQ(log.texts(log_tag).back(), "key [radioflag], value [8000000]\n");
}

TEST_F(CmdlineTest, MissingOrEmptyValueGivesTheDefault) {
    lookup("androidboot.mode= radioflag=1\n", "androidboot.mode", "normal");
    EXPECT_STREQ(value, "normal");
    EXPECT_EQ(log.texts(log_tag).back(), "key [androidboot.mode], value is not defined, use default value [normal]\n");
    lookup("quiet\n", "radioflag", "0");
    EXPECT_STREQ(value, "0");
    EXPECT_EQ(log.texts(log_tag).back(), "key [radioflag] is not found, use default value [0]\n");
    // A key counts only as a whole word, wherever a longer one holds it.
    lookup("xradioflag=5\n", "radioflag", "0");
    EXPECT_STREQ(value, "0");
    lookup("xradioflag=5 a.radioflag=6 radioflag=7 radioflag=8\n", "radioflag", "0");
    EXPECT_STREQ(value, "7");
    lookup("console=x-radioflag=5\n", "radioflag", "0");
    EXPECT_STREQ(value, "0");
}

TEST_F(CmdlineTest, EmptyAndMissingFilesLeaveTheValueAlone) {
    EXPECT_EQ(lookup("", "radioflag", "0"), 0);
    EXPECT_EQ(value[0], '?');
    EXPECT_EQ(get_cmdline_value(dir.file("absent").c_str(), "radioflag", value, sizeof value, "0"), -1);
    EXPECT_EQ(value[0], '?');
    auto texts = log.texts(log_tag);
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0].rfind("read fd: " + path + " (", 0), 0u);
    EXPECT_EQ(texts[1], "open " + dir.file("absent") + " failed: No such file or directory\n");
    // No room for a terminator: refused before the file is read or traced.
    write_file(path, "radioflag=1\n");
    errno = 0;
    EXPECT_EQ(get_cmdline_value(path.c_str(), "radioflag", value, 0, "0"), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(value[0], '?');
    EXPECT_EQ(log.texts(log_tag).size(), 2u);
}

TEST_F(CmdlineTest, OverlongValueIsCutToTheBuffer) {
    std::string word(300, 'v');
    lookup("radioflag=" + word + " next=1\n", "radioflag", "0");
    EXPECT_EQ(std::string(value), word.substr(0, cmdline_value_size - 1));
    // Only the first 1024 bytes of the file count, the last of them dropped.
    std::string filler(1010, 'f');
    lookup(filler + " radioflag=123456789\n", "radioflag", "0");
    // 1010 + 11 bytes come before the value; bytes 1021 and 1022 remain.
    EXPECT_STREQ(value, "12");
}

}  // namespace
