// Fault matrix, part two: what the daemon is given going wrong: the
// configuration file, the mask files, the storage path and a crowded log
// root. Each row prints its outcome into the table of part one.
#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <random>
#include <thread>

#include "fault_fixture.h"

using namespace simphone;
using namespace fault;

namespace {

using FaultInput = Fault;

TEST_F(FaultInput, OddConfigurationFilesNeitherCrashNorHang) {
    PhoneOptions options = diag_only();
    options.diag_mdm = options.extdiag = true;
    start_phone(options);
    if (HasFatalFailure() || IsSkipped()) return;
    control("rate all 200000");
    const std::string masks = phone->storage_line() + masks_7k;
    {
        Row row("config file of 1 MiB (2,600 other keys of 400-byte values, then the real ones)",
                "read whole within seconds; the keys at its end take effect; qxdm7k logs; clean stop");
        // Long values keep the key count, and so the list's linear look-ups,
        // small enough for the sanitizer builds.
        std::string big;
        char line[64];
        for (int i = 0; big.size() < (1u << 20); ++i) {
            snprintf(line, sizeof line, "Vendor.Extra.Key%06d = ", i);
            big += line + std::string(400, 'v') + "\n";
        }
        big += masks;
        ASSERT_TRUE(phone->write_config(big));
        const uint64_t before = monotonic_us();
        start_daemon();
        EXPECT_TRUE(wait_until([&] { return phone->dm_files().size() == 1; }, 20000));
        const double to_file_ms = (monotonic_us() - before) / 1000.0;
        EXPECT_LT(to_file_ms, 10000);
        EXPECT_GE(stop_daemon(), 0);
        row.observe(std::to_string(big.size()) + " B read, first log file after " +
                    std::to_string(static_cast<int>(to_file_ms)) + " ms, " + std::to_string(phone->dm_files().size()) +
                    " file, clean stop");
    }
    {
        Row row("config file of binary noise (64 KiB)",
                "no crash; built-in defaults; no task has a mask, each shows error -1; -q stops it");
        // NOLINTNEXTLINE(cert-msc51-cpp): the same noise every run, so that a failure repeats
        std::mt19937 noise(20130405);
        std::string bytes(65536, '\0');
        for (char& byte : bytes) byte = static_cast<char>(noise() & 0xFF);
        ASSERT_TRUE(phone->write_config(bytes));
        start_daemon();
        ASSERT_TRUE(wait_until([&] { return count_logged("qxdm9k: mask is not set") == 2; }, 5000));
        const std::string text = status();
        EXPECT_NE(text.find("/dev/diag: error -1: "), std::string::npos) << text;
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 4) << text;
        EXPECT_GE(stop_daemon(), 0);
        EXPECT_EQ(phone->dm_files().size(), 1u) << "the noise made a log file";
        row.observe("daemon up, '-l' gives 4 lines, '" + text.substr(0, text.find('\n')) + "', clean stop");
    }
    {
        Row row("config lines of 600 characters",
                "each read as a piece of 511 and one of 89 characters: a comment's tail sets qxdm9k:Mask, a long "
                "value is cut at 511 and its tail reported as invalid");
        // The first piece is a comment; the second one is a line of its own.
        const std::string comment_tail = "#" + std::string(510, 'x') + "qxdm9k:Mask=mask.cfg";
        const std::string long_value = "qxdmExt:Mask=" + std::string(587, 'y');
        ASSERT_TRUE(phone->write_config(masks + comment_tail + std::string(600 - comment_tail.size(), ' ') + "\n" +
                                        long_value + "\n"));
        start_daemon();
        ASSERT_TRUE(wait_until([&] { return with_prefix(phone->dm_files(), "qxdm_9k_").size() == 1; }, 5000));
        const std::string cut_mask = in_root(std::string(511 - 13, 'y'));
        EXPECT_TRUE(wait_until([&] { return logged("qxdmExt: open " + cut_mask + " failed"); }, 5000));
        EXPECT_TRUE(logged("invalid config [" + std::string(89, 'y') + "]"));
        EXPECT_GE(stop_daemon(), 0);
        row.observe(
            "qxdm9k logged from the comment's tail; qxdmExt's mask name cut to 498 characters, its tail "
            "'invalid config'");
    }
    EXPECT_EQ(mode_switches("diag"), (std::vector<long long>{2, 1, 2, 1, 2, 1}));
}

