#include "logger/log_writer.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <regex>

#include <string>
#include <vector>

#include "log_capture.h"
#include "logger_test_util.h"
#include "msg/error_text.h"
#include "msg/log_msg.h"
#include "test_support.h"

namespace {

struct LogWriterTest : WriterTest {
    std::string in_root(const std::string& name) const { return read_file(root + "/" + name); }
    void plant(const std::string& name, const std::string& content = "x") { write_file(root + "/" + name, content); }
    void make_size(const std::string& path, off_t size) {
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0660);
        // cppcheck-suppress resourceLeak ; the assertion returns only when nothing was opened
        ASSERT_GE(fd, 0);
        const int truncated = ftruncate(fd, size);
        close(fd);
        ASSERT_EQ(truncated, 0);
    }
    // Rotated files of the stem, as index -> name.
    std::vector<std::string> rotated() const {
        std::vector<std::string> out;
        for (const std::string& name : list_dir(root)) {
            if (name.rfind(stem_name + ".", 0) == 0 && name != stem_name + ".dm") out.push_back(name);
        }
        return out;
    }
    // The regular files of the rotated-name form, at one index or at any.
    std::vector<std::string> own_rotated(const std::string& index = "[1-9][0-9]*") const {
        const std::regex pattern(stem_name + "\\." + index + "\\.[0-9]{6}\\.dm");
        std::vector<std::string> out;
        for (const std::string& name : rotated()) {
            struct stat info;
            if (std::regex_match(name, pattern) && lstat((root + "/" + name).c_str(), &info) == 0 &&
                S_ISREG(info.st_mode)) {
                out.push_back(name);
            }
        }
        return out;
    }
    std::string rotated_at(int index) const {
        const std::vector<std::string> found = own_rotated(std::to_string(index));
        return found.empty() ? "" : found[0];
    }
};

