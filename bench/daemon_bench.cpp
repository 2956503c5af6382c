// Figures of the whole daemon on the simulated phone, in one run and beside
// the two limits it is held to: reference_reader, which only switches
// /dev/diag to memory-device mode, reads it and appends every chunk to a
// file in the daemon's directory, and the same reader taking and dropping
// the task's wake lock around every chunk. Then, with four tasks: status and
// stop latency, resident memory, an idle daemon's system calls, and what the
// driver drops at 20 MB/s. All of it once for each driver asked for, the
// oldest and the newest kernel's and the old simulated driver by default,
// each phone's figures under its driver's name, then the drivers side by
// side. Prints figures; asserts nothing.
//   daemon_bench [seconds of load, 15] [seconds idle, 30] [seconds at 20 MB/s, 30] [driver...]
// A driver is a generation name (2.6.35 ... 4.14) or "old", the simulated
// driver of old; the default is old 2.6.35 4.14.
#include <ctype.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "mask_files.h"
#include "platform/fd_io.h"
#include "simphone.h"

using namespace simphone;

namespace {

constexpr int syscall_seconds = 3;
constexpr int load_rounds = 5;
constexpr int warm_up_ms = 300;
constexpr int status_runs = 100;
constexpr int stop_runs = 20;
constexpr const char* reader_inside = "/.simphone/bin/reference_reader";
constexpr double mib = 1024.0 * 1024.0;

// utime + stime of a process (all its threads), in seconds.
double cpu_seconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t name_end = text.rfind(')');
    if (name_end == std::string::npos || name_end + 2 > text.size()) return 0;  // gone
    std::istringstream fields(text.substr(name_end + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) utime = std::stoull(field);
        if (i == 15) stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// A "Vm...:" line of /proc/PID/status, in KiB.
long status_kib(pid_t pid, const std::string& key) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(key, 0) == 0) return std::stol(line.substr(key.size()));
    }
    return -1;
}

// Another engineer's control test on this host may stop any daemon it sees
// in /proc, ours too: figures of a daemon that went away are void.
bool still_running(pid_t pid) { return status_kib(pid, "VmRSS:") >= 0; }

void warn_if_gone(pid_t pid, const char* figures) {
    if (!still_running(pid)) printf("  (the daemon ended during the %s: something else stopped it; void)\n", figures);
}

// One counter of the driver's "stats" reply for a device.
unsigned long long driver_stat(Phone& phone, const char* device, const std::string& name) {
    const std::string reply = phone.control(std::string("stats ") + device);
    const size_t at = reply.find(" " + name + "=");
    return at == std::string::npos ? 0 : strtoull(reply.c_str() + at + name.size() + 2, nullptr, 10);
}

