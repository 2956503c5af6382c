#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "config/config_file.h"
#include "log_capture.h"
#include "logger/task_table.h"
#include "msg/log_msg.h"
#include "platform/platform.h"
#include "test_support.h"

namespace {

struct ConfigTest : RecordsTest {
    std::string path = dir.file("orlith.conf");
    const char* no_candidates[1] = {nullptr};
    ConfigTest() : RecordsTest(1) { daemon_settings.external_candidates = no_candidates; }
    // The daemon loads once and keeps the list; a test that loads again
    // gives the last one back first.
    void load(const std::string& content) {
        write_file(path, content);
        kv_list_destroy(loaded_config);
        loaded_config = nullptr;
        load_config(path.c_str());
    }
    bool logged(const std::string& text) const { return RecordsTest::logged(text, any_line); }
};

TEST_F(ConfigTest, CommentsOnlyGiveBuiltInDefaults) {
    ScopedEnv env("EXTERNAL_STORAGE", "/proc");  // any mounted directory
    daemon_settings.rotate_size_mb = 5;
    daemon_settings.debug_level = 3;
    load("# a comment\n\n   # indented comment\n\t\n");
    EXPECT_EQ(daemon_settings.rotate_size_mb, 64);
    EXPECT_EQ(daemon_settings.rotate_count, 10);
    EXPECT_EQ(daemon_settings.debug_level, 1);
    EXPECT_EQ(runtime_state.auto_start, 0);
    EXPECT_STREQ(runtime_state.log_root, "/proc");
    EXPECT_TRUE(logged("EXTERNAL_STORAGE = [/proc] is used\n"));
    for (TaskEntry* task = task_table; task->name != nullptr; ++task) {
        EXPECT_EQ(task->mask_file, nullptr) << task->name;
        EXPECT_EQ(task->null_mask_file, nullptr) << task->name;
    }
}

TEST_F(ConfigTest, ValuesAreStoredAsTheyCome) {
    load(
        "RotateSizeMB = 0\n"
        "RotateCount=-4\n"
        "DebugLevel=99999999999999\n"
        "AutoStart=False\n"
        "StoragePath = /does/not/exist\n"
        "qxdm7k:Mask = #mask7k.cfg\n"
        "qxdm7k:NullMask = null\n"
        "  key = a = b\n"
        "tiTrace:NullMask=trace_null.cfg\n");
    EXPECT_EQ(daemon_settings.rotate_size_mb, 0);
    EXPECT_EQ(daemon_settings.rotate_count, -4);
    EXPECT_EQ(daemon_settings.debug_level, INT_MAX);
    EXPECT_EQ(runtime_state.auto_start, 1);
    EXPECT_STREQ(runtime_state.log_root, "/does/not/exist");
    EXPECT_STREQ(task_table[0].mask_file, "#mask7k.cfg");
    EXPECT_EQ(task_table[0].null_mask_file, nullptr);
    EXPECT_STREQ(task_table[3].null_mask_file, "trace_null.cfg");
    EXPECT_STREQ(kv_get(loaded_config, "key", nullptr), "a = b");
}

TEST_F(ConfigTest, BadLinesAreReportedAndLongLinesSplit) {
    std::string long_line = "Long=" + std::string(506, 'v') + "Next=" + std::string(84, 'w') + "\n";
    ASSERT_EQ(long_line.size(), 601u);
    load("no equals sign here\n" + long_line + "DebugLevel=1\n");
    EXPECT_EQ(kv_get(loaded_config, "Long", nullptr), std::string(506, 'v'));
    EXPECT_EQ(kv_get(loaded_config, "Next", nullptr), std::string(84, 'w'));
    EXPECT_EQ(log.texts(log_tag_conf), (std::vector<std::string>{path + ": invalid config [no equals sign here]\n"}));
}

TEST_F(ConfigTest, MissingFileChangesNothing) {
    daemon_settings.rotate_size_mb = 7;
    daemon_settings.debug_level = 2;
    load_config(dir.file("absent.conf").c_str());
    EXPECT_EQ(daemon_settings.rotate_size_mb, 7);
    EXPECT_EQ(runtime_state.log_root, nullptr);
    EXPECT_EQ(loaded_config, nullptr);
    EXPECT_TRUE(logged("load_config: cannot find config " + dir.file("absent.conf") + "\n"));
    EXPECT_EQ(log.texts(log_tag_conf).size(), 1u);
}

// The file is the app's to write: whatever it plants there instead of a
// regular file is not read, and start-up goes on as without a file.
TEST_F(ConfigTest, OnlyARegularFileIsRead) {
    write_file(dir.file("secret"), "root-only line one\nroot-only line two\n");
    ASSERT_EQ(symlink(dir.file("secret").c_str(), dir.file("linked.conf").c_str()), 0);
    ASSERT_EQ(mkdir(dir.file("directory.conf").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo(dir.file("fifo.conf").c_str(), 0600), 0);
    struct Case {
        std::string path;
        std::string reason;
    } cases[] = {
        {dir.file("linked.conf"), "Too many levels of symbolic links"},
        {"/dev/null", "not a regular file"},
        {dir.file("directory.conf"), "not a regular file"},
        {dir.file("fifo.conf"), "not a regular file"},
    };
    // The reader may close the FIFO between the writer's open and its write,
    // which then fails with EPIPE rather than end the test by SIGPIPE.
    void (*const previous_sigpipe)(int) = signal(SIGPIPE, SIG_IGN);
    for (const Case& c : cases) {
        reset_records();
        enable_messages(1);
        daemon_settings.rotate_size_mb = 7;
        // A writer that keeps coming back, so that an open that waits for
        // one, as a FIFO's does, ends rather than holding the test.
        std::atomic<bool> loaded{false};
        std::thread writer([&] {
            while (!loaded) {
                int fd = open(c.path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
                if (fd >= 0) {
                    if (write(fd, "RotateSizeMB=3\n", 15) < 0) {
                        // the reader has gone already
                    }
                    close(fd);
                }
                usleep(1000);
            }
        });
        load_config(c.path.c_str());
        loaded = true;
        writer.join();
        EXPECT_EQ(loaded_config, nullptr) << c.path;
        EXPECT_EQ(daemon_settings.rotate_size_mb, 7) << c.path;
        EXPECT_TRUE(logged(c.path + ": " + c.reason + "\n")) << c.path;
        EXPECT_TRUE(logged("load_config: cannot find config " + c.path + "\n")) << c.path;
    }
    signal(SIGPIPE, previous_sigpipe);
    for (const LogRecord& record : log.records()) EXPECT_EQ(record.text.find("root-only"), std::string::npos);
}

TEST_F(ConfigTest, ReadingEndsAtTheBound) {
    std::string text = "RotateCount=3\n";
    const std::string comment = "#" + std::string(98, 'c') + "\n";
    while (text.size() + comment.size() <= config_file_max_bytes - 12) text += comment;
    text += std::string(config_file_max_bytes - 12 - text.size() - 1, ' ') + "\n";
    // The bound falls inside this line, which then ends there.
    text += "Straddle=abcdef\nRotateSizeMB=9\n";
    load(text);
    EXPECT_EQ(daemon_settings.rotate_count, 3);
    EXPECT_STREQ(kv_get(loaded_config, "Straddle", nullptr), "abc");
    EXPECT_EQ(daemon_settings.rotate_size_mb, 64);
    EXPECT_EQ(log.texts(log_tag_conf),
              (std::vector<std::string>{path + ": larger than " + std::to_string(config_file_max_bytes) +
                                        " bytes, the rest is not read\n"}));
}

TEST_F(ConfigTest, StoragePathMustBeAbsoluteWithoutParentSteps) {
    ScopedEnv env("EXTERNAL_STORAGE", "/proc");  // any mounted directory
    for (const std::string bad :
         {"logs", "sdcard/logs", "", "../data", "/sdcard/../data/system", "/sdcard/..", "//..//x", "./sdcard"}) {
        reset_records();
        enable_messages(1);
        daemon_settings.external_candidates = no_candidates;
        load("StoragePath = " + bad + "\n");
        EXPECT_STREQ(runtime_state.log_root, "/proc") << bad;
        EXPECT_TRUE(
            logged("load_config: StoragePath [" + bad + "] is not an absolute path without '..', taken as unset\n"))
            << bad;
        EXPECT_TRUE(logged("load_config: [StoragePath] = [EXTERNAL_STORAGE]\n")) << bad;
    }
    for (const std::string good : {"/", "/sdcard/..hidden/logs..", "/sdcard/./logs", "/data/.../x"}) {
        load("StoragePath=" + good + "\n");
        EXPECT_EQ(runtime_state.log_root, good);
    }
}

// MinFreeMB is judged against the file system of the resolved log root, once
// it is mounted (a test folder never is, so the judgement is called for); a
// value that cannot be kept, or is negative, guards nothing, as if absent.
TEST_F(ConfigTest, MinFreeMBIsHeldAgainstTheLogRoot) {
    const std::string root = "StoragePath=" + dir.path + "\n";
    struct Case {
        std::string line;
        int stored;
        std::string error;  // empty: none
    } cases[] = {
        {"MinFreeMB = 5\n", 5, ""},
        {"", 0, ""},
        {"MinFreeMB=some\n", 0, ""},
        {"MinFreeMB=-1\n", 0, "load_config: MinFreeMB [-1] is negative, taken as unset\n"},
        {"MinFreeMB=99999999999\n", 0, "load_config: MinFreeMB [99999999999] is more than the "},
    };
    for (const Case& c : cases) {
        reset_records();
        enable_messages(1);
        daemon_settings.min_free_mb = 7;
        const size_t earlier = log.records().size();
        load(root + c.line);
        judge_reserve();
        EXPECT_EQ(daemon_settings.min_free_mb, c.stored) << c.line;
        // This load's messages, in order.
        std::vector<LogRecord> records = log.records();
        records.erase(records.begin(), records.begin() + static_cast<std::ptrdiff_t>(earlier));
        std::string texts, errors;
        for (const LogRecord& record : records) {
            texts += record.text;
            if (record.priority == log_priority_error) errors += record.text;
        }
        EXPECT_NE(texts.find("load_config: [MinFreeMB] = [" + std::to_string(c.stored) + "]\nload_config: " + dir.path +
                             " has "),
                  std::string::npos)
            << texts;
        EXPECT_NE(texts.find(" MiB, " + std::to_string(c.stored) + " MiB kept free\n"), std::string::npos) << texts;
        EXPECT_EQ(errors.compare(0, c.error.size(), c.error), 0) << errors;
        EXPECT_EQ(errors.empty(), c.error.empty()) << errors;
    }
    // A log root that is not there yet cannot be measured: the reserve
    // stands, and the writer measures it when it writes.
    load("StoragePath=/does/not/exist\nMinFreeMB=5\n");
    EXPECT_TRUE(logged("load_config: /does/not/exist is not mounted yet, MinFreeMB [5] is judged once it is\n"));
    judge_reserve();
    EXPECT_EQ(daemon_settings.min_free_mb, 5);
    const std::string unknown = "load_config: free space of /does/not/exist unknown: No such file or directory";
    EXPECT_TRUE(logged(unknown + ", 5 MiB kept free\n"));
}

TEST_F(ConfigTest, OptionLevelFiltersTheFirstMessageOnly) {
    daemon_settings.debug_level = 0;
    load("DebugLevel=1\n");
    for (const LogRecord& record : log.records()) {
        EXPECT_EQ(record.text.find("load_config: load config from"), std::string::npos);
    }
    EXPECT_TRUE(logged("load_config: [DebugLevel] = [1]\n"));
}

TEST_F(ConfigTest, ExternalStorageNotMountedFallsBack) {
    std::string candidate = dir.file("sdcard2");
    ASSERT_EQ(mkdir(candidate.c_str(), 0755), 0);
    const char* candidates[] = {candidate.c_str(), nullptr};
    daemon_settings.external_candidates = candidates;
    load("StoragePath=EXTERNAL_STORAGE\n");
    EXPECT_STREQ(runtime_state.log_root, "/sdcard");
    EXPECT_TRUE(logged("EXTERNAL_STORAGE is not mounted, use [/sdcard]\n"));
}

TEST_F(ConfigTest, PhoneStorageCases) {
    {
        ScopedEnv env("EXTERNAL_STORAGE", "/proc");
        load("StoragePath=PHONE_STORAGE\n");
        EXPECT_STREQ(runtime_state.log_root, "/sdcard");
        EXPECT_TRUE(logged("PHONE_STORAGE is not enabled, use [/sdcard]\n"));
    }
    std::string candidate = dir.file("sdcard2");
    ASSERT_EQ(mkdir(candidate.c_str(), 0755), 0);
    const char* candidates[] = {candidate.c_str(), nullptr};
    struct Case {
        const char* environment;
        const char* root;
        std::string message;
    } cases[] = {
        {"/proc", "/proc", "PHONE_STORAGE = [/proc] is used\n"},
        {nullptr, "/sdcard", "PHONE_STORAGE is not available, use [/sdcard]\n"},
        {"/not/mounted", "/sdcard", "PHONE_STORAGE is not mounted, use [/sdcard]\n"},
    };
    for (const Case& c : cases) {
        reset_records();
        enable_messages(1);
        daemon_settings.external_candidates = candidates;
        ScopedEnv env("EXTERNAL_STORAGE", c.environment);
        load("StoragePath=PHONE_STORAGE\n");
        EXPECT_STREQ(runtime_state.log_root, c.root);
        EXPECT_TRUE(logged(c.message)) << c.message;
    }
}

}  // namespace