TEST_F(FaultInput, StatusNamePlantedAsALinkNeverLeadsTheReportElsewhere) {
    Row row("status name a link to a root-only file, planted again all the while 30 -l run",
            "the root-only file stays as it was: each report replaces the link, never goes through it");
    start_diag(400000);
    if (HasFatalFailure() || IsSkipped()) return;
    ASSERT_TRUE(phone->write_file("/data/root_only", "precious", 0600));
    start_daemon();
    ASSERT_TRUE(wait_until([&] { return phone->dm_files().size() == 1; }, 5000));
    const std::string status_path = phone->host_path(phone->data_dir() + "/.orlith.stat");
    const std::string planted = status_path + ".plant";
    std::atomic<bool> planting{true};
    std::thread planter([&] {
        while (planting) {
            // Whole at once, as an app can: the link appears under the name.
            unlink(planted.c_str());
            if (symlink("/data/root_only", planted.c_str()) == 0) (void)rename(planted.c_str(), status_path.c_str());
        }
    });
    int answered = 0;
    for (int i = 0; i < 30; ++i) answered += status().find("/dev/diag: ") != std::string::npos;
    planting = false;
    planter.join();
    std::string victim;
    EXPECT_TRUE(phone->read_file("/data/root_only", &victim));
    EXPECT_EQ(victim, "precious");
    EXPECT_GE(stop_daemon(), 0);
    row.observe("root-only file " + std::string(victim == "precious" ? "unchanged" : "OVERWRITTEN") + ", " +
                std::to_string(answered) + " of 30 -l answered");
}

// A folder on the way, replaced by a link to a root-only folder: the data
// folder (the app's, in the legacy build) while the daemon runs, and a folder in the log root that a mask
// name goes through.
TEST_F(FaultInput, FoldersReplacedByLinksLeadNowhere) {
    simphone::PhoneOptions options = diag_only();
    options.trace = true;
    start_phone(options);
    if (HasFatalFailure() || IsSkipped()) return;
    ASSERT_EQ(mkdir(phone->host_path("/data/root_only").c_str(), 0700), 0);
    ASSERT_TRUE(phone->write_file("/data/root_only/ti.mask", "TOP-SECRET\r\n", 0600));
    ASSERT_EQ(symlink("/data/root_only", phone->host_path(in_root("sub")).c_str()), 0);
    ASSERT_TRUE(phone->write_config(phone->storage_line() + masks_7k + "tiTrace:Mask=sub/ti.mask\n"));
    control("rate diag 200000");
    start_daemon();
    ASSERT_TRUE(wait_until([&] { return phone->dm_files().size() == 1; }, 5000));
    {
        Row row("mask through a folder that is a link to a root-only folder (tiTrace:Mask=sub/ti.mask)",
                "not followed: 'open ... failed', nothing written to the terminal");
        EXPECT_TRUE(wait_until([&] { return logged("tiTrace: open " + in_root("sub/ti.mask") + " failed: "); }, 3000));
        EXPECT_TRUE(phone->events("trace_in").empty());
        row.observe(std::to_string(phone->events("trace_in").size()) + " terminal writes");
    }
    // The vendor build's folder holds its log root too: the link takes that
    // away, and the daemon's next file is refused on the way.
    Row row("the data folder replaced by a link to a root-only folder, then -l",
            legacy() ? "no report made in the root-only folder, 'cannot write the status file' logged, the daemon "
                       "logs on"
                     : "nothing made in the root-only folder, the daemon stops itself and reports it");
    const std::string data = phone->host_path(phone->data_dir());
    ASSERT_EQ(rename(data.c_str(), (data + ".away").c_str()), 0);
    ASSERT_EQ(symlink("/data/root_only", data.c_str()), 0);
    status();
    if (!legacy()) {
        EXPECT_TRUE(daemon_gone());
        // Every task that was writing finds its file's folder gone and says so.
        EXPECT_FALSE(phone->stop_reports().empty());
    }
    const std::map<std::string, DirEntry> entries = dir_entries(phone->host_path("/data/root_only"));
    EXPECT_EQ(entries.size(), 1u) << "something was made in the root-only folder";
    row.observe(std::to_string(entries.size()) + " entries in the root-only folder");
    if (!legacy()) return;
    EXPECT_TRUE(logged("cannot write the status file "));
    const size_t before = bytes_handed_out(Device::diag);
    EXPECT_TRUE(wait_until([&] { return bytes_handed_out(Device::diag) > before + 64 * 1024; }, 5000));
    EXPECT_GE(stop_daemon(), 0);
    const CaptureCheck diag = phone->check_capture(Device::diag, with_prefix(phone->dm_files(), "qxdm_7k_"));
    EXPECT_TRUE(diag.ok) << diag.message;
    row.observe("qxdm7k " + std::to_string(diag.actual_bytes) + " of " + std::to_string(diag.expected_bytes) +
                " B written");
}