// Runs a host tool and gives back its standard output; false when it could
// not run or failed.
bool host_output(const std::vector<std::string>& argv, std::string* out) {
    // Made before the fork: the reader's thread may hold the allocator then.
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) return false;
    const pid_t child = fork();
    if (child == 0) {
        dup2(pipe_fds[1], STDOUT_FILENO);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(pipe_fds[1]);
    out->clear();
    char buffer[4096];
    ssize_t got;
    while ((got = read_retrying(pipe_fds[0], buffer, sizeof buffer)) > 0) out->append(buffer, static_cast<size_t>(got));
    close(pipe_fds[0]);
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Counts the system calls of every thread of pid for some seconds, in the
// kernel (perf's syscall-entry tracepoint): no ptrace stop slows the process
// down or interrupts its waits. -1 when perf cannot count.
long long count_syscalls(pid_t pid, int seconds) {
    std::string result;
    if (!host_output({"perf", "stat", "-x", ",", "-e", "raw_syscalls:sys_enter", "-p", std::to_string(pid), "-o",
                      "/dev/stdout", "--", "sleep", std::to_string(seconds)},
                     &result))
        return -1;
    std::istringstream lines(result);
    std::string line;
    long long count = -1;
    while (std::getline(lines, line)) {
        if (line.find("raw_syscalls:sys_enter") == std::string::npos) continue;
        // Not counted: no thread of pid ran at all while perf watched.
        if (line.rfind("<not counted>", 0) == 0) count = 0;
        if (isdigit(static_cast<unsigned char>(line[0]))) count = std::stoll(line);
    }
    return count;
}

std::unique_ptr<Phone> phone_with(const std::string& driver, bool four_tasks, const std::string& config_extra) {
    PhoneOptions options;
    options.driver = driver;
    options.diag_mdm = options.extdiag = options.trace = four_tasks;
    std::string error;
    std::unique_ptr<Phone> phone = Phone::start(options, &error);
    if (!phone) {
        fprintf(stderr, "daemon_bench: %s\n", error.c_str());
        exit(1);
    }
    phone->write_file("/sdcard/mask.cfg", mask_packet);
    phone->write_config(
        "StoragePath=/sdcard\nqxdm7k:Mask=mask.cfg\nqxdm9k:Mask=mask.cfg\n"
        "qxdmExt:Mask=mask.cfg\ntiTrace:Mask=mask.cfg\nRotateSizeMB=64\nRotateCount=2\n" +
        config_extra);
    return phone;
}

pid_t start_daemon(Phone& phone) {
    phone.zarnorlith({});
    wait_until([&] { return phone.daemon_pids().size() == 1; }, 5000);
    std::vector<pid_t> pids = phone.daemon_pids();
    return pids.empty() ? -1 : pids[0];
}

double stop_ms(Phone& phone) {
    const uint64_t before = monotonic_us();
    phone.zarnorlith({"-q"});
    wait_until([&] { return phone.daemon_pids().empty(); }, 10000);
    return (monotonic_us() - before) / 1000.0;
}

// Every device as fast as the daemon takes it: the two diag devices hand a
// chunk to every read (32 KiB, or as much as a generation's buffer holds).
// The external modem and the trace terminal are drained until they are
// empty, so they get a timed rate instead; faster than the daemon drains, a
// drain (and the stop behind it) would not end.
void full_load(Phone& phone) {
    for (const char* command :
         {"chunk all 32768", "rate diag -1", "rate diag_mdm -1", "rate extdiag 16000000", "rate trace 16000000"})
        phone.control(command);
}

// The captures of the phone so far are of no further use; without them the
// next subject writes to a directory like the first one's. The driver's
// journal of every byte handed out goes too, so that the dirty pages of
// one subject do not throttle the next one's writes.
void clear_captures(Phone& phone) {
    for (const std::string& file : phone.dm_files()) unlink(phone.host_path(file).c_str());
    unlink(phone.host_path("/sdcard/reference.dm").c_str());
    if (truncate((phone.run_dir() + "/" + journal_data_name).c_str(), 0) != 0) perror("daemon_bench: journal");
}

struct Median {
    double median = 0, worst = 0;
};

Median median_of(std::vector<double> values) {
    if (values.empty()) return {};
    std::sort(values.begin(), values.end());
    return {values[values.size() / 2], values.back()};
}

// What one reader of /dev/diag made of it: throughput and CPU summed over
// the load windows of every round, system calls over a shorter window right
// after the first one. Each round's own throughput shows the noise.
struct Subject {
    explicit Subject(const char* subject_name) : name(subject_name) {}
    const char* name;
    std::string switched;  // a reference reader's mode switch: "value" or "pointer"
    double bytes = 0, seconds = 0, cpu = 0, driver_cpu = 0;
    std::vector<double> round_mb_s;
    long long syscalls = -1;
    double syscall_bytes = 0;
    double mb_s() const { return seconds > 0 ? bytes / seconds / 1e6 : 0; }
    double cpu_per_gb() const { return bytes > 0 ? cpu / (bytes / 1e9) : 0; }
    double driver_cpu_per_gb() const { return bytes > 0 ? driver_cpu / (bytes / 1e9) : 0; }
    double syscalls_per_mib() const {
        return syscalls >= 0 && syscall_bytes > 0 ? syscalls / (syscall_bytes / mib) : -1;
    }
};

void measure(Phone& phone, pid_t pid, int window_seconds, bool count_calls, Subject* subject) {
    usleep(warm_up_ms * 1000);  // past the start-up and the mask
    const unsigned long long bytes_before = driver_stat(phone, "diag", "handed_bytes");
    const double cpu_before = cpu_seconds(pid), driver_before = cpu_seconds(phone.driver_pid());
    const uint64_t before = monotonic_us();
    sleep(static_cast<unsigned>(window_seconds));
    const double cpu = cpu_seconds(pid) - cpu_before;
    subject->driver_cpu += cpu_seconds(phone.driver_pid()) - driver_before;
    const double seconds = (monotonic_us() - before) / 1e6;
    const unsigned long long bytes_after = driver_stat(phone, "diag", "handed_bytes");
    const double bytes = static_cast<double>(bytes_after - bytes_before);
    subject->cpu += cpu;
    subject->seconds += seconds;
    subject->bytes += bytes;
    subject->round_mb_s.push_back(bytes / seconds / 1e6);
    if (!count_calls) return;
    subject->syscalls = count_syscalls(pid, syscall_seconds);
    subject->syscall_bytes = static_cast<double>(driver_stat(phone, "diag", "handed_bytes") - bytes_after);
}

void measure_daemon(Phone& phone, int window_seconds, bool count_calls, Subject* subject) {
    const pid_t daemon = start_daemon(phone);
    if (daemon > 0) measure(phone, daemon, window_seconds, count_calls, subject);
    warn_if_gone(daemon, "load window");
    stop_ms(phone);
}

// The reference reader runs inside the phone (its binary copied in) for the
// windows and a margin, in a thread of ours, while this thread measures it
// by its host pid.
void measure_reader(Phone& phone, bool wake_locks, int window_seconds, bool count_calls, Subject* subject) {
    // Two seconds beyond the windows cover the warm-up and finding the pid.
    const int run_seconds = window_seconds + (count_calls ? syscall_seconds : 0) + 2;
    std::vector<std::string> argv = {reader_inside};
    if (wake_locks) argv.push_back("-w");
    argv.insert(argv.end(), {std::to_string(run_seconds), "/dev/diag", "/sdcard/reference.dm"});
    RunResult result;
    std::thread runner([&] { result = phone.run(argv, (run_seconds + 10) * 1000); });
    pid_t pid = -1;
    const std::vector<std::string> find = {"pgrep",    "-n",  "--ns", std::to_string(phone.init_pid()),
                                           "--nslist", "pid", "-f",   std::string("^") + reader_inside};
    wait_until(
        [&] {
            std::string found;
            pid = host_output(find, &found) ? static_cast<pid_t>(strtol(found.c_str(), nullptr, 10)) : -1;
            return pid > 0;
        },
        5000);
    if (pid > 0) measure(phone, pid, window_seconds, count_calls, subject);
    runner.join();
    if (pid <= 0 || !result.ok())
        fprintf(stderr, "daemon_bench: the reference reader failed: %s\n", result.err.c_str());
    // Its output: bytes, chunks, and how the switch was taken.
    std::istringstream said(result.out);
    std::string bytes, chunks, switched;
    if (said >> bytes >> chunks >> switched && subject->switched.find(switched) == std::string::npos)
        subject->switched += (subject->switched.empty() ? "" : "+") + switched;
}

double ratio(double a, double b) { return b > 0 ? a / b : 0; }

void print_subjects(const std::vector<Subject>& subjects, const std::string& chunk_said) {
    printf("%-30s %8s %9s %13s %11s   %s\n", "one qxdm7k task, full rate", "MB/s", "CPU s/GB", "syscalls/MiB",
           "driver s/GB", "MB/s of each round");
    for (const Subject& s : subjects) {
        printf("%-30s %8.1f %9.2f %13.1f %11.2f  ", s.name, s.mb_s(), s.cpu_per_gb(), s.syscalls_per_mib(),
               s.driver_cpu_per_gb());
        for (double round : s.round_mb_s) printf(" %.1f", round);
        printf("\n");
    }
    const Subject& daemon = subjects[0];
    for (size_t i = 1; i < subjects.size(); ++i) {
        const Subject& reference = subjects[i];
        printf("daemon / %-21s %8.2f %9.2f %13.2f %11.2f  ", reference.name, ratio(daemon.mb_s(), reference.mb_s()),
               ratio(daemon.cpu_per_gb(), reference.cpu_per_gb()),
               ratio(daemon.syscalls_per_mib(), reference.syscalls_per_mib()),
               ratio(daemon.driver_cpu_per_gb(), reference.driver_cpu_per_gb()));
        std::vector<double> rounds;
        for (size_t r = 0; r < daemon.round_mb_s.size() && r < reference.round_mb_s.size(); ++r) {
            rounds.push_back(ratio(daemon.round_mb_s[r], reference.round_mb_s[r]));
            printf(" %.2f", rounds.back());
        }
        printf(", median %.2f\n", median_of(rounds).median);
    }
    printf(
        "  MB/s: bytes the driver handed out over %.0f s in all (%zu rounds, the three in turn in each); CPU:\n"
        "  utime+stime of the process in /proc/PID/stat over the same windows; syscalls: perf stat -e\n"
        "  raw_syscalls:sys_enter -p PID (in-kernel count, no ptrace) over %d s after the first window, per MiB\n"
        "  handed out then; driver: the simulated driver's own CPU over the windows, what the phone costs.\n"
        "  The driver hands %s to every read. Other work on the machine shows as rounds\n"
        "  far below the rest; the median of the rounds' ratios stands least in its way.\n",
        daemon.seconds, daemon.round_mb_s.size(), syscall_seconds, chunk_said.c_str());
    for (size_t i = 1; i < subjects.size(); ++i)
        printf("  %s switched by %s, read %s KiB at a time\n", subjects[i].name,
               subjects[i].switched.empty() ? "?" : subjects[i].switched.c_str(),
               subjects[i].switched == "pointer" ? "64"
               : subjects[i].switched == "value" ? "32"
                                                 : "?");
}

// Whether the status file is complete, as -l tests it.
bool status_complete(const Phone& phone) {
    std::string text;
    return phone.status_file(&text) && text.size() >= 3 && text.compare(text.size() - 3, 3, "\n--") == 0;
}

// Status requests timed from the host: nsenter into the phone, the control
// command's start, the signal and the status file. -v is the part of it
// that is only the start of a process in the phone; a SIGUSR2 sent from
// here, timed until the file is complete, the daemon's own part.
// Gives back the median of -l.
double status_figures(Phone& phone, pid_t daemon) {
    std::vector<double> status, version, handler;
    const std::string status_path = phone.host_path(phone.data_dir() + "/.orlith.stat");
    for (int i = 0; i < status_runs; ++i) {
        uint64_t asked = monotonic_us();
        phone.zarnorlith({"-l"});
        status.push_back((monotonic_us() - asked) / 1000.0);
        if (i % 5 != 0) continue;
        asked = monotonic_us();
        phone.zarnorlith({"-v"});
        version.push_back((monotonic_us() - asked) / 1000.0);
        unlink(status_path.c_str());
        asked = monotonic_us();
        kill(daemon, SIGUSR2);
        while (!status_complete(phone) && monotonic_us() - asked < 1000000) usleep(100);
        handler.push_back((monotonic_us() - asked) / 1000.0);
    }
    const Median l = median_of(status), v = median_of(version), h = median_of(handler);
    printf("-l with four tasks at full rate: median %.1f ms, worst %.1f ms of %d\n", l.median, l.worst, status_runs);
    printf(
        "  of which the start of a process in the phone (-v): median %.1f ms, worst %.1f ms of %zu;\n"
        "  SIGUSR2 to a complete status file: median %.1f ms, worst %.1f ms of %zu\n",
        v.median, v.worst, version.size(), h.median, h.worst, handler.size());
    printf("resident memory with four tasks at full rate: %ld KiB (peak %ld KiB)\n", status_kib(daemon, "VmRSS:"),
           status_kib(daemon, "VmHWM:"));
    warn_if_gone(daemon, "status requests");
    return l.median;
}

// Sends the stop and times it until the daemon has ended: its pidfd turns
// readable then, whoever reaps it.
double stop_timed_ms(pid_t daemon, const std::function<void()>& send_stop) {
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, daemon, 0));
    const uint64_t before = monotonic_us();
    send_stop();
    if (pidfd >= 0) {
        struct pollfd ended = {pidfd, POLLIN, 0};
        poll(&ended, 1, 10000);
        close(pidfd);
    }
    return (monotonic_us() - before) / 1000.0;
}

