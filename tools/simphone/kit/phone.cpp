#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <sstream>

#include "platform/fd_io.h"
#include "process.h"
#include "simphone.h"

namespace simphone {

namespace {

constexpr int driver_start_ms = 5000;
constexpr int control_reply_ms = 5000;
constexpr const char* record_separator = "\037";

std::vector<std::string> split_records(const std::string& content) {
    std::vector<std::string> lines;
    std::istringstream in(content);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::vector<std::vector<std::string>> read_arg_log(const std::string& path) {
    std::vector<std::vector<std::string>> calls;
    std::string content;
    get_file(path, &content);
    for (const std::string& line : split_records(content)) {
        std::vector<std::string> args;
        size_t at = 0, end;
        while ((end = line.find(record_separator, at)) != std::string::npos) {
            args.push_back(line.substr(at, end - at));
            at = end + 1;
        }
        calls.push_back(args);
    }
    return calls;
}

std::atomic<unsigned> phone_counter{0};

constexpr Profile profiles[] = {
    {"legacy", "/system/bin/zarnorlith", "/data/data/com.zarn.android.orlith/data", "/sdcard", "debugtool.anrhistory",
     "ro.muxd.trace_pts_name"},
    {"vendor", "/vendor/bin/zarnorlith", "/data/vendor/orlith", "/data/vendor/orlith/logs",
     "persist.vendor.orlith.debug", "vendor.orlith.trace_pts"},
};
constexpr const char* state_property = "vendor.orlith.state";

void close_once(int* fd) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
}

// Waits for a child that was told to end, and kills it when it does not in
// time; false (said in *problems) when it had to be killed.
bool reap(pid_t* pid, const char* what, std::string* problems) {
    if (*pid <= 0) return true;
    const bool ended = wait_child(*pid, teardown_ms) >= 0;
    if (!ended) {
        *problems += std::string(what) + " had to be killed; ";
        end_child(*pid, 0, SIGKILL);
    }
    *pid = -1;
    return ended;
}

}  // namespace

// ---- public helpers --------------------------------------------------------

bool wait_until(const std::function<bool()>& condition, int timeout_ms) {
    const uint64_t deadline = monotonic_us() + static_cast<uint64_t>(timeout_ms) * 1000u;
    long pause_us = 500;
    for (;;) {
        if (condition()) return true;
        if (monotonic_us() >= deadline) return condition();
        struct timespec pause = {0, pause_us * 1000};
        nanosleep(&pause, nullptr);
        pause_us = pause_us * 2 > 20000 ? 20000 : pause_us * 2;
    }
}

void say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): va_start just above initialises it
    vprintf(format, args);
    va_end(args);
    fflush(stdout);
}

std::string phone_base_dir() {
    const char* base = getenv("SIMPHONE_BASE");
    return base != nullptr && *base != '\0' ? base : "/tmp/simphone";
}

std::string driver_path() {
    const char* dir = getenv("SIMPHONE_BIN_DIR");
    return std::string(dir != nullptr && *dir != '\0' ? dir : SIMPHONE_BIN_DIR) + "/simphone_driver";
}

bool phone_supported(std::string* reason) {
    if (geteuid() != 0) {
        *reason = "the simulated phone needs root (FUSE and the sandbox's mounts)";
        return false;
    }
    if (access("/dev/fuse", R_OK | W_OK) != 0) {
        *reason = "/dev/fuse is not usable";
        return false;
    }
    if (access("/usr/bin/bwrap", X_OK) != 0 || access("/usr/bin/nsenter", X_OK) != 0) {
        *reason = "bwrap or nsenter is missing (Debian packages bubblewrap, util-linux)";
        return false;
    }
    if (access(driver_path().c_str(), X_OK) != 0) {
        *reason = driver_path() + " is missing: build the default preset first";
        return false;
    }
    return true;
}

