#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "config/confined_path.h"
#include "test_support.h"

namespace {

// A log root reached through a link of the system's own, with a real folder,
// a file and links an app could have planted beneath it.
struct ConfinedPathTest : ::testing::Test {
    TempDir dir;
    std::string root, shown;
    void SetUp() override {
        root = dir.file("card");
        shown = dir.file("sdcard");
        ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
        ASSERT_EQ(mkdir((root + "/sub").c_str(), 0755), 0);
        ASSERT_EQ(mkdir(dir.file("secret").c_str(), 0700), 0);
        write_file(root + "/sub/mask", "mask");
        write_file(dir.file("secret/mask"), "secret");
        ASSERT_EQ(symlink(root.c_str(), shown.c_str()), 0);
        ASSERT_EQ(symlink(dir.file("secret").c_str(), (root + "/linked").c_str()), 0);
        ASSERT_EQ(symlink(dir.file("secret/mask").c_str(), (root + "/sub/link").c_str()), 0);
        resolve_log_root(shown.c_str());
    }
    void TearDown() override { resolve_log_root(nullptr); }
    // What reading the path gives: its text, or the errno of the failure.
    std::string read(const std::string& path) {
        const int fd = open_confined(path.c_str(), O_RDONLY | O_NONBLOCK);
        if (fd < 0) return "errno " + std::to_string(errno);
        char text[64] = {};
        const ssize_t got = ::read(fd, text, sizeof text - 1);
        close(fd);
        return got >= 0 ? std::string(text) : "read failed";
    }
};

TEST_F(ConfinedPathTest, OnlyTheLogRootsOwnLinkIsFollowed) {
    EXPECT_EQ(read(shown + "/sub/mask"), "mask");
    EXPECT_EQ(read(shown + "//./sub/./mask"), "mask");
    const std::string loop = "errno " + std::to_string(ELOOP);
    const std::string not_dir = "errno " + std::to_string(ENOTDIR);
    // A link on the way is refused whichever way the kernel words it.
    const std::string through_folder = read(shown + "/linked/mask");
    EXPECT_TRUE(through_folder == loop || through_folder == not_dir) << through_folder;
    EXPECT_EQ(read(shown + "/sub/link"), loop);
    const std::string trailing = read(shown + "/linked/");
    EXPECT_TRUE(trailing == loop || trailing == not_dir) << trailing;
    const std::string invalid = "errno " + std::to_string(EINVAL);
    EXPECT_EQ(read(shown + "/sub/../linked/mask"), invalid);
    EXPECT_EQ(read("sub/mask"), invalid);
    EXPECT_EQ(read(shown + "/" + std::string(NAME_MAX + 1, 'n') + "/mask"), "errno " + std::to_string(ENAMETOOLONG));
    // A path outside the log root is walked from the top, its links refused.
    EXPECT_EQ(read(root + "/sub/mask"), "mask");
    EXPECT_NE(read(shown + "-other/sub/mask"), "mask");
}

TEST_F(ConfinedPathTest, EntriesAreHandledThemselvesNeverTheirTargets) {
    struct stat info;
    ASSERT_EQ(stat_confined((shown + "/sub/link").c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    ASSERT_EQ(unlink_confined((shown + "/sub/link").c_str()), 0);
    EXPECT_EQ(read_file(dir.file("secret/mask")), "secret");
    EXPECT_NE(unlink_confined((shown + "/linked/mask").c_str()), 0);
    EXPECT_EQ(read_file(dir.file("secret/mask")), "secret");
    PathLeaf leaf;
    const int parent = open_parent_confined((shown + "/sub/mask").c_str(), &leaf);
    ASSERT_GE(parent, 0);
    EXPECT_STREQ(leaf.name, "mask");
    EXPECT_NE(fcntl(parent, F_GETFD) & FD_CLOEXEC, 0);
    close(parent);
}

}  // namespace