TEST_F(FaultInput, BrokenMaskFilesCostOnlyTheirOwnTask) {
    start_phone(plain_phone());
    if (HasFatalFailure() || IsSkipped()) return;
    ASSERT_TRUE(phone->write_file(in_root("empty.cfg"), ""));
    ASSERT_TRUE(phone->write_file(in_root("noflag.cfg"), std::string(300, '\x4B')));
    ASSERT_TRUE(phone->write_file(in_root("long.cfg"), std::string(1500, '\x11') + "\x7E" + mask_packet));
    ASSERT_TRUE(phone->write_config(phone->storage_line() + "qxdm7k:Mask=empty.cfg\nqxdm7k:NullMask=missing-null.cfg\n"
                                                            "qxdm9k:Mask=noflag.cfg\nqxdm9k:NullMask=null.cfg\n"
                                                            "qxdmExt:Mask=long.cfg\nqxdmExt:NullMask=null.cfg\n"
                                                            "tiTrace:Mask=missing.cfg\n"));
    start_daemon();
    // The external modem announces data to the control device only when its
    // queue fills from empty: the stream starts once that device is open.
    ASSERT_TRUE(wait_until([&] { return phone->events("open", "diag").size() == 2; }, 5000));
    control("rate all 300000");
    ASSERT_TRUE(wait_until([&] { return phone->dm_files().size() == 3; }, 5000));
    ASSERT_TRUE(wait_until([&] { return bytes_handed_out(Device::diag) > 200u * 1024; }, 5000));
    const std::string text = status();
    const std::vector<Event> opens = phone->events("open", "diag");
    ASSERT_EQ(opens.size(), 2u);  // qxdm7k's device, then qxdmExt's control device
    auto requests_of = [&](uint32_t handle) {
        std::vector<std::string> out;
        for (const Event& event : phone->events("request", "diag")) {
            if (event.handle == handle) out.push_back(event.data);
        }
        return out;
    };
    const std::string type_word("\x20\0\0\0", 4);
    {
        Row row("mask file that is empty (qxdm7k)", "nothing sent, the task logs");
        EXPECT_TRUE(requests_of(opens[0].handle).empty());
        EXPECT_EQ(with_prefix(phone->dm_files(), "qxdm_7k_").size(), 1u);
        row.observe(std::to_string(requests_of(opens[0].handle).size()) + " requests, logging");
    }
    {
        Row row("mask file without 0x7E (qxdm9k)", "nothing sent, the task logs");
        EXPECT_TRUE(phone->events("request", "diag_mdm").empty());
        EXPECT_NE(text.find("/dev/diag_mdm: logging to "), std::string::npos) << text;
        row.observe(std::to_string(phone->events("request", "diag_mdm").size()) + " requests, logging");
    }
    {
        Row row("mask with a packet over 1020 bytes (qxdmExt)",
                "that packet dropped with a message, the next one sent, the task logs");
        EXPECT_TRUE(logged("qxdmExt: inject " + in_root("long.cfg") + ": packet longer than 1020 bytes dropped"));
        EXPECT_EQ(requests_of(opens[1].handle), std::vector<std::string>{type_word + mask_packet});
        EXPECT_EQ(with_prefix(phone->dm_files(), "qxdm_ext_").size(), 1u);
        row.observe("dropped with a message, " + std::to_string(requests_of(opens[1].handle).size()) +
                    " request sent, logging");
    }
    {
        Row row("mask file missing (tiTrace)", "'open ... failed' logged, the task shows error -1, the others log on");
        EXPECT_TRUE(logged("tiTrace: open " + in_root("missing.cfg") + " failed: No such file or directory"));
        EXPECT_NE(text.find(phone->trace_path() + ": error -1: "), std::string::npos) << text;
        EXPECT_TRUE(with_prefix(phone->dm_files(), "ti_trace_").empty());
        EXPECT_TRUE(phone->events("trace_in").empty());
        row.observe("status '" + phone->trace_path() + ": error -1', no trace file");
    }
    Row row("null mask file missing (qxdm7k) at the stop",
            "the open error logged, then the last batch written all the same: the file holds the whole stream");
    EXPECT_GE(stop_daemon(), 0);
    EXPECT_TRUE(logged("qxdm7k: open " + in_root("missing-null.cfg") + " failed"));
    const CaptureCheck capture = phone->check_capture(Device::diag, with_prefix(phone->dm_files(), "qxdm_7k_"));
    EXPECT_TRUE(capture.ok) << capture.message;
    row.observe(std::to_string(capture.actual_bytes) + " B of " + std::to_string(capture.expected_bytes) +
                " B in the file");
    for (const char* device : {"diag", "diag_mdm"}) {
        EXPECT_EQ(mode_switches(device), (std::vector<long long>{2, 1})) << device;
    }
}