void cleanup_stale_phones() {
    const std::string base = phone_base_dir();
    DIR* dir = opendir(base.c_str());
    if (dir == nullptr) return;
    std::vector<std::string> stale;
    while (struct dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        const std::string run = base + "/" + entry->d_name;
        std::string owner;
        pid_t pid = 0;
        std::string started;
        if (get_file(run + "/owner", &owner)) {
            std::istringstream fields(owner);
            fields >> pid >> started;
        }
        if (pid > 0) {
            if (start_time_of(pid) == started) continue;  // still in use
        } else {
            // Being set up right now, or made by something else: leave it
            // unless it is old.
            struct stat st;
            if (stat(run.c_str(), &st) != 0 || time(nullptr) - st.st_mtime < 60) continue;
        }
        stale.push_back(run);
    }
    closedir(dir);
    for (const std::string& run : stale) {
        std::string pids;
        if (get_file(run + "/pids", &pids)) {
            std::istringstream fields(pids);
            pid_t pid;
            std::string started;
            while (fields >> pid >> started) {
                if (start_time_of(pid) == started) kill(pid, SIGKILL);
            }
        }
        // A driver that died leaves a mount that answers nothing but
        // ENOTCONN; only a lazy unmount takes it away.
        for (const std::string& point : mounts_under(run)) umount2(point.c_str(), MNT_DETACH);
        remove_tree(run);
    }
}

// ---- Profiles --------------------------------------------------------------

const Profile* find_profile(const std::string& name) {
    for (const Profile& profile : profiles) {
        if (name == profile.name) return &profile;
    }
    return nullptr;
}

std::string default_profile() {
    const char* chosen = getenv("SIMPHONE_PROFILE");
    return chosen != nullptr && *chosen != '\0' ? chosen : SIMPHONE_BUILD_PROFILE;
}

// ---- Phone -----------------------------------------------------------------

std::unique_ptr<Phone> Phone::start(const PhoneOptions& options, std::string* error) {
    std::string ignored;
    if (error == nullptr) error = &ignored;
    if (!phone_supported(error)) return nullptr;
    std::unique_ptr<Phone> phone(new Phone());
    phone->options_ = options;
    phone->profile_ = find_profile(options.profile);
    if (phone->profile_ == nullptr) {
        *error = "no daemon profile " + options.profile;
        return nullptr;
    }
    if (phone->options_.daemon_binary.empty()) {
        phone->options_.daemon_binary = std::string(SIMPHONE_DAEMON_DIR) + "/zarnorlith-" + options.profile;
    }
    if (!options.driver.empty()) {
        const Generation* generation = find_generation(options.driver);
        if (generation == nullptr) {
            *error = "no driver generation " + options.driver;
            return nullptr;
        }
        phone->options_.stream_header = generation->header_bytes;
    }
    if (!phone->launch(error)) {
        phone->stop();
        return nullptr;
    }
    return phone;
}

bool Phone::launch(std::string* error) {
    cleanup_stale_phones();
    const std::string base = phone_base_dir();
    if (!make_dirs(base)) {
        *error = "cannot create " + base;
        return false;
    }
    char name[96];
    snprintf(name, sizeof name, "%d-%u-%llu", static_cast<int>(getpid()), phone_counter++,
             static_cast<unsigned long long>(monotonic_us()));
    run_dir_ = base + "/" + name;
    phone_dir_ = run_dir_ + "/phone";
    for (const std::string& sub : {std::string("/dev"), std::string("/sdcard"), std::string("/sdcard2"),
                                   std::string("/phone/bin"), data_dir(), log_root()}) {
        if (!make_dirs(run_dir_ + sub)) {
            *error = "cannot create " + run_dir_ + sub;
            return false;
        }
    }
    if (!put_file(run_dir_ + "/owner", std::to_string(getpid()) + " " + start_time_of(getpid()) + "\n", 0644)) {
        *error = "cannot write the owner file";
        return false;
    }
    if (options_.log_root_size_kb > 0) {
        const std::string size = "size=" + std::to_string(options_.log_root_size_kb) + "k,mode=0755";
        const std::string root = run_dir_ + log_root();
        if (mount("tmpfs", root.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, size.c_str()) != 0) {
            // NOLINTNEXTLINE(concurrency-mt-unsafe): the kit starts no threads
            *error = "cannot mount a tmpfs on " + root + ": " + strerror(errno);
            return false;
        }
        log_root_tmpfs_ = true;
    }
    return start_driver(error) && write_phone_files(error) && start_sandbox(error);
}

