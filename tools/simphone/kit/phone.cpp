#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <sstream>

#include "simphone.h"

namespace simphone {

namespace {

constexpr int driver_start_ms = 5000;
constexpr int sandbox_start_ms = 10000;
constexpr int control_reply_ms = 5000;
constexpr int teardown_ms = 3000;
constexpr const char* record_separator = "\037";

// ---- small file and process helpers ----------------------------------------

bool write_all(int fd, const char* data, size_t length) {
    while (length > 0) {
        ssize_t written = write(fd, data, length);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        data += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

bool put_file(const std::string& path, const std::string& content, mode_t mode) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) return false;
    bool ok = write_all(fd, content.data(), content.size());
    if (fchmod(fd, mode) != 0) ok = false;
    return close(fd) == 0 && ok;
}

bool make_dirs(const std::string& path) {
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at == path.size() || path[at] == '/') {
            std::string part = path.substr(0, at);
            if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
        }
    }
    return true;
}

int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
    (void)remove(path);
    return 0;
}

void remove_tree(const std::string& path) { nftw(path.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT); }

// Start time of a process (clock ticks since boot), so that a reused pid is
// not taken for the process we remember; empty when it does not exist.
std::string start_time_of(pid_t pid) {
    std::string stat;
    if (pid <= 0 || !get_file("/proc/" + std::to_string(pid) + "/stat", &stat)) return "";
    size_t close_paren = stat.rfind(')');
    if (close_paren == std::string::npos) return "";
    std::istringstream fields(stat.substr(close_paren + 2));
    std::string field;
    for (int i = 3; i <= 22 && fields >> field; ++i) {
        if (i == 22) return field;
    }
    return "";
}

int open_pidfd(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

// Waits for a child of ours; returns its wait status, or -1 at the time-out.
int wait_child(pid_t pid, int timeout_ms) {
    int status = 0;
    int pidfd = open_pidfd(pid);
    const uint64_t deadline = monotonic_us() + static_cast<uint64_t>(timeout_ms) * 1000u;
    for (;;) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid || (done < 0 && errno == ECHILD)) {
            if (pidfd >= 0) close(pidfd);
            return done == pid ? status : 0;
        }
        const uint64_t now = monotonic_us();
        if (now >= deadline) break;
        int left = static_cast<int>((deadline - now + 999) / 1000);
        if (pidfd >= 0) {
            struct pollfd fd = {pidfd, POLLIN, 0};
            poll(&fd, 1, left);
        } else {
            struct timespec pause = {0, 2000000};
            nanosleep(&pause, nullptr);
        }
    }
    if (pidfd >= 0) close(pidfd);
    return -1;
}

// Ends a child (and its process group, when it leads one) and reaps it.
void end_child(pid_t pid, int grace_ms, int first_signal) {
    if (pid <= 0) return;
    if (first_signal != 0) {
        kill(-pid, first_signal);  // the group first, while its leader still names it
        kill(pid, first_signal);
    }
    if (wait_child(pid, grace_ms) >= 0) return;
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    wait_child(pid, teardown_ms);
}

// Reads one line from fd within the time-out, keeping what follows it.
bool read_line(int fd, std::string* pending, std::string* line, int timeout_ms) {
    const uint64_t deadline = monotonic_us() + static_cast<uint64_t>(timeout_ms) * 1000u;
    for (;;) {
        size_t end = pending->find('\n');
        if (end != std::string::npos) {
            *line = pending->substr(0, end);
            pending->erase(0, end + 1);
            return true;
        }
        const uint64_t now = monotonic_us();
        if (now >= deadline) return false;
        struct pollfd p = {fd, POLLIN, 0};
        int ready = poll(&p, 1, static_cast<int>((deadline - now + 999) / 1000));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        char buffer[4096];
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        pending->append(buffer, static_cast<size_t>(got));
    }
}