// Stops under load, each after a fresh start: by -q, and by a SIGTERM from
// here, the daemon's own part of it. Gives back the median of -q.
double stop_figures(Phone& phone) {
    std::vector<double> by_command, by_signal;
    for (int i = 0; i < 2 * stop_runs; ++i) {
        clear_captures(phone);
        const pid_t daemon = start_daemon(phone);
        usleep(300000);  // every task past its mask and logging
        if (i % 2 == 0) {
            by_command.push_back(stop_timed_ms(daemon, [&] { phone.zarnorlith({"-q"}); }));
        } else {
            by_signal.push_back(stop_timed_ms(daemon, [&] { kill(daemon, SIGTERM); }));
        }
        wait_until([&] { return phone.daemon_pids().empty(); }, 10000);
    }
    const Median q = median_of(by_command), t = median_of(by_signal);
    printf(
        "-q with four tasks at full rate, until the daemon has ended: median %.1f ms, worst %.1f ms of %d\n"
        "  SIGTERM from the host instead: median %.1f ms, worst %.1f ms of %d\n",
        q.median, q.worst, stop_runs, t.median, t.worst, stop_runs);
    return q.median;
}

// What one driver's phone gave, for the table of every driver side by side.
struct DriverFigures {
    std::string name;
    std::vector<Subject> subjects;
    double status_ms = 0, stop_ms = 0;
    long long idle_syscalls = -1;
    unsigned long long dropped = 0;
    double handed_mb_s = 0;
};

