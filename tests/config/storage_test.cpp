#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "config/storage.h"
#include "log_capture.h"
#include "logger/task_table.h"
#include "msg/log_msg.h"
#include "test_support.h"

namespace {

struct StorageTest : RecordsTest {
    std::string candidate_text;
    const char* candidates[2] = {nullptr, nullptr};
    StorageTest() : RecordsTest(0) {}
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

// What the kernel's table holds, field for field: blanks inside a mount
// point are written as octal escapes, and only the second field is one.
TEST_F(StorageTest, MountTableMountPointIsComparedWholeAndDecoded) {
    const std::string table = dir.file("mounts");
    const std::string long_point = "/" + std::string(61, 'a') + "/logs";
    const std::string huge_point = "/" + std::string(1500, 'h');
    write_file(table,
               "rootfs / rootfs ro 0 0\n"
               "tmpfs /dev tmpfs rw,nosuid 0 0\n"
               "/dev/block/vold/179:1 /mnt/media_rw/SD\\040CARD vfat rw 0 0\n"
               "/dev/fuse /mnt/back\\134slash fuse rw 0 0\n"
               "/dev/sda1 " +
                   long_point +
                   " ext4 rw 0 0\n"
                   "/dev/sda2 /data ext4 rw," +
                   std::string(2000, 'o') +
                   " 0 0\n"
                   "/dev/sda3 " +
                   huge_point +
                   " ext4 rw 0 0\n"
                   "/dev/block/mmcblk1p1 /sdcard vfat rw 0 0");  // no newline at the end
    struct Case {
        std::string path;
        int listed;
    } cases[] = {
        // Answers that were right and stay so.
        {"/", 1},
        {"/dev", 1},
        {"/data", 1},
        {"/sdcard", 1},
        {"/sd", 0},
        {"/sdcard2", 0},
        {"/dev/", 0},
        // Other fields, which are no mount points.
        {"tmpfs", 0},
        {"vfat", 0},
        {"rw", 0},
        {"0", 0},
        // Long paths: cut, the pattern matched a longer mount point, and the
        // whole path matched nothing.
        {long_point.substr(0, 62), 0},
        {long_point.substr(0, 64), 0},
        {long_point, 1},
        // A mount point cut by the line buffer is no proof for its start.
        {huge_point.substr(0, 1000), 0},
        // Escapes are decoded, and the escaped text itself is no mount point.
        {"/mnt/media_rw/SD CARD", 1},
        {"/mnt/media_rw/SD\\040CARD", 0},
        {"/mnt/back\\slash", 1},
    };
    for (const Case& c : cases) EXPECT_EQ(is_listed_mount_point(table.c_str(), c.path.c_str()), c.listed) << c.path;
}

TEST_F(StorageTest, UnreadableMountTableMeansNotMounted) {
    enable_messages(1);
    const std::string table = dir.file("absent");
    EXPECT_EQ(is_listed_mount_point(table.c_str(), "/sdcard"), 0);
    EXPECT_EQ(log.texts(log_tag_dir), std::vector<std::string>{"open [" + table + "]: No such file or directory"});
    EXPECT_EQ(log.records().back().priority, 6);
}

}  // namespace
