// Fault matrix, part four: a configuration file that the app replaced by
// something else, and storage paths that lead out of their place. Each row
// prints its outcome into the table of part one.
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "fault_fixture.h"

using namespace simphone;
using namespace fault;

namespace {

using FaultConfig = Fault;

TEST_F(FaultConfig, ConfigurationThatIsNoRegularFileIsNotRead) {
    start_phone(diag_only());
    if (HasFatalFailure() || IsSkipped()) return;
    const std::string config = phone->data_dir() + "/orlith.conf";
    const std::string host_config = phone->host_path(config);
    // A root-only file the app may not read; its lines have no '=', so a
    // parser that read it would log each of them in full.
    ASSERT_EQ(mkdir(phone->host_path("/data/misc").c_str(), 0700), 0);
    ASSERT_TRUE(phone->write_file("/data/misc/radio_secret.txt",
                                  "root-only line one\nRotateCount=1\nroot-only line two\n", 0600));
    struct Case {
        std::string row, expected, reason;
        std::function<int()> plant;
    } cases[] = {
        {"orlith.conf a symbolic link to a root-only file",
         "not followed: none of the target's lines logged, 'cannot find config', no task logs; -q stops it",
         "Too many levels of symbolic links",
         [&] { return symlink("/data/misc/radio_secret.txt", host_config.c_str()); }},
        {"orlith.conf a symbolic link to /dev/zero",
         "not followed: start-up goes on at once, 'cannot find config'; -q stops it",
         "Too many levels of symbolic links", [&] { return symlink("/dev/zero", host_config.c_str()); }},
        {"orlith.conf a FIFO without a writer", "start-up not held: 'cannot find config' at once; -q stops it",
         "not a regular file", [&] { return mkfifo(host_config.c_str(), 0644); }},
    };
    for (const Case& c : cases) {
        Row row(c.row, c.expected);
        unlink(host_config.c_str());
        ASSERT_EQ(c.plant(), 0) << c.row;
        const int missing_before = count_logged("load_config: cannot find config " + config);
        const int secret_before = count_logged("root-only");
        const int reason_before = count_logged(config + ": " + c.reason);
        const size_t records_before = phone->log_records().size();
        start_daemon();
        const bool missing = wait_until(
            [&] { return count_logged("load_config: cannot find config " + config) > missing_before; }, 5000);
        EXPECT_TRUE(missing) << "start-up did not go on without the file";
        EXPECT_EQ(count_logged(config + ": " + c.reason), reason_before + 1);
        const double stop_ms = stop_daemon();
        EXPECT_GE(stop_ms, 0) << "the daemon did not stop";
        EXPECT_EQ(count_logged("root-only"), 0);
        EXPECT_TRUE(phone->dm_files().empty());
        // The first message about the file itself in this run.
        std::string opened = "no message";
        const std::vector<LogRecord> records = phone->log_records();
        for (size_t i = records.size(); i > records_before; --i) {
            const std::string& text = records[i - 1].text;
            if (records[i - 1].tag == "ORLITH:conf" && text.compare(0, config.size() + 2, config + ": ") == 0)
                opened = text.substr(config.size() + 2, text.find('\n') - config.size() - 2);
        }
        row.observe(std::string(missing ? "'cannot find config'" : "no 'cannot find config' within 5 s") + ", '" +
                    opened + "', " + std::to_string(count_logged("root-only") - secret_before) +
                    " target lines logged, " +
                    (stop_ms < 0 ? std::string("did NOT stop")
                                 : "stopped in " + std::to_string(static_cast<int>(stop_ms)) + " ms"));
    }
    unlink(host_config.c_str());
}

TEST_F(FaultConfig, StoragePathOutsideItsBoundsIsTakenAsUnset) {
    start_phone(diag_only());
    if (HasFatalFailure() || IsSkipped()) return;
    // What a traversing path would reach: masks of its own, and room for
    // log files.
    ASSERT_EQ(mkdir(phone->host_path("/data/misc").c_str(), 0700), 0);
    write_masks("/data/misc");
    control("rate diag 200000");
    std::string upward = phone->log_root();
    for (char c : phone->log_root()) upward += c == '/' ? "/.." : "";
    const std::string not_plain = "is not an absolute path without '..'";
    std::vector<std::pair<std::string, std::string>> refusals = {{upward + "/data/misc", not_plain},
                                                                 {"data/misc", not_plain}};
    // The vendor build keeps to its own folder.
    if (!legacy()) refusals.emplace_back("/data/misc", "is not beneath " + phone->data_dir());
    size_t files = 0;
    for (const auto& [storage, refusal] : refusals) {
        Row row("StoragePath " + storage,
                "refused with a message and taken as unset: EXTERNAL_STORAGE gives the log root, where qxdm7k logs");
        ASSERT_TRUE(phone->write_config("StoragePath=" + storage + "\n" + masks_7k));
        start_daemon();
        EXPECT_TRUE(wait_until([&] { return phone->dm_files().size() == files + 1; }, 5000));
        files = phone->dm_files().size();
        EXPECT_TRUE(logged("load_config: StoragePath [" + storage + "] " + refusal + ", taken as unset"));
        EXPECT_TRUE(logged("EXTERNAL_STORAGE = [" + phone->log_root() + "] is used"));
        const std::string text = status();
        EXPECT_NE(text.find("/dev/diag: logging to " + in_root("qxdm_7k_")), std::string::npos) << text;
        EXPECT_GE(stop_daemon(), 0);
        EXPECT_TRUE(phone->dm_files("/data/misc").empty());
        row.observe("status '" + text.substr(0, text.find('\n')) + "', " +
                    std::to_string(phone->dm_files("/data/misc").size()) + " files under /data/misc");
    }
    std::vector<long long> switched;
    for (size_t i = 0; i < refusals.size(); ++i) switched.insert(switched.end(), {2, 1});
    EXPECT_EQ(mode_switches("diag"), switched);
}

}  // namespace