// The chunk a device's stream is made of: 32 KiB, or what a generation's
// buffer holds, since a timed rate counts chunks of the size asked for.
size_t chunk_bytes(const std::string& driver, const std::string& device) {
    const Generation* generation = find_generation(driver);
    if (generation == nullptr || (device != "diag" && device != "diag_mdm")) return 32768;
    return std::min<size_t>(32768, device == "diag" ? generation->local_entry_limit : generation->external_entry_limit);
}

const char* driver_label(const std::string& driver) { return driver.empty() ? "old simulated driver" : driver.c_str(); }

// 1. One qxdm7k task at the full offered rate, and the two reference
// readers of the same device in the same phone, in turn in every round: the
// load of the machine then weighs on the three alike.
void load_figures(const std::string& driver, const std::string& reader, int load_seconds, DriverFigures* figures) {
    auto phone = phone_with(driver, false, "");
    phone->write_file(reader_inside, reader, 0755);
    phone->control("chunk diag 32768");
    phone->control("rate diag -1");
    std::vector<Subject>& subjects = figures->subjects;
    subjects = {Subject("daemon"), Subject("reference"), Subject("reference, wake locks")};
    const int window = std::max(1, load_seconds / load_rounds);
    for (int round = 0; round < load_rounds; ++round) {
        // Each round begins with another subject, so that none is always
        // the one that follows the teardown of the one before.
        for (int turn = 0; turn < 3; ++turn) {
            const int which = (round + turn) % 3;
            if (which == 0) measure_daemon(*phone, window, round == 0, &subjects[0]);
            if (which > 0) measure_reader(*phone, which == 2, window, round == 0, &subjects[which]);
            clear_captures(*phone);
        }
    }
    print_subjects(subjects, find_generation(driver) == nullptr
                                 ? std::string("a 32 KiB chunk")
                                 : "one entry of " + std::to_string(chunk_bytes(driver, "diag") / 1024) + " KiB");
}