// The legacy build looks for a mount at its log root; the vendor one's lies
// on /data, mounted or not.
TEST_F(FaultInput, StoragePathsThatAreNoMountedDirectory) {
    LEGACY_ONLY("mount to look for at its log root");
    start_phone(diag_only());
    if (HasFatalFailure() || IsSkipped()) return;
    control("rate diag 200000");
    {
        Row row("StoragePath a symbolic link to the card",
                "the link is no mount point: no log file, the reason logged once, masks read through the link");
        ASSERT_EQ(symlink("/sdcard", phone->host_path("/data/logs-link").c_str()), 0);
        ASSERT_TRUE(phone->write_config("StoragePath=/data/logs-link\n" + masks_7k));
        start_daemon();
        ASSERT_TRUE(wait_until([&] { return logged("qxdm7k: log root /data/logs-link is not mounted"); }, 5000));
        ASSERT_TRUE(wait_until([&] { return bytes_handed_out(Device::diag) > 100u * 1024; }, 5000));
        const std::string text = status();
        EXPECT_EQ(text.find("logging to"), std::string::npos) << text;
        EXPECT_EQ(phone->events("request", "diag").size(), 2u) << "mask not read through the link";
        EXPECT_GE(stop_daemon(), 0);
        EXPECT_TRUE(phone->dm_files().empty());
        EXPECT_EQ(count_logged("is not mounted"), 1);
        row.observe("no file, 'log root /data/logs-link is not mounted' logged once, status '" +
                    text.substr(0, text.find('\n')) + "'");
    }
    {
        Row row("EXTERNAL_STORAGE of 5000 characters",
                "the environment value cut to 4095, not mounted, so /sdcard is used; no crash");
        ASSERT_TRUE(phone->write_config("StoragePath=EXTERNAL_STORAGE\n" + masks_7k));
        RunResult started =
            phone->run({"/usr/bin/env", "EXTERNAL_STORAGE=/sdcard/" + std::string(4992, 'e'), phone->profile().binary});
        ASSERT_TRUE(started.ok()) << started.err;
        ASSERT_TRUE(wait_until([&] { return phone->dm_files().size() == 1; }, 5000));
        EXPECT_TRUE(logged("EXTERNAL_STORAGE is not mounted, use [/sdcard]"));
        EXPECT_GE(stop_daemon(), 0);
        row.observe("long EXTERNAL_STORAGE fell back to /sdcard and logged there");
    }
    EXPECT_EQ(mode_switches("diag").back(), 1);
}

