#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "config/storage.h"
#include "logger/task_table.h"
#include "msg/log_msg.h"
#include "test_support.h"

namespace {

struct StorageTest : ::testing::Test {
    TempDir dir;
    ScopedLogCapture log{dir};
    std::string candidate_text;
    const char* candidates[2] = {nullptr, nullptr};
    StorageTest() {
        reset_records();
        enable_messages(0);
    }
    ~StorageTest() override { reset_records(); }
    void use_candidate(const std::string& path) {
        candidate_text = path;
        candidates[0] = candidate_text.c_str();
        daemon_settings.external_candidates = candidates;
    }
};

TEST_F(StorageTest, ExistingDirectoryIsChosenAndThenReused) {
    use_candidate(dir.file("sdcard2"));
    ASSERT_EQ(mkdir(candidates[0], 0755), 0);
    ScopedEnv env("EXTERNAL_STORAGE", "/elsewhere");
    EXPECT_EQ(std::string(choose_storage()), candidate_text);
    EXPECT_EQ(log.texts(log_tag_dir),
              (std::vector<std::string>{"--> checking " + candidate_text, "--> exist " + candidate_text,
                                        "external --> use " + candidate_text}));
    // Gone from the file system, it is still the answer.
    ASSERT_EQ(rmdir(candidates[0]), 0);
    EXPECT_EQ(choose_storage(), daemon_settings.storage_path);
    EXPECT_EQ(log.texts(log_tag_dir).back(), "external --> use previous " + candidate_text);
}

TEST_F(StorageTest, LinkGivesItsTargetTextUnexamined) {
    use_candidate(dir.file("sdcard2"));
    ASSERT_EQ(symlink("../nowhere/at/all", candidates[0]), 0);
    char out[storage_path_size];
    ASSERT_EQ(check_directory(out, sizeof out, candidates), 0);
    EXPECT_STREQ(out, "../nowhere/at/all");
    EXPECT_EQ(log.texts(log_tag_dir).back(), "--> link ../nowhere/at/all");
}

TEST_F(StorageTest, FallsBackToEnvironmentThenDefault) {
    use_candidate(dir.file("absent"));
    {
        ScopedEnv env("EXTERNAL_STORAGE", nullptr);
        EXPECT_STREQ(choose_storage(), "/sdcard");
        auto texts = log.texts(log_tag_dir);
        EXPECT_NE(std::find(texts.begin(), texts.end(), "external --> default /sdcard"), texts.end());
    }
    memset(daemon_settings.storage_path, 0, sizeof daemon_settings.storage_path);
    ScopedEnv env("EXTERNAL_STORAGE", "/mnt/media");
    EXPECT_STREQ(choose_storage(), "/mnt/media");
    auto texts = log.texts(log_tag_dir);
    EXPECT_NE(std::find(texts.begin(), texts.end(), "external --> EXTERNAL_STORAGE /mnt/media"), texts.end());
}

TEST_F(StorageTest, OverlongTextsAreCutInsideTheBuffer) {
    std::string huge(6000, 'x');
    use_candidate(dir.file("absent"));
    ScopedEnv env("EXTERNAL_STORAGE", ("/" + huge).c_str());
    const char* chosen = choose_storage();
    EXPECT_EQ(strlen(chosen), static_cast<size_t>(storage_path_size - 1));

    char small[8];
    const char* list[] = {dir.path.c_str(), nullptr};
    ASSERT_EQ(check_directory(small, sizeof small, list), 0);
    EXPECT_EQ(std::string(small), dir.path.substr(0, 7));
    EXPECT_EQ(check_directory(nullptr, 8, list), -1);
    EXPECT_EQ(check_directory(small, sizeof small, nullptr), -1);
}

TEST_F(StorageTest, MountPointMatchesWholeFieldOnly) {
    EXPECT_EQ(is_path_mounted("/proc"), 1);
    EXPECT_EQ(is_path_mounted("/pro"), 0);
    EXPECT_EQ(is_path_mounted(dir.path.c_str()), 0);
    // Too long for the pattern buffer: cut, it can never match a field.
    EXPECT_EQ(is_path_mounted(("/" + std::string(200, 'p')).c_str()), 0);
}

}  // namespace