void run_driver(const std::string& driver, const std::string& reader, int load_seconds, int idle_seconds,
                int drop_seconds, DriverFigures* figures) {
    figures->name = driver_label(driver);
    printf("==== driver: %s\n", figures->name.c_str());
    load_figures(driver, reader, load_seconds, figures);
    // 2. Four tasks at full rate: status latency, memory; stop latency.
    {
        auto phone = phone_with(driver, true, "");
        full_load(*phone);
        const pid_t daemon = start_daemon(*phone);
        sleep(1);
        figures->status_ms = status_figures(*phone, daemon);
        stop_ms(*phone);
        figures->stop_ms = stop_figures(*phone);
    }
    // 3. The idle daemon with four tasks; then four tasks offered 20 MB/s
    // together, 5 MB/s each, in 32 KiB chunks or a generation's buffers.
    {
        auto phone = phone_with(driver, true, "");
        const pid_t daemon = start_daemon(*phone);
        phone->control("rate all 0");
        sleep(1);
        const long long idle = count_syscalls(daemon, idle_seconds);
        figures->idle_syscalls = idle;
        printf("system calls of the idle daemon (4 tasks, no data) over %d s: %lld (perf stat, all threads)\n",
               idle_seconds, idle);
        const char* const devices[] = {"diag", "diag_mdm", "extdiag", "trace"};
        for (const char* device : devices)
            phone->control("chunk " + std::string(device) + " " + std::to_string(chunk_bytes(driver, device)));
        unsigned long long handed_before[4];
        for (int i = 0; i < 4; ++i) handed_before[i] = driver_stat(*phone, devices[i], "handed_bytes");
        phone->control("rate all 5000000");
        sleep(static_cast<unsigned>(drop_seconds));
        phone->control("rate all 0");
        unsigned long long dropped = 0, handed = 0;
        std::string each, each_handed;
        for (int i = 0; i < 4; ++i) {
            const unsigned long long lost =
                driver_stat(*phone, devices[i], "overruns") * chunk_bytes(driver, devices[i]);
            const unsigned long long read = driver_stat(*phone, devices[i], "handed_bytes") - handed_before[i];
            dropped += lost;
            handed += read;
            each += std::string(each.empty() ? "" : ", ") + devices[i] + " " + std::to_string(lost);
            each_handed += std::string(each_handed.empty() ? "" : ", ") + devices[i] + " " + std::to_string(read);
        }
        figures->dropped = dropped;
        figures->handed_mb_s = handed / 1e6 / drop_seconds;
        // A device nobody reads in memory-device mode produces nothing, so
        // drops alone would not show a task that never started.
        printf(
            "bytes dropped by the driver, four tasks offered 20 MB/s together for %d s: %llu (%s; the\n"
            "  chunks it found no room for); bytes read meanwhile: %llu (%s)\n",
            drop_seconds, dropped, each.c_str(), handed, each_handed.c_str());
        warn_if_gone(daemon, "idle and 20 MB/s windows");
        stop_ms(*phone);
    }
}