bool Phone::start_driver(std::string* error) {
    int to_driver[2], from_driver[2];
    if (pipe2(to_driver, O_CLOEXEC) != 0 || pipe2(from_driver, O_CLOEXEC) != 0) {
        *error = "pipe failed";
        return false;
    }
    int err_fd = open((run_dir_ + "/driver.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    Spawn how;
    how.stdin_fd = to_driver[0];
    how.stdout_fd = from_driver[1];
    how.stderr_fd = err_fd;
    std::vector<std::string> argv = {driver_path(), run_dir_ + "/dev", run_dir_};
    if (!options_.driver.empty()) argv.insert(argv.begin() + 1, {"--driver", options_.driver});
    driver_pid_ = spawn(argv, how);
    close(to_driver[0]);
    close(from_driver[1]);
    if (err_fd >= 0) close(err_fd);
    driver_in_ = to_driver[1];
    driver_out_ = from_driver[0];
    if (driver_pid_ < 0) {
        *error = "cannot start the driver";
        return false;
    }
    std::string line;
    if (!read_line(driver_out_, &driver_pending_, &line, driver_start_ms) || line.compare(0, 6, "ready ") != 0) {
        std::string why;
        get_file(run_dir_ + "/driver.err", &why);
        *error = "the driver did not start: " + why;
        return false;
    }
    pty_ = line.substr(6);
    put_file(run_dir_ + "/pids", std::to_string(driver_pid_) + " " + start_time_of(driver_pid_) + "\n", 0644);

    std::vector<std::string> setup = {"header all " + std::to_string(options_.stream_header)};
    auto node = [&](const char* node_name, Node state, int delay_ms) {
        if (state == Node::ready) setup.push_back(std::string("node ") + node_name + " ready");
        if (state == Node::never_ready) setup.push_back(std::string("node ") + node_name + " never");
        if (state == Node::delayed)
            setup.push_back(std::string("node ") + node_name + " after " + std::to_string(delay_ms));
    };
    node("smd0", options_.smd0, options_.smd0_ready_ms);
    node("sdiotty0", options_.sdiotty0, options_.sdiotty0_ready_ms);
    for (const std::string& command : setup) {
        std::string reply = control(command);
        if (reply.compare(0, 2, "ok") != 0) {
            *error = "driver refused '" + command + "': " + reply;
            return false;
        }
    }
    return true;
}

Phone::~Phone() { stop(); }

bool Phone::stop(std::string* error) {
    if (stopped_) return true;
    stopped_ = true;
    std::string problems;
    // The shell ends at the end of its input; with it bwrap and every
    // process of the phone's pid namespace.
    close_once(&sandbox_in_);
    bool clean = reap(&bwrap_pid_, "sandbox", &problems);
    for (pid_t helper : helpers_) end_child(helper, 0, SIGKILL);
    helpers_.clear();
    close_once(&driver_in_);
    close_once(&driver_out_);
    clean = reap(&driver_pid_, "driver", &problems) && clean;
    if (log_root_tmpfs_) {
        // Ours, and expected: only a mount that outlives this is a leftover.
        const std::string root = run_dir_ + log_root();
        if (umount2(root.c_str(), 0) != 0) umount2(root.c_str(), MNT_DETACH);
        log_root_tmpfs_ = false;
    }
    if (!run_dir_.empty()) {
        for (const std::string& point : mounts_under(run_dir_)) {
            clean = false;
            problems += "lazy unmount of " + point + "; ";
            umount2(point.c_str(), MNT_DETACH);
        }
        const char* keep = getenv("SIMPHONE_KEEP");
        if (keep == nullptr || *keep == '\0') remove_tree(run_dir_);
    }
    if (error != nullptr) *error = problems;
    return clean;
}

std::string Phone::host_path(const std::string& inside) const {
    auto under = [&](const std::string& top) {
        return inside == top || inside.compare(0, top.size() + 1, top + "/") == 0;
    };
    if (under("/data")) return run_dir_ + inside;
    if (under("/.simphone")) return phone_dir_ + inside.substr(10);
    if (under("/sdcard")) return run_dir_ + inside;
    if (under("/sdcard2") && options_.sdcard2 == Sdcard2::mount) return run_dir_ + inside;
    return "/proc/" + std::to_string(init_pid_) + "/root" + inside;
}

bool Phone::write_file(const std::string& inside, const std::string& content, mode_t mode) {
    return put_file(host_path(inside), content, mode);
}

bool Phone::read_file(const std::string& inside, std::string* content) const {
    return get_file(host_path(inside), content);
}

bool Phone::exists(const std::string& inside) const { return access(host_path(inside).c_str(), F_OK) == 0; }

bool Phone::write_config(const std::string& text) { return write_file(data_dir() + "/orlith.conf", text); }

bool Phone::status_file(std::string* content) const { return read_file(data_dir() + "/.orlith.stat", content); }

RunResult Phone::run(const std::vector<std::string>& argv, int timeout_ms) const {
    RunResult result;
    static std::atomic<unsigned> run_counter{0};
    const std::string base = run_dir_ + "/run-" + std::to_string(run_counter++);
    int out_fd = open((base + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int err_fd = open((base + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    std::vector<std::string> command = inside_command(argv);
    Spawn how;
    how.stdout_fd = out_fd;
    how.stderr_fd = err_fd;
    how.own_group = true;
    pid_t pid = spawn(command, how);
    if (out_fd >= 0) close(out_fd);
    if (err_fd >= 0) close(err_fd);
    if (pid > 0) {
        int status = wait_child(pid, timeout_ms);
        if (status < 0) {
            end_child(pid, 0, SIGKILL);
        } else {
            result.finished = true;
            if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
            // nsenter reports a signal that ended its child as 128 + signal.
            if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
            if (result.exit_status > 128 && result.exit_status < 128 + 65) result.signal = result.exit_status - 128;
        }
    }
    get_file(base + ".out", &result.out);
    get_file(base + ".err", &result.err);
    return result;
}

RunResult Phone::zarnorlith(const std::vector<std::string>& args, int timeout_ms) const {
    std::vector<std::string> argv = {profile_->binary};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, timeout_ms);
}

RunResult Phone::service(const std::vector<std::string>& args, int timeout_ms) const {
    std::vector<std::string> argv = {"/.simphone/bin/simphone_init", profile_->binary};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, timeout_ms);
}

std::vector<pid_t> Phone::daemon_pids() const {
    std::vector<pid_t> pids;
    char link[128];
    ssize_t n = readlink(("/proc/" + std::to_string(init_pid_) + "/ns/pid").c_str(), link, sizeof link);
    if (n <= 0) return pids;
    const std::string phone_ns(link, static_cast<size_t>(n));
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return pids;
    while (struct dirent* entry = readdir(proc)) {
        // NOLINTNEXTLINE(cert-err34-c): a /proc name that is no number reads 0, no process
        const pid_t pid = static_cast<pid_t>(atoi(entry->d_name));
        if (pid <= 0) continue;
        const std::string dir = std::string("/proc/") + entry->d_name;
        n = readlink((dir + "/ns/pid").c_str(), link, sizeof link);
        if (n <= 0 || std::string(link, static_cast<size_t>(n)) != phone_ns) continue;
        std::string stat;
        if (!get_file(dir + "/stat", &stat) || stat.find(" (zarnorlith) ") == std::string::npos) continue;
        const size_t close_paren = stat.rfind(')');
        if (close_paren + 2 < stat.size() && stat[close_paren + 2] == 'Z') continue;  // ended, not yet reaped
        pids.push_back(pid);
    }
    closedir(proc);
    return pids;
}

int Phone::run_attached(const std::vector<std::string>& argv) const {
    std::vector<std::string> command = inside_command(argv);
    Spawn how;
    how.stdin_fd = 0;
    how.stdout_fd = 1;
    how.stderr_fd = 2;
    pid_t pid = spawn(command, how);
    if (pid < 0) return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string Phone::control(const std::string& command) {
    if (driver_in_ < 0 || driver_out_ < 0) return "err driver not running";
    const std::string line = command + "\n";
    size_t written = 0;
    if (write_all(driver_in_, line.data(), line.size(), &written) != 0) return "err driver gone";
    std::string reply;
    if (!read_line(driver_out_, &driver_pending_, &reply, control_reply_ms)) return "err no reply from the driver";
    return reply;
}

std::vector<Event> Phone::events() const {
    std::vector<Event> events;
    std::string content, error;
    get_file(run_dir_ + "/" + events_name, &content);
    // The driver may be half way through a line; parse the complete ones.
    size_t end = content.rfind('\n');
    content.resize(end == std::string::npos ? 0 : end + 1);
    parse_events(content, &events, &error);
    return events;
}

std::vector<Event> Phone::events(const std::string& kind, const std::string& device) const {
    std::vector<Event> all = events(), chosen;
    for (const Event& e : all) {
        if (e.kind == kind && (device.empty() || e.device == device)) chosen.push_back(e);
    }
    return chosen;
}

std::vector<LogRecord> Phone::log_records() const {
    std::vector<LogRecord> records;
    std::string content, error;
    get_file(phone_dir_ + "/orlith.log", &content);
    parse_log_records(content, &records, &error);
    return records;
}

std::vector<std::vector<std::string>> Phone::broadcasts() const { return read_arg_log(phone_dir_ + "/am.log"); }

std::vector<std::vector<std::string>> Phone::mount_runs() const { return read_arg_log(phone_dir_ + "/mount.log"); }

std::vector<std::string> Phone::stop_reports() const {
    std::vector<std::string> errnos;
    if (profile_->name == std::string("legacy")) {
        for (const auto& args : broadcasts()) errnos.push_back(args.empty() ? "?" : args.back());
    }
    for (const std::string& state : states()) {
        if (state.compare(0, 6, "error ") == 0) errnos.push_back(state.substr(6));
    }
    return errnos;
}

std::vector<std::string> Phone::states() const {
    // The daemon sets a property by adding its line to the phone's property
    // file; what the phone wrote there before has other keys.
    std::vector<std::string> values;
    std::string content;
    get_file(phone_dir_ + "/build.prop", &content);
    const std::string key = std::string(state_property) + "=";
    for (const std::string& line : split_records(content)) {
        if (line.compare(0, key.size(), key) == 0) values.push_back(line.substr(key.size()));
    }
    return values;
}

std::vector<std::string> Phone::dm_files(const std::string& wanted) const {
    const std::string dir = wanted.empty() ? log_root() : wanted;
    std::vector<std::string> files;
    DIR* d = opendir(host_path(dir).c_str());
    if (d == nullptr) return files;
    while (struct dirent* entry = readdir(d)) {
        const std::string name = entry->d_name;
        if (name.size() > 3 && name.compare(name.size() - 3, 3, ".dm") == 0) files.push_back(dir + "/" + name);
    }
    closedir(d);
    std::sort(files.begin(), files.end());
    return files;
}

CaptureCheck Phone::check_capture(Device device, const std::vector<std::string>& inside_files,
                                  const Grouping& grouping) const {
    if (reads_layout(device)) return check_read_capture(device, inside_files);
    std::string actual;
    for (const std::string& file : inside_files) {
        std::string content;
        if (!read_file(file, &content)) {
            CaptureCheck missing;
            missing.message = "cannot read " + file;
            return missing;
        }
        actual += content;
    }
    const Journal all = journal();
    const std::vector<const Chunk*> chunks = stream_chunks(all, device);
    return compare_capture(actual, expected_capture(chunks, options_.stream_header, grouping), chunks.size());
}

CaptureCheck Phone::check_read_capture(Device device, const std::vector<std::string>& inside_files,
                                       bool tail_only) const {
    std::vector<std::string> host_files;
    for (const std::string& file : inside_files) host_files.push_back(host_path(file));
    return simphone::check_read_capture(journal(), events("request", device_name(device)), device, host_files,
                                        tail_only);
}

}  // namespace simphone
