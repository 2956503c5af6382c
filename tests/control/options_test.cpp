#include <gtest/gtest.h>
#include <limits.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "control/entry.h"
#include "log_capture.h"
#include "logger/task_table.h"
#include "test_support.h"

namespace {

struct OptionsTest : RecordsTest {
    int bad = 0;
    ControlCommand parse(std::initializer_list<const char*> words) {
        std::vector<std::string> storage{"zarnorlith"};
        for (const char* word : words) storage.emplace_back(word);
        std::vector<char*> argv;
        for (std::string& word : storage) argv.push_back(&word[0]);
        argv.push_back(nullptr);
        return parse_options(static_cast<int>(storage.size()), argv.data(), &bad);
    }
};

TEST_F(OptionsTest, RunOptionsAreBoundedBelow) {
    EXPECT_EQ(parse({"-r", "0", "-n", "-3", "-d", "-1"}), ControlCommand::none);
    EXPECT_EQ(daemon_settings.rotate_size_mb, 1);
    EXPECT_EQ(daemon_settings.rotate_count, 0);
    EXPECT_EQ(daemon_settings.debug_level, 0);
    EXPECT_EQ(parse({"-r", "-5", "-n", "abc", "-d", "lots"}), ControlCommand::none);
    EXPECT_EQ(daemon_settings.rotate_size_mb, 1);
    EXPECT_EQ(daemon_settings.rotate_count, 0);
    EXPECT_EQ(daemon_settings.debug_level, 0);
    EXPECT_EQ(parse({"-r16", "-n", "3", "-d", "1000"}), ControlCommand::none);
    EXPECT_EQ(daemon_settings.rotate_size_mb, 16);
    EXPECT_EQ(daemon_settings.rotate_count, 3);
    EXPECT_EQ(daemon_settings.debug_level, 1000);
    // Beyond int: clamped, not wrapped.
    EXPECT_EQ(parse({"-r", "99999999999", "-n", "-99999999999"}), ControlCommand::none);
    EXPECT_EQ(daemon_settings.rotate_size_mb, INT_MAX);
    EXPECT_EQ(daemon_settings.rotate_count, 0);
}

TEST_F(OptionsTest, FirstControlOptionEndsTheScan) {
    EXPECT_EQ(parse({"-d", "3", "-p", "-d", "0"}), ControlCommand::print_pid);
    EXPECT_EQ(daemon_settings.debug_level, 3);
    EXPECT_EQ(parse({"-p", "-d", "0"}), ControlCommand::print_pid);
    EXPECT_EQ(daemon_settings.debug_level, 3);
    // A cluster stopped in its middle must not leak into the next scan.
    EXPECT_EQ(parse({"-vq"}), ControlCommand::print_version);
    EXPECT_EQ(parse({"-l"}), ControlCommand::list_status);
    EXPECT_EQ(parse({"-q", "-v"}), ControlCommand::stop_daemon);
}

TEST_F(OptionsTest, BadOptionsNameTheirCharacter) {
    EXPECT_EQ(parse({"-x"}), ControlCommand::usage);
    EXPECT_EQ(bad, 'x');
    EXPECT_EQ(parse({"-d"}), ControlCommand::usage);
    EXPECT_EQ(bad, 'd');
    EXPECT_EQ(parse({"-r", "2", "-\xE9"}), ControlCommand::usage);
    EXPECT_EQ(daemon_settings.rotate_size_mb, 2);
}

}  // namespace