// One column a driver: its phone's figures, the reference readers' beside
// the daemon's.
void print_side_by_side(const std::vector<DriverFigures>& drivers, int idle_seconds, int drop_seconds) {
    printf("==== every driver side by side (each column from its own phone, in this run)\n%-44s", "");
    for (const DriverFigures& d : drivers) printf(" %20s", d.name.c_str());
    printf("\n");
    const auto row = [&](const std::string& label, const std::function<std::string(const DriverFigures&)>& cell) {
        printf("%-44s", label.c_str());
        for (const DriverFigures& d : drivers) printf(" %20s", cell(d).c_str());
        printf("\n");
    };
    const auto number = [](const char* format, double value) {
        char text[64];
        snprintf(text, sizeof text, format, value);
        return std::string(text);
    };
    for (size_t i = 0; i < 3; ++i) {
        const char* name = drivers[0].subjects[i].name;
        row(std::string(name) + ": MB/s", [&](const DriverFigures& d) { return number("%.1f", d.subjects[i].mb_s()); });
        row(std::string(name) + ": CPU s/GB",
            [&](const DriverFigures& d) { return number("%.2f", d.subjects[i].cpu_per_gb()); });
        // perf could not count, or nothing was read.
        row(std::string(name) + ": syscalls/MiB", [&](const DriverFigures& d) {
            const double per_mib = d.subjects[i].syscalls_per_mib();
            return per_mib < 0 ? std::string("-") : number("%.1f", per_mib);
        });
    }
    for (size_t i = 1; i < 3; ++i) {
        row(std::string("daemon / ") + drivers[0].subjects[i].name + ": MB/s, median", [&](const DriverFigures& d) {
            std::vector<double> rounds;
            const Subject &daemon = d.subjects[0], &reference = d.subjects[i];
            for (size_t r = 0; r < daemon.round_mb_s.size() && r < reference.round_mb_s.size(); ++r)
                rounds.push_back(ratio(daemon.round_mb_s[r], reference.round_mb_s[r]));
            return number("%.2f", median_of(rounds).median);
        });
        row(std::string("daemon / ") + drivers[0].subjects[i].name + ": CPU s/GB", [&](const DriverFigures& d) {
            return number("%.2f", ratio(d.subjects[0].cpu_per_gb(), d.subjects[i].cpu_per_gb()));
        });
    }
    row("reference readers switched by", [](const DriverFigures& d) { return d.subjects[1].switched; });
    row("-l, four tasks at full rate: median ms", [&](const DriverFigures& d) { return number("%.1f", d.status_ms); });
    row("-q, four tasks at full rate: median ms", [&](const DriverFigures& d) { return number("%.1f", d.stop_ms); });
    row("idle daemon's system calls over " + std::to_string(idle_seconds) + " s",
        [](const DriverFigures& d) { return std::to_string(d.idle_syscalls); });
    row("bytes dropped at 20 MB/s over " + std::to_string(drop_seconds) + " s",
        [](const DriverFigures& d) { return std::to_string(d.dropped); });
    row("MB/s read of the 20 MB/s offered then", [&](const DriverFigures& d) { return number("%.1f", d.handed_mb_s); });
}

}  // namespace

