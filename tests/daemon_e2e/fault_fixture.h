// What the fault matrix shares: a phone with the daemon on it, the checks a
// field engineer makes after a fault (what reached the files, what was
// logged, whether the devices went back to USB mode), and the table of
// outcomes that every row adds a line to.
#pragma once

#include <dirent.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "../simphone/phone_fixture.h"
#include "driver_rows.h"
#include "log_capture.h"
#include "mask_files.h"

namespace fault {

struct Outcome {
    std::string row, expected, observed;
    bool pass;
};

inline std::vector<Outcome>& outcomes() {
    static std::vector<Outcome> all;
    return all;
}

inline int failed_parts() {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    if (info == nullptr) return 0;
    const ::testing::TestResult* result = info->result();
    int failed = 0;
    for (int i = 0; i < result->total_part_count(); ++i) {
        if (result->GetTestPartResult(i).failed()) ++failed;
    }
    return failed;
}

// One row of the table: passes when no check failed while it was open. It
// is recorded when it goes out of scope, so a fatal check still leaves its
// line.
class Row {
public:
    Row(std::string name, std::string expected)
        : name_(std::move(name)), expected_(std::move(expected)), failed_before_(failed_parts()) {}
    ~Row() {
        Outcome outcome{name_, expected_, observed_, failed_parts() == failed_before_};
        printf("[ fault    ] %s: %s -> %s\n", outcome.row.c_str(), outcome.pass ? "PASS" : "FAIL",
               outcome.observed.c_str());
        fflush(stdout);
        outcomes().push_back(outcome);
    }
    Row(const Row&) = delete;
    Row& operator=(const Row&) = delete;
    void observe(const std::string& text) { observed_ += (observed_.empty() ? "" : "; ") + text; }

private:
    std::string name_, expected_, observed_;
    int failed_before_;
};

// No 4-byte header on this kernel, so a capture is the plain concatenation
// of the chunks, whichever buffers the daemon made of them.
constexpr const char* plain_kernel = "2.6.32.9-perf";
// The configuration lines that give a task the masks write_masks puts down.
const std::string masks_7k = "qxdm7k:Mask=mask.cfg\nqxdm7k:NullMask=null.cfg\n";
const std::string masks_9k = "qxdm9k:Mask=mask.cfg\nqxdm9k:NullMask=null.cfg\n";

inline std::vector<std::string> with_prefix(const std::vector<std::string>& files, const std::string& prefix) {
    std::vector<std::string> out;
    for (const std::string& name : files) {
        if (name.compare(name.rfind('/') + 1, prefix.size(), prefix) == 0) out.push_back(name);
    }
    return out;
}

// An entry of a directory as a field engineer would compare it after a run:
// its kind ('f' file, 'l' link, 'd' directory, '?' other), its modification
// time, and what it holds (a file's bytes, a link's target).
struct DirEntry {
    char kind = '?';
    long long mtime_ns = 0;
    std::string content;
    bool operator==(const DirEntry& other) const {
        return kind == other.kind && mtime_ns == other.mtime_ns && content == other.content;
    }
    bool operator!=(const DirEntry& other) const { return !(*this == other); }
};

// name -> entry, for the entries of a host directory.
inline std::map<std::string, DirEntry> dir_entries(const std::string& dir) {
    std::map<std::string, DirEntry> out;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return out;
    while (struct dirent* entry = readdir(d)) {
        const std::string name = entry->d_name;
        const std::string path = dir + "/" + name;
        struct stat info;
        if (name == "." || name == ".." || lstat(path.c_str(), &info) != 0) continue;
        DirEntry& out_entry = out[name];
        out_entry.mtime_ns = static_cast<long long>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
        if (S_ISREG(info.st_mode)) {
            out_entry.kind = 'f';
            simphone::get_file(path, &out_entry.content);
        } else if (S_ISLNK(info.st_mode)) {
            out_entry.kind = 'l';
            char target[4096];
            const ssize_t length = readlink(path.c_str(), target, sizeof target);
            if (length > 0) out_entry.content.assign(target, static_cast<size_t>(length));
        } else if (S_ISDIR(info.st_mode)) {
            out_entry.kind = 'd';
        }
    }
    closedir(d);
    return out;
}

// A task's log files among names, oldest first: STEM.K.HHMMSS.dm from the
// highest K down to 1, then the current file STEM.dm. Empty unless names are
// exactly that: one current file and one rotated file for each K from 1 up.
inline std::vector<std::string> rotation_chain(const std::vector<std::string>& names) {
    static const std::regex rotated("(.*)\\.([1-9][0-9]*)\\.[0-9]{6}\\.dm");
    std::string current;
    std::map<int, std::string> by_index;
    std::smatch match;
    for (const std::string& name : names) {
        if (std::regex_match(name, match, rotated)) {
            if (!by_index.emplace(std::stoi(match[2].str()), name).second) return {};
        } else if (!current.empty()) {
            return {};
        } else {
            current = name;
        }
    }
    if (current.size() < 3 || current.compare(current.size() - 3, 3, ".dm") != 0) return {};
    const std::string stem = current.substr(0, current.size() - 3);
    std::vector<std::string> chain;
    for (auto at = by_index.rbegin(); at != by_index.rend(); ++at) {
        if (at->first != static_cast<int>(by_index.size() - chain.size())) return {};
        if (at->second.compare(0, stem.size() + 1, stem + ".") != 0) return {};
        chain.push_back(at->second);
    }
    chain.push_back(current);
    return chain;
}

class Fault : public PhoneTest {
protected:
    // A daemon that a sanitizer stops looks like one that ended: its report
    // is on the standard error it kept from the command that started it.
    void TearDown() override {
        if (phone) {
            DIR* dir = opendir(phone->run_dir().c_str());
            while (struct dirent* entry = dir != nullptr ? readdir(dir) : nullptr) {
                const std::string name = entry->d_name;
                if (name.compare(0, 4, "run-") != 0 || name.size() < 8 || name.compare(name.size() - 4, 4, ".err") != 0)
                    continue;
                std::string text;
                simphone::get_file(phone->run_dir() + "/" + name, &text);
                for (const char* mark : {"Sanitizer", "runtime error:"}) {
                    EXPECT_EQ(text.find(mark), std::string::npos) << name << ":\n" << text;
                }
            }
            if (dir != nullptr) closedir(dir);
        }
        PhoneTest::TearDown();
    }
    // Every device, on a kernel without the header.
    static simphone::PhoneOptions plain_phone() {
        simphone::PhoneOptions options;
        options.kernel_version = plain_kernel;
        options.stream_header = 0;
        return options;
    }
    static simphone::PhoneOptions diag_only() {
        simphone::PhoneOptions options = plain_phone();
        options.diag_mdm = options.extdiag = options.trace = false;
        return options;
    }
    // The phone, with the masks in its log root.
    void start_phone(simphone::PhoneOptions options) {
        options.messages = true;
        // adb on, so that every stop notification of the legacy build shows
        // as a broadcast.
        options.properties["persist.service.adb.enable"] = "1";
        start(options);
        if (HasFatalFailure() || IsSkipped()) return;
        write_masks();
    }
    // The phone with /dev/diag alone, set to log qxdm7k to its log root at
    // the rate, before the daemon starts.
    void start_diag(int rate) {
        start_phone(diag_only());
        if (HasFatalFailure() || IsSkipped()) return;
        ASSERT_TRUE(phone->write_config(phone->storage_line() + masks_7k));
        control("rate diag " + std::to_string(rate));
    }
    // qxdm7k alone, filling a 1 MiB file about every 130 ms: its files
    // rotate under load, rotate_count of them kept.
    void rotate_under_load(int rotate_count) {
        ASSERT_TRUE(phone->write_config(
            phone->storage_line() + "RotateSizeMB=1\nRotateCount=" + std::to_string(rotate_count) + "\n" + masks_7k));
        control("chunk diag 32768");
        control("rate diag 8000000");
    }
    // The phone with both diag devices, the configuration (its lines after
    // the one that sends the logs to the log root), and every stream at the
    // rate, before the daemon starts.
    void start_both_diag(const std::string& config, int rate) {
        simphone::PhoneOptions options = diag_only();
        options.diag_mdm = true;
        start_phone(options);
        if (HasFatalFailure() || IsSkipped()) return;
        ASSERT_TRUE(phone->write_config(phone->storage_line() + config));
        control("rate all " + std::to_string(rate));
    }
    // In the log root unless dir is given.
    void write_masks(std::string dir = std::string()) {
        if (dir.empty()) dir = phone->log_root();
        ASSERT_TRUE(phone->write_file(dir + "/mask.cfg", drivers::mask_for(driver())));
        ASSERT_TRUE(phone->write_file(dir + "/null.cfg", drivers::null_mask_for(driver())));
    }
    // Starts the daemon and waits for it; its host pid.
    pid_t start_daemon(const std::vector<std::string>& args = {}) {
        simphone::RunResult started = phone->zarnorlith(args);
        EXPECT_TRUE(started.ok()) << started.err;
        pid_t pid = 0;
        simphone::wait_until(
            [&] {
                auto pids = phone->daemon_pids();
                pid = pids.size() == 1 ? pids[0] : 0;
                return pid != 0;
            },
            5000);
        EXPECT_NE(pid, 0) << "the daemon did not come up";
        return pid;
    }
    bool daemon_gone(int timeout_ms = 10000) {
        return simphone::wait_until([&] { return phone->daemon_pids().empty(); }, timeout_ms);
    }
    // -q and the wait for the end; the milliseconds it took, -1 when it did
    // not end.
    double stop_daemon() {
        const uint64_t before = simphone::monotonic_us();
        EXPECT_TRUE(phone->zarnorlith({"-q"}).ok());
        if (!daemon_gone()) return -1;
        return (simphone::monotonic_us() - before) / 1000.0;
    }
    // What a row's name says of the driver: nothing for the old one.
    std::string driver_note() const { return driver().empty() ? "" : ", kernel " + driver(); }
    bool logged(const std::string& part) const { return ::logged(phone->log_records(), part, any_line_part); }
    int count_logged(const std::string& part) const {
        return ::count_logged(phone->log_records(), part, any_line_part);
    }
    // The modes of every logging-mode switch of a device, in order; a form
    // the kernel refused (a value where it takes a pointer) changed nothing.
    std::vector<long long> mode_switches(const std::string& device) const {
        std::vector<long long> args;
        for (const simphone::Event& event : phone->events("ioctl", device)) {
            if (event.a == 7 && event.result >= 0) args.push_back(event.b);
        }
        return args;
    }
    static std::string joined(const std::vector<long long>& values) {
        std::string out;
        for (long long value : values) out += (out.empty() ? "" : ",") + std::to_string(value);
        return out.empty() ? "none" : out;
    }
    std::string status() const {
        simphone::RunResult result = phone->zarnorlith({"-l"});
        return result.ok() ? result.out : "(-l failed: " + result.err + ")";
    }
    // The line of a status report that is about one device, without its end.
    static std::string status_line(const std::string& text, const std::string& device) {
        const size_t at = text.find(device + ": ");
        return at == std::string::npos ? "(no line for " + device + ")" : text.substr(at, text.find('\n', at) - at);
    }
    std::string contents(const std::vector<std::string>& files) const {
        std::string all;
        for (const std::string& file : files) {
            std::string part;
            EXPECT_TRUE(phone->read_file(file, &part)) << file;
            all += part;
        }
        return all;
    }
    // Everything the device handed out, as one text (header-less kernel).
    std::string stream_of(simphone::Device device) const {
        const simphone::Journal journal = phone->journal();
        return simphone::expected_capture(simphone::stream_chunks(journal, device), 0, simphone::Grouping());
    }
    // Whether the files, joined in the order given, are the end of what the
    // device handed out, as a capture that lost nothing since its oldest
    // file is; the bytes they hold.
    size_t expect_stream_tail(const std::vector<std::string>& files, simphone::Device device) const {
        const std::string kept = contents(files);
        const std::string stream = stream_of(device);
        EXPECT_TRUE(stream.size() >= kept.size() && stream.compare(stream.size() - kept.size(), kept.size(), kept) == 0)
            << "the files are not the tail of the stream";
        return kept.size();
    }
    size_t bytes_handed_out(simphone::Device device) const {
        size_t bytes = 0;
        for (const simphone::Chunk& chunk : phone->journal()) {
            if (chunk.record.device == device && chunk.record.kind == simphone::ChunkKind::stream)
                bytes += chunk.record.length;
        }
        return bytes;
    }
    // The log root's directory on the host: the card, or the vendor log
    // folder.
    std::string card() const { return phone->host_path(phone->log_root()); }
    bool no_wake_lock_held() { return phone->control("locks") == "ok"; }
    // The phone's PATH finds its own recording /system/bin/mount first, so
    // scripts name the host's tools by their full paths.
    simphone::RunResult sh(const std::string& script) const { return phone->run({"/bin/sh", "-c", script}); }
};

// A log root of its own size (the card, or a file system on the vendor log
// folder), logging qxdm7k at a high rate.
class FaultCard : public Fault {
protected:
    void start_card(int size_kb, const std::string& more_config = "") {
        open_card(size_kb);
        if (HasFatalFailure() || IsSkipped()) return;
        log_on_card(more_config);
    }
    // The phone with its log root and the masks, before the daemon starts.
    void open_card(int size_kb) {
        simphone::PhoneOptions options = diag_only();
        options.log_root_size_kb = size_kb;
        start_phone(options);
    }
    void log_on_card(const std::string& more_config = "") {
        ASSERT_TRUE(phone->write_config(phone->storage_line() + masks_7k + more_config));
        control("chunk diag 32768");
        control("rate diag 4000000");
        const std::vector<std::string> earlier = phone->dm_files();
        start_daemon();
        // The daemon's current file: new, and not a rotated one.
        static const std::regex rotated(".*\\.[1-9][0-9]*\\.[0-9]{6}\\.dm");
        ASSERT_TRUE(simphone::wait_until(
            [&] {
                for (const std::string& file : phone->dm_files()) {
                    if (std::find(earlier.begin(), earlier.end(), file) == earlier.end() &&
                        !std::regex_match(file, rotated))
                        log_file = file;
                }
                return !log_file.empty();
            },
            5000));
    }
    // The card's files against the stream: a prefix of it, and how much is
    // missing at its end.
    void check_prefix(Row& row, const std::string& file_content) {
        const std::string stream = stream_of(simphone::Device::diag);
        const bool prefix = stream.compare(0, file_content.size(), file_content) == 0;
        EXPECT_TRUE(prefix) << "the file is not the start of the stream";
        row.observe("file " + std::to_string(file_content.size()) + " B, " + (prefix ? "a clean prefix" : "CORRUPT") +
                    " of the " + std::to_string(stream.size()) + " B read");
    }
    void check_devices_back(Row& row) {
        const std::vector<long long> switches = mode_switches("diag");
        EXPECT_EQ(switches, (std::vector<long long>{2, 1}));
        EXPECT_TRUE(no_wake_lock_held());
        row.observe("ioctl 7: " + joined(switches));
    }
    // A storage failure that ends the daemon: it stops by itself and tells
    // the app the errno (a broadcast, or its state property).
    void check_stop_report(Row& row, const std::string& errno_value) {
        const bool stopped = daemon_gone(10000);
        EXPECT_TRUE(stopped) << "the daemon kept running";
        row.observe(stopped ? "daemon stopped by itself" : "daemon still running");
        const auto errnos = phone->stop_reports();
        ASSERT_FALSE(errnos.empty());
        for (const std::string& value : errnos) EXPECT_EQ(value, errno_value);
        row.observe(std::to_string(errnos.size()) + " stop report(s), ERRNO " + errnos[0]);
        // The error is the last word: no "stopped" after it.
        if (!legacy()) {
            EXPECT_EQ(phone->states().back(), "error " + errno_value);
        }
    }
    // ... and keeps what it wrote and hands the device back.
    void check_stopped_itself(Row& row, const std::string& errno_value, std::string* content) {
        check_stop_report(row, errno_value);
        if (HasFatalFailure()) return;
        ASSERT_TRUE(phone->read_file(log_file, content));
        check_prefix(row, *content);
        check_devices_back(row);
    }
    std::string log_file;
};

}  // namespace fault
