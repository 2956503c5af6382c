// The phone's sandbox: the files that stand in for the phone's own (kernel
// command line, /proc/version, build.prop, am, mount and init), the bubblewrap
// arguments that lay out the daemon's fixed paths, and the nsenter command
// that runs something inside.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include "process.h"
#include "simphone.h"

namespace simphone {

namespace {

constexpr int sandbox_start_ms = 10000;

// Records its arguments, one call a line, arguments ended by 0x1F.
std::string recorder_script(const std::string& log, const std::string& then) {
    return "#!/bin/sh\n{ printf '%s\\037' \"$@\"; printf '\\n'; } >> " + log + "\n" + then;
}

}  // namespace

bool Phone::write_phone_files(std::string* error) {
    std::string cmdline = options_.cmdline;
    if (cmdline.empty()) {
        cmdline = "console=ttyHSL0,115200 androidboot.hardware=simphone androidboot.mode=" + options_.boot_mode;
        if (!options_.radioflag.empty()) cmdline += " radioflag=" + options_.radioflag;
    }
    std::string properties;
    std::map<std::string, std::string> props = options_.properties;
    if (options_.trace && props.count(profile_->trace_property) == 0) props[profile_->trace_property] = trace_path();
    if (options_.messages) props[profile_->debug_property] = "1";
    // As init sets it from androidboot.mode: where the vendor build reads it.
    props.try_emplace("ro.boot.mode", options_.boot_mode);
    for (const auto& [key, value] : props) properties += key + "=" + value + "\n";
    const std::string mount_then =
        (options_.mount_delay_ms > 0 ? "sleep " + std::to_string(options_.mount_delay_ms / 1000.0) + "\n" : "") +
        (options_.mount_program == MountProgram::works ? "exec /usr/bin/mount --bind /.simphone/sd /sdcard\n"
                                                       : "echo 'mount: simulated failure' >&2\nexit 32\n");
    const std::string am_then = "echo 'Broadcast completed: result=0'\n";
    const Generation* generation = find_generation(options_.driver);
    const std::string version =
        generation != nullptr
            ? std::string(generation->proc_version)
            : "Linux version " + options_.kernel_version +
                  " (builder@simphone) (gcc version 4.4.3) #1 SMP PREEMPT Fri Apr 5 09:30:15 CST 2013";
    std::string init_standin;
    bool ok = get_file(SIMPHONE_INIT, &init_standin) && put_file(phone_dir_ + "/cmdline", cmdline + "\n", 0644) &&
              put_file(phone_dir_ + "/version", version + "\n", 0644) &&
              put_file(phone_dir_ + "/build.prop", properties, 0644) &&
              put_file(phone_dir_ + "/bin/am", recorder_script("/.simphone/am.log", am_then), 0755) &&
              put_file(phone_dir_ + "/mount", recorder_script("/.simphone/mount.log", mount_then), 0755) &&
              put_file(phone_dir_ + "/block", "", 0644) && put_file(phone_dir_ + "/orlith.log", "", 0644) &&
              put_file(phone_dir_ + "/bin/simphone_init", init_standin, 0755);
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
    const Generation* generation = find_generation(options_.driver);
    if (options_.diag_mdm && (generation == nullptr || generation->own_mdm_device))
        a.insert(a.end(), {"--bind", dev + "diag_mdm", "/dev/diag_mdm"});
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
    a.insert(a.end(), {"--ro-bind", options_.daemon_binary, profile_->binary, "--ro-bind", phone_dir_ + "/mount",
                       "/system/bin/mount", "--chdir", "/"});
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
                                        "PATH=/system/bin:/vendor/bin:/.simphone/bin:/usr/bin:/bin",
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

}  // namespace simphone