int main(int argc, char* argv[]) {
    // NOLINTNEXTLINE(cert-err34-c): a bad argument shows as 0 s in the figures
    const int load_seconds = argc > 1 ? atoi(argv[1]) : 15;
    // NOLINTNEXTLINE(cert-err34-c): a bad argument shows as 0 s in the figures
    const int idle_seconds = argc > 2 ? atoi(argv[2]) : 30;
    // NOLINTNEXTLINE(cert-err34-c): a bad argument shows as 0 s in the figures
    const int drop_seconds = argc > 3 ? atoi(argv[3]) : 30;
    std::vector<std::string> drivers;
    for (int i = 4; i < argc; ++i) {
        const std::string name = std::string(argv[i]) == "old" ? std::string() : std::string(argv[i]);
        if (!name.empty() && find_generation(name) == nullptr) {
            fprintf(stderr, "daemon_bench: no driver %s (old, or a generation: 2.6.35 ... 4.14)\n", argv[i]);
            return 2;
        }
        drivers.push_back(name);
    }
    if (drivers.empty()) drivers = {"", "2.6.35", "4.14"};
    std::string why;
    if (!phone_supported(&why)) {
        fprintf(stderr, "daemon_bench: %s\n", why.c_str());
        return 1;
    }
    std::string reader;
    if (!get_file(REFERENCE_READER, &reader)) {
        fprintf(stderr, "daemon_bench: cannot read %s\n", REFERENCE_READER);
        return 1;
    }
    (void)setvbuf(stdout, nullptr, _IOLBF, 0);
    std::vector<DriverFigures> figures(drivers.size());
    for (size_t i = 0; i < drivers.size(); ++i)
        run_driver(drivers[i], reader, load_seconds, idle_seconds, drop_seconds, &figures[i]);
    print_side_by_side(figures, idle_seconds, drop_seconds);
    return 0;
}