struct Spawn {
    int stdin_fd = -1, stdout_fd = -1, stderr_fd = -1;
    int extra_fd = -1;  // kept open in the child under the same number
    bool own_group = false;
};

// fork and exec; the child gets only the descriptors named in spawn (all
// of ours are close-on-exec).
pid_t spawn(const std::vector<std::string>& argv, const Spawn& how) {
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid != 0) return pid;
    if (how.own_group) setpgid(0, 0);
    int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    dup2(how.stdin_fd >= 0 ? how.stdin_fd : null_fd, 0);
    dup2(how.stdout_fd >= 0 ? how.stdout_fd : null_fd, 1);
    dup2(how.stderr_fd >= 0 ? how.stderr_fd : null_fd, 2);
    if (how.extra_fd >= 0) fcntl(how.extra_fd, F_SETFD, 0);
    sigset_t none;
    sigemptyset(&none);
    // NOLINTNEXTLINE(concurrency-mt-unsafe): in the forked child, which has one thread
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

// Mount points at or below dir, deepest first.
std::vector<std::string> mounts_under(const std::string& dir) {
    std::vector<std::string> found;
    std::string mounts;
    if (!get_file("/proc/self/mounts", &mounts)) return found;
    std::istringstream lines(mounts);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string device, point;
        fields >> device >> point;
        if (point == dir || point.compare(0, dir.size() + 1, dir + "/") == 0) found.push_back(point);
    }
    std::sort(found.rbegin(), found.rend());
    return found;
}

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

