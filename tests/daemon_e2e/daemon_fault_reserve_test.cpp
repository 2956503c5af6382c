// Fault matrix, the free-space reserve: with MinFreeMB the daemon stops the
// way a full card stops it, while the rest of the phone still has room. Each
// row prints its outcome into the table of part one.
#include <sys/stat.h>
#include <sys/statvfs.h>

#include "fault_fixture.h"

using namespace simphone;
using namespace fault;

namespace {

using FaultReserve = FaultCard;

TEST_F(FaultReserve, ReserveStopsTheDaemonWithTheReserveStillFree) {
    Row row("MinFreeMB=3 on an 8 MiB log root, rotating every MiB",
            "'refused', 'stop daemon ... (28)', daemon stops itself, reports ERRNO 28, at least 3 MiB free, the "
            "files a clean prefix, foreign files untouched");
    open_card(8 * 1024);
    if (HasFatalFailure() || IsSkipped()) return;
    ASSERT_EQ(mkdir((card() + "/DCIM").c_str(), 0755), 0);
    ASSERT_TRUE(phone->write_file(in_root("DCIM/IMG_0001.jpg"), std::string(100000, 'j')));
    // An earlier run's files: the oldest data in the log root, never given
    // up for room.
    ASSERT_TRUE(phone->write_file(in_root("qxdm_7k_20130405_093015_001.dm"), "an earlier run"));
    ASSERT_TRUE(phone->write_file(in_root("qxdm_7k_20130405_093015_001.1.093512.dm"), "its rotated file"));
    const std::map<std::string, DirEntry> foreign = dir_entries(card());
    const std::map<std::string, DirEntry> photos = dir_entries(card() + "/DCIM");
    log_on_card("MinFreeMB=3\nRotateSizeMB=1\n");
    if (HasFatalFailure()) return;
    check_stop_report(row, "28");
    if (HasFatalFailure()) return;

    struct statvfs space;
    ASSERT_EQ(statvfs(card().c_str(), &space), 0);
    const unsigned long long free_bytes = static_cast<unsigned long long>(space.f_bavail) * space.f_frsize;
    const unsigned long long reserve = 3ull << 20;
    EXPECT_GE(free_bytes, reserve) << "the reserve was written into";
    // Within one batch of it: stopped at the reserve, not before.
    EXPECT_LT(free_bytes, reserve + 65536 + 2 * space.f_frsize);
    row.observe(std::to_string(free_bytes >> 10) + " KiB free");

    const std::map<std::string, DirEntry> after = dir_entries(card());
    size_t changed = 0;
    for (const auto& [name, entry] : foreign) {
        auto found = after.find(name);
        changed += found == after.end() || found->second != entry;
    }
    changed += dir_entries(card() + "/DCIM") != photos;
    EXPECT_EQ(changed, 0u);
    row.observe(std::to_string(foreign.size() + photos.size()) + " foreign entries, " + std::to_string(changed) +
                " changed");
    std::vector<std::string> mine;
    for (const auto& [name, entry] : after) {
        if (foreign.count(name) == 0) mine.push_back(name);
    }
    // Every rotated file is kept: together with the current one they are
    // the stream from its first byte.
    const std::vector<std::string> chain = rotation_chain(mine);
    ASSERT_GE(chain.size(), 4u) << ::testing::PrintToString(mine);
    std::vector<std::string> inside;
    for (const std::string& name : chain) inside.push_back(in_root(name));
    row.observe(std::to_string(chain.size() - 1) + " rotated files and the current one");
    check_prefix(row, contents(inside));
    check_devices_back(row);
    EXPECT_GE(count_logged("qxdm7k: write log file " + log_file + " refused: "), 1);
    EXPECT_TRUE(logged("qxdm7k: stop daemon, error: No space left on device (28)\n"));
    EXPECT_EQ(count_logged(" failed: No space left on device"), 0) << "the card filled up";
    EXPECT_TRUE(logged("load_config: [MinFreeMB] = [3]\n"));
    EXPECT_TRUE(logged(" MiB, 3 MiB kept free\n"));
    EXPECT_TRUE(logged("daemon end.\n"));
}

// A card mounted once the daemon runs: until then the log root is a folder
// on whatever file system lies under the mount point, here a 1 MiB one.
TEST_F(FaultReserve, ReserveIsJudgedOnTheCardOnceItIsMounted) {
    LEGACY_ONLY("card mounted while it runs: its log root lies on /data");
    Row row("MinFreeMB=3, the log root a folder on a 1 MiB file system until an 8 MiB card is mounted on it",
            "judged on the card once mounted and kept: 'refused', daemon stops itself, reports ERRNO 28, 3 MiB "
            "still free on the card");
    open_card(8 * 1024);
    if (HasFatalFailure() || IsSkipped()) return;
    const std::string root = "/.simphone/small/card";
    RunResult made =
        sh("mkdir -p /.simphone/small && /usr/bin/mount -t tmpfs -o size=1m tmpfs /.simphone/small && "
           "mkdir " +
           root + " && cp /sdcard/mask.cfg /sdcard/null.cfg " + root);
    ASSERT_TRUE(made.ok()) << made.err;
    ASSERT_TRUE(phone->write_config("StoragePath=" + root + "\nMinFreeMB=3\n" + masks_7k));
    control("chunk diag 32768");
    control("rate diag 4000000");
    start_daemon();
    ASSERT_TRUE(wait_until([&] { return logged("qxdm7k: log root " + root + " is not mounted"); }, 5000));
    RunResult mounted = sh("/usr/bin/mount --bind /sdcard " + root);
    ASSERT_TRUE(mounted.ok()) << mounted.err;
    check_stop_report(row, "28");
    if (HasFatalFailure()) return;
    struct statvfs space;
    ASSERT_EQ(statvfs(card().c_str(), &space), 0);
    const unsigned long long free_bytes = static_cast<unsigned long long>(space.f_bavail) * space.f_frsize;
    EXPECT_GE(free_bytes, 3ull << 20) << "the reserve was written into";
    EXPECT_FALSE(logged("is more than the"));
    EXPECT_TRUE(logged("load_config: [MinFreeMB] = [3]\n"));
    EXPECT_GE(count_logged(" refused: "), 1);
    EXPECT_EQ(count_logged(" failed: No space left on device"), 0) << "the card filled up";
    row.observe(std::to_string(free_bytes >> 10) + " KiB free on the card");
    check_devices_back(row);
}

TEST_F(FaultReserve, ReserveLargerThanTheCardIsNoReserve) {
    Row row("MinFreeMB=2 on a 1 MiB log root",
            "the key reported and taken as unset; then as a full one: ENOSPC, reports ERRNO 28, a clean prefix");
    start_card(1024, "MinFreeMB=2\n");
    if (HasFatalFailure() || IsSkipped()) return;
    std::string content;
    check_stopped_itself(row, "28", &content);
    if (HasFatalFailure()) return;
    EXPECT_TRUE(
        logged("load_config: MinFreeMB [2] is more than the 1 MiB of " + phone->log_root() + ", taken as unset\n"));
    EXPECT_TRUE(logged("load_config: [MinFreeMB] = [0]\n"));
    EXPECT_TRUE(logged("qxdm7k: write log file " + log_file + " failed: No space left on device"));
    EXPECT_EQ(count_logged(" refused: "), 0);
}

}  // namespace