TEST_F(FaultInput, StoragePathsThatAreAFileOrTooLong) {
    start_phone(diag_only());
    if (HasFatalFailure() || IsSkipped()) return;
    control("rate diag 200000");
    {
        Row row("StoragePath a regular file",
                "opendir and mask open fail with ENOTDIR and are logged, task error -1, the file untouched");
        const std::string plain = in_root("plain.txt");
        ASSERT_TRUE(phone->write_file(plain, "keep me\n"));
        ASSERT_TRUE(phone->write_config("StoragePath=" + plain + "\n" + masks_7k));
        start_daemon();
        ASSERT_TRUE(wait_until([&] { return count_logged("qxdm7k: thread stopped.") == 1; }, 5000));
        EXPECT_TRUE(logged("opendir " + plain + " failed, error: Not a directory (20)"));
        EXPECT_TRUE(logged("qxdm7k: open " + plain + "/mask.cfg failed: Not a directory"));
        const std::string text = status();
        EXPECT_NE(text.find("/dev/diag: error -1: "), std::string::npos) << text;
        EXPECT_GE(stop_daemon(), 0);
        std::string kept;
        ASSERT_TRUE(phone->read_file(plain, &kept));
        EXPECT_EQ(kept, "keep me\n");
        row.observe("ENOTDIR logged for the scan and the mask, '" + text.substr(0, text.find('\n')) +
                    "', file unchanged");
    }
    {
        Row row("StoragePath of 4200 characters",
                "the config line is cut at 511 (its rest 'invalid config'); no crash");
        const std::string long_dir = in_root(std::string(4200 - phone->log_root().size() - 1, 'd'));
        ASSERT_TRUE(phone->write_config("StoragePath=" + long_dir + "\n" + masks_7k));
        start_daemon();
        ASSERT_TRUE(wait_until([&] { return logged("load_config: [StoragePath] = [" + in_root("ddd")); }, 5000));
        EXPECT_TRUE(logged("load_config: [StoragePath] = [" + long_dir.substr(0, 511 - 12) + "]\n"));
        EXPECT_TRUE(logged("invalid config [" + std::string(511, 'd') + "]"));
        EXPECT_GE(stop_daemon(), 0);
        row.observe("config value cut to 499 characters, pieces reported invalid");
    }
    EXPECT_EQ(mode_switches("diag").back(), 1);
}

TEST_F(FaultInput, CrowdedLogRootRotatesAndLeavesOtherFilesAlone) {
    Row row("log root with 10,000 unrelated files",
            "rotation keeps RotateCount files of its own stem; none of the 10,000 touched; the sequence scan "
            "counts the one name of the log file pattern");
    start_phone(diag_only());
    if (HasFatalFailure() || IsSkipped()) return;
    for (int i = 0; i < 10000; ++i) {
        char name[64];
        snprintf(name, sizeof name, "/unrelated-%05d.bin", i);
        ASSERT_TRUE(phone->write_file(phone->log_root() + name, std::to_string(i)));
    }
    // An older run's log and rotated file, a directory of the stem's form,
    // and a note that the sequence scan takes for a log file.
    ASSERT_TRUE(phone->write_file(in_root("qxdm_7k_20000101_000000_007.dm"), "old run"));
    ASSERT_TRUE(phone->write_file(in_root("qxdm_7k_20000101_000000_007.1.000000.dm"), "old rotated"));
    ASSERT_TRUE(phone->write_file(in_root("site_notes_from_field_41.txt"), "notes"));
    ASSERT_EQ(mkdir((card() + "/qxdm_7k_dir.1.000000.dm").c_str(), 0755), 0);
    const auto before = dir_entries(card());
    rotate_under_load(2);
    if (HasFatalFailure()) return;
    start_daemon();
    ASSERT_TRUE(wait_until([&] { return bytes_handed_out(Device::diag) > 5u * 1024 * 1024; }, 20000));
    EXPECT_GE(stop_daemon(), 0);
    const auto after = dir_entries(card());
    size_t touched = 0;
    for (const auto& [name, info] : before) {
        auto found = after.find(name);
        if (found == after.end() || found->second != info) ++touched;
    }
    EXPECT_EQ(touched, 0u);
    std::vector<std::string> mine;
    for (const auto& [name, info] : after) {
        if (before.count(name) == 0) mine.push_back(name);
    }
    // The current file and two rotated ones, all of sequence 42; oldest
    // first, together the tail of the stream.
    std::vector<std::string> chain = rotation_chain(mine);
    ASSERT_EQ(chain.size(), 3u) << ::testing::PrintToString(mine);
    for (std::string& name : chain) {
        EXPECT_NE(name.find("_042"), std::string::npos) << name;
        name = in_root(name);
    }
    const size_t kept = expect_stream_tail(chain, Device::diag);
    EXPECT_GE(kept, 2u * 1024 * 1024);
    row.observe(std::to_string(before.size()) + " entries before, " + std::to_string(touched) + " touched, " +
                std::to_string(chain.size()) + " files of the new stem (sequence 42), " + std::to_string(kept) +
                " B kept, the tail of the stream");
}

}  // namespace