TEST_F(LogWriterTest, NewFileIsCreated0660AndHeaderBytesAreDropped) {
    const mode_t saved = umask(0);
    runtime_state.header_bytes = 4;
    EXPECT_EQ(write("HDR!payload"), 0);
    umask(saved);
    struct stat info;
    ASSERT_EQ(stat(current.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0660u);
    EXPECT_EQ(read_file(current), "payload");
    EXPECT_TRUE(logged("qxdm7k: write log file [" + current + "] success, ret = 7\n"));

    runtime_state.header_bytes = 0;
    EXPECT_EQ(write("HDR!whole"), 0);
    EXPECT_EQ(read_file(current), "payloadHDR!whole");
    // A buffer shorter than its header adds nothing and is no failure.
    runtime_state.header_bytes = 4;
    EXPECT_EQ(write("HD"), 0);
    EXPECT_EQ(read_file(current), "payloadHDR!whole");
    EXPECT_TRUE(rotated().empty());
    EXPECT_EQ(sigterm.count_after_settling(), 0);
}

TEST_F(LogWriterTest, FileRotatesOnlyOnceItHasReachedTheThreshold) {
    daemon_settings.rotate_size_mb = 1;
    make_size(current, (1 << 20) - 1);
    ASSERT_EQ(write("0123456789"), 0);
    EXPECT_TRUE(rotated().empty());
    ASSERT_EQ(write("next"), 0);
    ASSERT_NE(rotated_at(1), "");
    struct stat info;
    ASSERT_EQ(stat((root + "/" + rotated_at(1)).c_str(), &info), 0);
    EXPECT_EQ(info.st_size, (1 << 20) + 9);
    EXPECT_EQ(read_file(current), "next");
    EXPECT_EQ(rotated().size(), 1u);
}

TEST_F(LogWriterTest, RotatedFilesMoveUpKeepingTheirStampsAndTheLastIsDeleted) {
    daemon_settings.rotate_size_mb = 0;
    // The stamp is kept as written, leading zero included.
    plant(stem_name + ".1.093015.dm", "one");
    plant(stem_name + ".9.101244.dm", "nine");
    plant(stem_name + ".10.105502.dm", "ten");
    plant(stem_name + ".dm", "full");
    ASSERT_EQ(write("fresh"), 0);
    EXPECT_EQ(in_root(stem_name + ".2.093015.dm"), "one");
    EXPECT_EQ(in_root(stem_name + ".10.101244.dm"), "nine");
    EXPECT_EQ(in_root(rotated_at(1)), "full");
    EXPECT_EQ(read_file(current), "fresh");
    EXPECT_EQ(rotated().size(), 3u);
    EXPECT_TRUE(logged("qxdm7k: rotate_file: [" + stem + ".1.093015.dm] --> [" + stem + ".2.093015.dm]\n"));
}

TEST_F(LogWriterTest, ElevenRotationsKeepTenFilesEachWithItsOwnStamp) {
    daemon_settings.rotate_size_mb = 0;
    ASSERT_EQ(write("c0"), 0);
    std::vector<std::string> stamp_of_rotation(12);
    for (int r = 1; r <= 11; ++r) {
        ASSERT_EQ(write("c" + std::to_string(r)), 0);
        const std::string newest = rotated_at(1);
        ASSERT_NE(newest, "") << "rotation " << r;
        stamp_of_rotation[r] = newest.substr(newest.size() - 9, 6);
        if (r == 5) {
            // Two different stamps at least; usleep may refuse a whole second.
            sleep(1);
            usleep(100000);
        }
    }
    ASSERT_EQ(rotated().size(), 10u);
    for (int k = 1; k <= 10; ++k) {
        const std::string name = rotated_at(k);
        ASSERT_NE(name, "") << "index " << k;
        EXPECT_EQ(in_root(name), "c" + std::to_string(11 - k)) << name;
        EXPECT_EQ(name.substr(name.size() - 9, 6), stamp_of_rotation[12 - k]) << name;
    }
    EXPECT_EQ(read_file(current), "c11");
}

TEST_F(LogWriterTest, CountZeroOrNegativeRestartsTheFileAndKeepsNone) {
    daemon_settings.rotate_size_mb = 0;
    // Only the current file itself is restarted, never a name that begins
    // like it.
    const std::vector<std::string> others = {stem_name + ".dm.bak1", stem_name + ".dm.1.dm",
                                             stem_name + ".1.101244.dm"};
    for (const std::string& name : others) plant(name, name);
    for (int count : {0, -3}) {
        daemon_settings.rotate_count = count;
        ASSERT_EQ(write("first"), 0);
        ASSERT_EQ(write("second"), 0);
        ASSERT_EQ(write("third"), 0);
        EXPECT_EQ(read_file(current), "third") << count;
        for (const std::string& name : others) EXPECT_EQ(in_root(name), name) << count;
        EXPECT_EQ(rotated().size(), others.size()) << count;
    }
}

// Only STEM.dm and regular files named STEM.K.HHMMSS.dm (K up to the count)
// are the daemon's. Anything else, however like them, is never moved or
// deleted, and the daemon's own files rotate as if it were not there.
TEST_F(LogWriterTest, OnlyTheStemsOwnFilesAreEverTouched) {
    daemon_settings.rotate_size_mb = 0;
    daemon_settings.rotate_count = 3;
    const std::vector<std::string> others = {
        "qxdm_9k_20130405_093015_007.dm",
        "qxdm_9k_20130405_093015_007.1.101244.dm",
        "qxdm_7k_20130405_093015_006.dm",
        "qxdm_7k_20130405_093015_006.1.101244.dm",
        stem_name + "7.1.101244.dm",
        stem_name + ".1.backup.dm",
        stem_name + ".01.101244.dm",
        stem_name + ".4.101244.dm",
        stem_name + ".3.notes.txt",
        stem_name + ".dm.1.dm",
        stem_name + ".2.101244.dm.gz",
        stem_name + ".dm.bak1",
        stem_name + ".1.93015.dm",
        stem_name + ".2.1012440.dm",
        "orlith.conf",
    };
    for (const std::string& name : others) plant(name, name);
    // Entries of a rotated file's very name that are no regular file. No
    // clock shows 99:99:99, so none of them stands where a file must move.
    const std::string victim = dir.file("victim");
    write_file(victim, "precious");
    ASSERT_EQ(mkdir((stem + ".3.999999.dm").c_str(), 0755), 0);
    ASSERT_EQ(symlink(victim.c_str(), (stem + ".2.999999.dm").c_str()), 0);
    ASSERT_EQ(mkfifo((stem + ".1.999999.dm").c_str(), 0644), 0);
    plant(stem_name + ".1.111111.dm", "o1");
    plant(stem_name + ".2.222222.dm", "o2");
    plant(stem_name + ".3.333333.dm", "o3");
    plant(stem_name + ".dm", "full");
    // Four rotations: every file of the stem moves or goes at least once.
    for (const char* data : {"w1", "w2", "w3", "w4"}) ASSERT_EQ(write(data), 0);

    for (const std::string& name : others) EXPECT_EQ(in_root(name), name);
    struct stat info;
    EXPECT_EQ(lstat((stem + ".3.999999.dm").c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    char link[256] = {};
    EXPECT_GT(readlink((stem + ".2.999999.dm").c_str(), link, sizeof link - 1), 0);
    EXPECT_EQ(std::string(link), victim);
    EXPECT_EQ(read_file(victim), "precious");
    EXPECT_EQ(lstat((stem + ".1.999999.dm").c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));

    EXPECT_EQ(read_file(current), "w4");
    EXPECT_EQ(in_root(rotated_at(1)), "w3");
    EXPECT_EQ(in_root(rotated_at(2)), "w2");
    EXPECT_EQ(in_root(rotated_at(3)), "w1");
    EXPECT_EQ(own_rotated("[1-3]").size(), 3u);
    EXPECT_EQ(list_dir(root).size(), others.size() + 3 + 3 + 1);
}

// An entry where a file must move makes the rename fail: the rotation is
// left undone, every file kept, and the full file takes the data until the
// way is free. One message for as long as it stays stuck.
TEST_F(LogWriterTest, OccupiedTargetHoldsTheRotationAndLosesNothing) {
    daemon_settings.rotate_size_mb = 0;
    daemon_settings.rotate_count = 5;
    for (int k = 1; k <= 5; ++k) plant(stem_name + "." + std::to_string(k) + "." + std::to_string(111111 * k) + ".dm");
    plant(stem_name + ".dm", "full");
    // Where .3.333333 and .1.111111 must go.
    const std::string blocked_dir = stem + ".4.333333.dm";
    const std::string blocked_link = stem + ".2.111111.dm";
    const std::string victim = dir.file("victim");
    write_file(victim, "precious");
    ASSERT_EQ(mkdir(blocked_dir.c_str(), 0755), 0);
    ASSERT_EQ(symlink(victim.c_str(), blocked_link.c_str()), 0);
    const std::vector<std::string> before = list_dir(root);
    std::string expected = "full";
    for (int i = 1; i <= 5; ++i) {
        const std::string data = "+" + std::to_string(i);
        ASSERT_EQ(write(data), 0);
        expected += data;
    }
    EXPECT_EQ(list_dir(root), before);
    EXPECT_EQ(read_file(current), expected);
    EXPECT_EQ(read_file(victim), "precious");
    const std::string refused =
        "qxdm7k: cannot rename [" + stem + ".3.333333.dm] to [" + blocked_dir + "]: File exists (17)\n";
    EXPECT_EQ(count_logged(refused), 1);

    // Still stuck on the second entry: no new message.
    ASSERT_EQ(rmdir(blocked_dir.c_str()), 0);
    ASSERT_EQ(write("+6"), 0);
    expected += "+6";
    EXPECT_EQ(read_file(current), expected);
    ASSERT_EQ(unlink(blocked_link.c_str()), 0);
    ASSERT_EQ(write("+7"), 0);
    EXPECT_EQ(read_file(current), "+7");
    EXPECT_EQ(in_root(rotated_at(1)), expected);
    for (int k = 2; k <= 5; ++k)
        EXPECT_EQ(rotated_at(k), stem_name + "." + std::to_string(k) + "." + std::to_string(111111 * (k - 1)) + ".dm");
    EXPECT_EQ(own_rotated().size(), 5u);

    // Stuck anew after it had recovered: reported anew.
    const std::string second_block = stem + ".5.333333.dm";
    ASSERT_EQ(mkdir(second_block.c_str(), 0755), 0);
    ASSERT_EQ(write("+8"), 0);
    ASSERT_EQ(write("+9"), 0);
    EXPECT_EQ(read_file(current), "+7+8+9");
    EXPECT_EQ(
        count_logged("qxdm7k: cannot rename [" + stem + ".4.333333.dm] to [" + second_block + "]: File exists (17)\n"),
        1);
    EXPECT_EQ(sigterm.count_after_settling(), 0);
}

TEST_F(LogWriterTest, OfTwoFilesWithOneIndexOnlyOneMoves) {
    daemon_settings.rotate_size_mb = 0;
    plant(stem_name + ".3.000001.dm", "a");
    plant(stem_name + ".3.000002.dm", "b");
    plant(stem_name + ".dm", "full");
    ASSERT_EQ(write("fresh"), 0);
    const bool a_moved = access((root + "/" + stem_name + ".4.000001.dm").c_str(), F_OK) == 0;
    const bool b_moved = access((root + "/" + stem_name + ".4.000002.dm").c_str(), F_OK) == 0;
    EXPECT_NE(a_moved, b_moved);
    EXPECT_EQ(rotated().size(), 3u);
}

TEST_F(LogWriterTest, ExternalModemsFullFileAlsoGetsTheBufferStart) {
    task = &task_table[2];
    task->log_path = strdup(current.c_str());
    runtime_state.header_bytes = 4;
    daemon_settings.rotate_size_mb = 0;
    ASSERT_EQ(write("HDR!old"), 0);
    std::string big(10000, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
    ASSERT_EQ(write(big), 0);
    EXPECT_EQ(in_root(rotated_at(1)), "old" + big.substr(0, 8192));
    EXPECT_EQ(read_file(current), big.substr(4));
    // A short buffer goes over whole, header included.
    ASSERT_EQ(write("HDR!tail"), 0);
    EXPECT_EQ(in_root(rotated_at(1)), big.substr(4) + "HDR!tail");
    EXPECT_EQ(read_file(current), "tail");

    // A rotation that fails keeps the full file, which then takes the whole
    // buffer: the head copied into it before is taken back, not doubled.
    std::string blocked = rotated_at(2);
    blocked[stem_name.size() + 1] = '3';
    ASSERT_EQ(mkdir((root + "/" + blocked).c_str(), 0755), 0);
    ASSERT_EQ(write(big), 0);
    ASSERT_EQ(write(big), 0);
    EXPECT_EQ(read_file(current), "tail" + big.substr(4) + big.substr(4));
}

TEST_F(LogWriterTest, SizeThresholdIsMeasuredIn64Bits) {
    // 4096 MiB overflows 32 bits to 0, which would rotate a tiny file.
    daemon_settings.rotate_size_mb = 4096;
    ASSERT_EQ(write("small"), 0);
    ASSERT_EQ(write("more"), 0);
    EXPECT_TRUE(rotated().empty());
    EXPECT_EQ(read_file(current), "smallmore");
}

TEST_F(LogWriterTest, FilesPast2GiBAreMeasuredAndRotated) {
    daemon_settings.rotate_size_mb = 2048;
    const off_t two_gib = off_t{1} << 31;
    make_size(current, two_gib - 1);
    ASSERT_EQ(write("ab"), 0);
    struct stat info;
    ASSERT_EQ(stat(current.c_str(), &info), 0);
    EXPECT_EQ(info.st_size, two_gib + 1);
    EXPECT_TRUE(rotated().empty());
    ASSERT_EQ(write("new"), 0);
    ASSERT_NE(rotated_at(1), "");
    ASSERT_EQ(stat((root + "/" + rotated_at(1)).c_str(), &info), 0);
    EXPECT_EQ(info.st_size, two_gib + 1);
    EXPECT_EQ(read_file(current), "new");
}

TEST_F(LogWriterTest, MissingTaskOrPathFailsWithoutStopping) {
    EXPECT_EQ(write_log_file(nullptr, "x", 1), -1);
    free(task->log_path);
    task->log_path = nullptr;
    EXPECT_EQ(write("x"), -1);
    EXPECT_TRUE(logged("qxdm7k: no log path was set!\n"));
    EXPECT_EQ(sigterm.count_after_settling(), 0);
}

TEST_F(LogWriterTest, VanishedDirectoryStopsTheDaemon) {
    ASSERT_EQ(rmdir(root.c_str()), 0);
    EXPECT_EQ(write("lost"), -1);
    EXPECT_TRUE(logged("qxdm7k: open log file " + current + " failed: No such file or directory\n"));
    EXPECT_TRUE(logged("qxdm7k: stop daemon, error: No such file or directory (2)\n"));
    EXPECT_EQ(sigterm.count_after_settling(), 1);
    // adb debugging is off: no broadcast, only the notice.
    EXPECT_TRUE(logged("do not send notification when adb debugging is off.\n"));
}

TEST_F(LogWriterTest, PlantedLinkIsAnOpenFailureAndItsTargetIsUntouched) {
    const std::string victim = dir.file("victim");
    write_file(victim, "precious");
    ASSERT_EQ(symlink(victim.c_str(), current.c_str()), 0);
    daemon_settings.rotate_size_mb = 64;
    EXPECT_EQ(write("diag data"), -1);
    EXPECT_EQ(read_file(victim), "precious");
    EXPECT_TRUE(logged("qxdm7k: stop daemon, error: " + std::string(error_text(ELOOP).text) + " (" +
                       std::to_string(ELOOP) + ")\n"));
    EXPECT_EQ(sigterm.count_after_settling(), 1);
}

TEST_F(LogWriterTest, UnreadableDirectoryLeavesTheFullFileGrowing) {
    daemon_settings.rotate_size_mb = 0;
    plant(stem_name + ".dm", "full");
    const std::string missing = dir.file("gone");
    runtime_state.log_root = missing.c_str();
    ASSERT_EQ(write("+more"), 0);
    EXPECT_EQ(read_file(current), "full+more");
    EXPECT_TRUE(logged("qxdm7k: opendir (" + missing + ") failed, errno: No such file or directory (2)\n"));
    runtime_state.log_root = root.c_str();
    ASSERT_EQ(write("fresh"), 0);
    EXPECT_EQ(in_root(rotated_at(1)), "full+more");
    EXPECT_EQ(sigterm.count_after_settling(), 0);
}

TEST_F(LogWriterTest, FlushedWritesInManufacturingModeStillSucceed) {
    runtime_state.mfg_mode = 1;
    runtime_state.radio_flag = 1u << 27;
    EXPECT_EQ(write("synced"), 0);
    EXPECT_EQ(read_file(current), "synced");
}

// The rotation's path buffers hold 255 characters. A log path whose rotated
// names would not fit is not rotated under a shortened name (which could
// match other files) but grows on, and says so once. With RotateCount 1 the
// longest rotated name is 9 characters longer than the log path.
TEST_F(LogWriterTest, PathTooLongForItsRotatedNamesKeepsGrowing) {
    daemon_settings.rotate_size_mb = 0;
    daemon_settings.rotate_count = 1;
    const std::string tail = "/" + stem_name + ".dm";
    for (size_t length : {246u, 247u, 258u, 300u}) {
        const std::string deep = root + "/" + std::string(length - root.size() - 1 - tail.size(), 'd');
        ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
        runtime_state.log_root = deep.c_str();
        const std::string long_path = deep + tail;
        ASSERT_EQ(long_path.size(), length);
        free(task->log_path);
        task->log_path = strdup(long_path.c_str());
        for (const char* data : {"one", "two", "three"}) ASSERT_EQ(write(data), 0) << length;
        const std::string refused = "qxdm7k: rotate_file: log path too long: " + long_path + "\n";
        if (length == 246) {
            EXPECT_EQ(read_file(long_path), "three");
            EXPECT_EQ(list_dir(deep).size(), 2u);
            EXPECT_EQ(count_logged(refused), 0);
        } else {
            EXPECT_EQ(read_file(long_path), "onetwothree") << length;
            EXPECT_EQ(list_dir(deep).size(), 1u) << length;
            EXPECT_EQ(count_logged(refused), 1) << length;
        }
    }
    runtime_state.log_root = root.c_str();
}

// A process file-size limit turns a write into a short one and the next into
// EFBIG: the bytes that fit are kept and the failure is reported as such.
TEST_F(LogWriterTest, ShortWriteIsContinuedAndItsFailureReported) {
    const int result = run_in_child([&] {
        runtime_state.own_pid = getpid();
        signal(SIGXFSZ, SIG_IGN);
        // Far above what the message log reaches.
        struct rlimit limit = {65536, 65536};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 10;
        if (write(std::string(60000, 'a')) != 0) return 11;
        if (write(std::string(10000, 'b')) != -1) return 12;
        return sigterm.count_after_settling() == 1 ? 0 : 13;
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(read_file(current), std::string(60000, 'a') + std::string(5536, 'b'));
    EXPECT_TRUE(logged("qxdm7k: write log file " + current + " failed: File too large\n"));
    EXPECT_TRUE(logged("qxdm7k: stop daemon, error: File too large (27)\n"));
}

}  // namespace