// Records its arguments, one call a line, arguments ended by 0x1F.
std::string recorder_script(const std::string& log, const std::string& then) {
    return "#!/bin/sh\n{ printf '%s\\037' \"$@\"; printf '\\n'; } >> " + log + "\n" + then;
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

// ---- Phone -----------------------------------------------------------------

std::unique_ptr<Phone> Phone::start(const PhoneOptions& options, std::string* error) {
    std::string ignored;
    if (error == nullptr) error = &ignored;
    if (!phone_supported(error)) return nullptr;
    std::unique_ptr<Phone> phone(new Phone());
    phone->options_ = options;
    if (phone->options_.daemon_binary.empty()) phone->options_.daemon_binary = SIMPHONE_DAEMON;
    phone->header_ = header_for_kernel(options.kernel_version);
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
    for (const char* sub : {"/dev", "/sdcard", "/sdcard2", "/phone/bin", "/data/data/com.zarn.android.orlith/data"}) {
        if (!make_dirs(run_dir_ + sub)) {
            *error = "cannot create " + run_dir_ + sub;
            return false;
        }
    }
    if (!put_file(run_dir_ + "/owner", std::to_string(getpid()) + " " + start_time_of(getpid()) + "\n", 0644)) {
        *error = "cannot write the owner file";
        return false;
    }
    if (options_.sdcard_size_kb > 0) {
        const std::string size = "size=" + std::to_string(options_.sdcard_size_kb) + "k,mode=0755";
        if (mount("tmpfs", (run_dir_ + "/sdcard").c_str(), "tmpfs", MS_NOSUID | MS_NODEV, size.c_str()) != 0) {
            // NOLINTNEXTLINE(concurrency-mt-unsafe): the kit starts no threads
            *error = "cannot mount a tmpfs on " + run_dir_ + "/sdcard: " + strerror(errno);
            return false;
        }
        sdcard_tmpfs_ = true;
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
    driver_pid_ = spawn({driver_path(), run_dir_ + "/dev", run_dir_}, how);
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

    const int stream_header = options_.stream_header >= 0 ? options_.stream_header : header_;
    std::vector<std::string> setup = {"header all " + std::to_string(stream_header)};
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

bool Phone::write_phone_files(std::string* error) {
    std::string cmdline = options_.cmdline;
    if (cmdline.empty()) {
        cmdline = "console=ttyHSL0,115200 androidboot.hardware=simphone androidboot.mode=" + options_.boot_mode;
        if (!options_.radioflag.empty()) cmdline += " radioflag=" + options_.radioflag;
    }
    std::string properties;
    std::map<std::string, std::string> props = options_.properties;
    if (options_.trace && props.count("ro.muxd.trace_pts_name") == 0) props["ro.muxd.trace_pts_name"] = trace_path();
    for (const auto& [key, value] : props) properties += key + "=" + value + "\n";
    const std::string mount_then =
        (options_.mount_delay_ms > 0 ? "sleep " + std::to_string(options_.mount_delay_ms / 1000.0) + "\n" : "") +
        (options_.mount_program == MountProgram::works ? "exec /usr/bin/mount --bind /.simphone/sd /sdcard\n"
                                                       : "echo 'mount: simulated failure' >&2\nexit 32\n");
    const std::string am_then = "echo 'Broadcast completed: result=0'\n";
    bool ok = put_file(phone_dir_ + "/cmdline", cmdline + "\n", 0644) &&
              put_file(phone_dir_ + "/version",
                       "Linux version " + options_.kernel_version +
                           " (builder@simphone) (gcc version 4.4.3) #1 SMP PREEMPT Fri Apr 5 09:30:15 CST 2013\n",
                       0644) &&
              put_file(phone_dir_ + "/build.prop", properties, 0644) &&
              put_file(phone_dir_ + "/bin/am", recorder_script("/.simphone/am.log", am_then), 0755) &&
              put_file(phone_dir_ + "/mount", recorder_script("/.simphone/mount.log", mount_then), 0755) &&
              put_file(phone_dir_ + "/block", "", 0644) && put_file(phone_dir_ + "/orlith.log", "", 0644);
    if (!ok) *error = "cannot write the phone's files in " + phone_dir_;
    return ok;
}

std::vector<std::string> Phone::sandbox_args() const {
    const bool mfg = options_.boot_mode == "mfgkernel";
    std::vector<std::string> a = {"/usr/bin/bwrap", "--unshare-pid", "--die-with-parent", "--tmpfs", "/",   "--ro-bind",
                                  "/usr",           "/usr",          "--ro-bind",         "/etc",    "/etc"};
    for (const char* top : {"/bin", "/sbin", "/lib", "/lib32", "/lib64", "/libx32"}) {
        char target[256];
        ssize_t n = readlink(top, target, sizeof target - 1);
        if (n > 0) {
            a.insert(a.end(), {"--symlink", std::string(target, static_cast<size_t>(n)), top});
        } else if (access(top, F_OK) == 0) {
            a.insert(a.end(), {"--ro-bind", top, top});
        }
    }
    a.insert(a.end(), {"--dev", "/dev"});
    const std::string dev = run_dir_ + "/dev/";
    if (options_.diag) a.insert(a.end(), {"--bind", dev + "diag", "/dev/diag"});
    if (options_.diag_mdm) a.insert(a.end(), {"--bind", dev + "diag_mdm", "/dev/diag_mdm"});
    if (options_.extdiag) a.insert(a.end(), {"--bind", dev + "extdiag", "/dev/extdiag"});
    if (options_.trace) a.insert(a.end(), {"--dev-bind", pty_, trace_path()});
    if (options_.smd0 != Node::absent) a.insert(a.end(), {"--bind", dev + "smd0", "/dev/smd0"});
    if (options_.sdiotty0 != Node::absent) a.insert(a.end(), {"--bind", dev + "sdiotty0", "/dev/sdiotty0"});
    a.insert(a.end(), {"--dir", "/dev/block"});
    if (mfg && options_.sd_block_device && options_.sd_block_delay_ms <= 0)
        a.insert(a.end(), {"--ro-bind", phone_dir_ + "/block", "/dev/block/mmcblk1p1"});
    a.insert(a.end(), {"--proc", "/proc", "--ro-bind", phone_dir_ + "/cmdline", "/proc/cmdline", "--ro-bind",
                       phone_dir_ + "/version", "/proc/version"});
    a.insert(a.end(), {"--dir", "/sys/power", "--bind", dev + "wake_lock", "/sys/power/wake_lock", "--bind",
                       dev + "wake_unlock", "/sys/power/wake_unlock"});
    a.insert(a.end(), {"--bind", run_dir_ + "/data", "/data", "--bind", phone_dir_, "/.simphone"});
    if (mfg) {
        a.insert(a.end(), {"--dir", "/sdcard", "--bind", run_dir_ + "/sdcard", "/.simphone/sd"});
    } else {
        a.insert(a.end(), {"--bind", run_dir_ + "/sdcard", "/sdcard"});
    }
    switch (options_.sdcard2) {
        case Sdcard2::absent:
            break;
        case Sdcard2::directory:
            a.insert(a.end(), {"--dir", "/sdcard2"});
            break;
        case Sdcard2::mount:
            a.insert(a.end(), {"--bind", run_dir_ + "/sdcard2", "/sdcard2"});
            break;
        case Sdcard2::symlink:
            a.insert(a.end(), {"--symlink", options_.sdcard2_link_target, "/sdcard2"});
            break;
    }
    a.insert(a.end(), {"--ro-bind", options_.daemon_binary, "/system/bin/zarnorlith", "--ro-bind",
                       phone_dir_ + "/mount", "/system/bin/mount", "--chdir", "/"});
    return a;
}

bool Phone::start_sandbox(std::string* error) {
    int to_init[2], from_init[2], info[2];
    if (pipe2(to_init, O_CLOEXEC) != 0 || pipe2(from_init, O_CLOEXEC) != 0 || pipe2(info, O_CLOEXEC) != 0) {
        *error = "pipe failed";
        return false;
    }
    std::vector<std::string> argv = sandbox_args();
    argv.insert(argv.end(),
                {"--info-fd", std::to_string(info[1]), "/bin/sh", "-c", "echo ready; read ignored; exit 0"});
    int err_fd = open((run_dir_ + "/sandbox.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    Spawn how;
    how.stdin_fd = to_init[0];
    how.stdout_fd = from_init[1];
    how.stderr_fd = err_fd;
    how.extra_fd = info[1];
    bwrap_pid_ = spawn(argv, how);
    close(to_init[0]);
    close(from_init[1]);
    close(info[1]);
    if (err_fd >= 0) close(err_fd);
    sandbox_in_ = to_init[1];
    std::string pending, line;
    const bool ready = bwrap_pid_ > 0 && read_line(from_init[0], &pending, &line, sandbox_start_ms) && line == "ready";
    close(from_init[0]);
    std::string json;
    const uint64_t deadline = monotonic_us() + 2000000u;
    while (ready && json.find('}') == std::string::npos && monotonic_us() < deadline) {
        struct pollfd p = {info[0], POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        char buffer[512];
        ssize_t got = read(info[0], buffer, sizeof buffer);
        if (got <= 0) break;
        json.append(buffer, static_cast<size_t>(got));
    }
    close(info[0]);
    size_t at = json.find("\"child-pid\":");
    if (!ready || at == std::string::npos) {
        std::string why;
        get_file(run_dir_ + "/sandbox.err", &why);
        *error = "the sandbox did not start: " + why;
        return false;
    }
    // NOLINTNEXTLINE(cert-err34-c): digits of the JSON bubblewrap wrote
    init_pid_ = static_cast<pid_t>(atoi(json.c_str() + at + 12));
    std::string pids = std::to_string(driver_pid_) + " " + start_time_of(driver_pid_) + "\n" +
                       std::to_string(bwrap_pid_) + " " + start_time_of(bwrap_pid_) + "\n";
    put_file(run_dir_ + "/pids", pids, 0644);
    if (options_.boot_mode == "mfgkernel" && options_.sd_block_device && options_.sd_block_delay_ms > 0) {
        // The card shows up later, as it does when the kernel is slow to
        // find it. A child of the phone's shell, so it ends with the phone.
        const std::string later =
            "sleep " + std::to_string(options_.sd_block_delay_ms / 1000.0) + "; : > /dev/block/mmcblk1p1";
        Spawn quiet;
        quiet.own_group = true;
        pid_t helper = spawn(
            {"/usr/bin/nsenter", "-t", std::to_string(init_pid_), "-m", "-p", "-r", "-w", "--", "/bin/sh", "-c", later},
            quiet);
        helpers_.push_back(helper);
    }
    return true;
}

Phone::~Phone() { stop(); }

bool Phone::stop(std::string* error) {
    if (stopped_) return true;
    stopped_ = true;
    bool clean = true;
    std::string problems;
    if (sandbox_in_ >= 0) {
        close(sandbox_in_);
        sandbox_in_ = -1;
    }
    if (bwrap_pid_ > 0) {
        // The shell ends at the end of its input; with it bwrap and every
        // process of the phone's pid namespace.
        if (wait_child(bwrap_pid_, teardown_ms) < 0) {
            clean = false;
            problems += "sandbox had to be killed; ";
            end_child(bwrap_pid_, 0, SIGKILL);
        }
        bwrap_pid_ = -1;
    }
    for (pid_t helper : helpers_) end_child(helper, 0, SIGKILL);
    helpers_.clear();
    if (driver_in_ >= 0) {
        close(driver_in_);
        driver_in_ = -1;
    }
    if (driver_out_ >= 0) {
        close(driver_out_);
        driver_out_ = -1;
    }
    if (driver_pid_ > 0) {
        if (wait_child(driver_pid_, teardown_ms) < 0) {
            clean = false;
            problems += "driver had to be killed; ";
            end_child(driver_pid_, 0, SIGKILL);
        }
        driver_pid_ = -1;
    }
    if (sdcard_tmpfs_) {
        // Ours, and expected: only a mount that outlives this is a leftover.
        const std::string card = run_dir_ + "/sdcard";
        if (umount2(card.c_str(), 0) != 0) umount2(card.c_str(), MNT_DETACH);
        sdcard_tmpfs_ = false;
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

bool Phone::write_config(const std::string& text) { return write_file(std::string(data_dir) + "/orlith.conf", text); }

bool Phone::status_file(std::string* content) const {
    return read_file(std::string(data_dir) + "/.orlith.stat", content);
}

std::vector<std::string> Phone::inside_command(const std::vector<std::string>& argv) const {
    std::vector<std::string> command = {"/usr/bin/nsenter",
                                        "-t",
                                        std::to_string(init_pid_),
                                        "-m",
                                        "-p",
                                        "-r",
                                        "-w",
                                        "--",
                                        "/usr/bin/env",
                                        "-i",
                                        "PATH=/system/bin:/.simphone/bin:/usr/bin:/bin",
                                        "ORLITH_PROPERTIES=/.simphone/build.prop",
                                        "ORLITH_LOG=/.simphone/orlith.log"};
    if (!options_.external_storage.empty()) command.push_back("EXTERNAL_STORAGE=" + options_.external_storage);
    for (const char* pass : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LSAN_OPTIONS", "TERM"}) {
        const char* value = getenv(pass);
        if (value != nullptr) command.push_back(std::string(pass) + "=" + value);
    }
    for (const auto& [key, value] : options_.environment) command.push_back(key + "=" + value);
    command.insert(command.end(), argv.begin(), argv.end());
    return command;
}

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
    std::vector<std::string> argv = {"/system/bin/zarnorlith"};
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
    if (!write_all(driver_in_, line.data(), line.size())) return "err driver gone";
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

std::vector<std::string> Phone::dm_files(const std::string& dir) const {
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
    return compare_capture(actual, expected_capture(chunks, header_, grouping), chunks.size());
}

}  // namespace simphone
