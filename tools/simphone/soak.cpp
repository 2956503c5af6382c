// simphone_soak: the daemon under a long load on the simulated phone. All
// four tasks log at a high rate into small rotating files while status
// requests, storage remounts and device pauses arrive at random moments; then
// the surviving files are held byte for byte against the driver's journal,
// and the daemon's descriptors, memory, wake locks and stop are checked.
//
//   simphone_soak [seconds] [seed]   (default 600 s; SOAK_SEED sets the seed
//                                     too; the same seed repeats a run's
//                                     schedule; needs root)
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "mask_files.h"
#include "platform/fd_io.h"
#include "simphone.h"
#include "soak_check.h"

using simphone::DaemonTask;
using simphone::Device;
using simphone::say;

namespace {

constexpr int task_count = simphone::device_count;
const DaemonTask* const tasks = simphone::daemon_tasks;

// What each task's simulated modem sends, in the daemon's task order: 4.5
// MB/s in all. The driver journals every byte it hands out, so a 600 s run
// leaves about 2.7 GB in the phone's run directory. qxdm9k reads at most
// once every 10 ms, hence its large chunks.
struct Load {
    soak::Writes writes;  // how the daemon hands the task's chunks to its writer
    long long rate;       // bytes a second
    int chunk;            // bytes of each of its packets' chunks
};
const Load loads[task_count] = {
    {soak::Writes::batched, 2000000, 16384},
    {soak::Writes::batched, 1000000, 32768},
    {soak::Writes::per_chunk, 1000000, 8192},
    {soak::Writes::batched, 500000, 4096},
};

// What the daemon is told (RotateSizeMB, RotateCount) and what its writes
// are bounded by.
struct Limits {
    int rotate_size_mb;
    int rotate_count;
    size_t batch_limit;
    size_t read_limit;
    uint64_t ext_rotation_copy;
};
constexpr Limits limits = {1, 3, 65536, 32768, 8192};
constexpr uint64_t mebibyte = 1u << 20;
// The terminal's buffers hold far less; anything more was lost, not unread.
constexpr uint64_t trace_unread_limit = mebibyte;
constexpr long rss_slack_kib = 512;
constexpr int sample_every_ms = 2000;

// DebugLevel 2 gives the rotation and write traces the soak counts.
const char* const config =
    "StoragePath=EXTERNAL_STORAGE\n"
    "RotateSizeMB=1\n"
    "RotateCount=3\n"
    "DebugLevel=2\n"
    "qxdm7k:Mask=mask.cfg\nqxdm7k:NullMask=null.cfg\n"
    "qxdm9k:Mask=mask.cfg\nqxdm9k:NullMask=null.cfg\n"
    "qxdmExt:Mask=mask.cfg\nqxdmExt:NullMask=null.cfg\n"
    "tiTrace:Mask=trace.cfg\n";

// Per-mount flags only: sync and the like belong to the file system under
// /sdcard, which is the host's own. None of these makes the medium read-only.
const char* const remount_options[] = {
    "noatime", "relatime", "strictatime", "noatime,nodiratime", "relatime,noexec", "strictatime,exec", "nodev,noexec",
};

volatile sig_atomic_t interrupted = 0;
void on_interrupt(int) { interrupted = 1; }

std::string megabytes(uint64_t bytes) {
    char text[32];
    snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
    return text;
}

void sleep_ms(long ms) {
    struct timespec rest = {ms / 1000, (ms % 1000) * 1000000};
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR && interrupted == 0) {}
}

double seconds_since(uint64_t start_us) { return static_cast<double>(simphone::monotonic_us() - start_us) / 1e6; }

// ---- the daemon's resources, from the host ---------------------------------

std::vector<std::string> fd_targets(pid_t pid) {
    std::vector<std::string> targets;
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return targets;
    while (struct dirent* entry = readdir(d)) {
        if (entry->d_name[0] == '.') continue;
        char link[512];
        ssize_t n = readlink((dir + "/" + entry->d_name).c_str(), link, sizeof link - 1);
        targets.push_back(std::string(entry->d_name) + " -> " + std::string(link, n > 0 ? static_cast<size_t>(n) : 0));
    }
    closedir(d);
    std::sort(targets.begin(), targets.end());
    return targets;
}

long rss_kib(pid_t pid) {
    std::string status;
    if (!simphone::get_file("/proc/" + std::to_string(pid) + "/status", &status)) return -1;
    const size_t at = status.find("\nVmRSS:");
    // NOLINTNEXTLINE(cert-err34-c): the kernel's VmRSS line
    return at == std::string::npos ? -1 : atol(status.c_str() + at + 7);
}

struct Sample {
    double at_s = 0;
    int fds = -1;
    long rss_kib = -1;
};

// A log file, the wake-lock file or the status file is open only for a
// moment; the least of a few looks leaves what stays open.
Sample sample(pid_t pid, uint64_t start_us) {
    Sample s;
    s.at_s = seconds_since(start_us);
    for (int i = 0; i < 5; ++i) {
        const int n = static_cast<int>(fd_targets(pid).size());
        if (s.fds < 0 || n < s.fds) s.fds = n;
        if (i < 4) sleep_ms(20);
    }
    s.rss_kib = rss_kib(pid);
    return s;
}

uint64_t file_size(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

// ---- reading files and the journal without holding them --------------------

bool pread_all(int fd, uint64_t offset, char* out, size_t n) {
    while (n > 0) {
        ssize_t got = pread(fd, out, n, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        out += got;
        n -= static_cast<size_t>(got);
        offset += static_cast<uint64_t>(got);
    }
    return true;
}

soak::ReadAt path_reader(const std::string& path) {
    return [path](uint64_t offset, char* out, size_t n) {
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return false;
        const bool ok = pread_all(fd, offset, out, n);
        close(fd);
        return ok;
    };
}

struct StreamIndex {
    std::vector<soak::Span> chunks[simphone::device_count];
    uint64_t all_bytes = 0;  // every kind of chunk: what the journal holds
};

bool read_index(const std::string& run_dir, StreamIndex* index) {
    std::string raw;
    if (!simphone::get_file(run_dir + "/" + simphone::journal_index_name, &raw)) return false;
    const uint64_t data_size = file_size(run_dir + "/" + simphone::journal_data_name);
    for (size_t at = 0; at + simphone::journal_record_size <= raw.size(); at += simphone::journal_record_size) {
        const simphone::JournalRecord record =
            simphone::decode_journal_record(reinterpret_cast<const uint8_t*>(raw.data() + at));
        if (record.offset + record.length > data_size) break;
        index->all_bytes += record.length;
        if (record.kind == simphone::ChunkKind::stream) {
            index->chunks[static_cast<int>(record.device)].push_back({record.offset, record.length});
        }
    }
    return true;
}

// ---- the log files ---------------------------------------------------------

struct DmFile {
    std::string inside;  // path in the phone
    uint64_t size = 0;
    int rank = 0;  // 0 the current file, K for STEM.K.HHMMSS.dm
};

// The task's files oldest first (highest K first, the current file last);
// false with *why when they are not the files of one stem.
bool task_files(const simphone::Phone& phone, const std::vector<std::string>& all, const DaemonTask& task,
                std::vector<DmFile>* files, std::string* why) {
    std::string stem;
    for (const std::string& path : all) {
        const std::string name = path.substr(path.rfind('/') + 1);
        if (name.rfind(task.prefix, 0) != 0) continue;
        const size_t dot = name.find('.');
        DmFile file;
        file.inside = path;
        file.size = file_size(phone.host_path(path));
        const std::string rest = name.substr(dot);
        int k = 0, stamp = 0, used = 0;
        if (rest == ".dm") {
            file.rank = 0;
            // NOLINTNEXTLINE(cert-err34-c): the digits that rotation wrote
        } else if (sscanf(rest.c_str(), ".%d.%6d.dm%n", &k, &stamp, &used) == 2 &&
                   used == static_cast<int>(rest.size()) && k > 0) {
            file.rank = k;
        } else {
            *why = "unexpected file " + name;
            return false;
        }
        if (!stem.empty() && name.compare(0, dot, stem) != 0) {
            *why = "more than one stem: " + stem + " and " + name.substr(0, dot);
            return false;
        }
        stem = name.substr(0, dot);
        files->push_back(file);
    }
    std::sort(files->begin(), files->end(), [](const DmFile& a, const DmFile& b) {
        return (a.rank == 0 ? -1 : a.rank) > (b.rank == 0 ? -1 : b.rank);
    });
    if (files->empty() || files->back().rank != 0) {
        *why = "no current file";
        return false;
    }
    for (size_t i = 0; i + 1 < files->size(); ++i) {
        if ((*files)[i].rank != static_cast<int>(files->size() - 1 - i)) {
            *why = "rotated files are not numbered 1 to " + std::to_string(files->size() - 1);
            return false;
        }
    }
    return true;
}

// ---- what the phone recorded -------------------------------------------------

struct EventCounts {
    std::map<std::string, long> locks, unlocks;              // by wake-lock name
    std::map<std::string, long> opens, closes;               // by device
    std::map<std::string, std::vector<long long>> switches;  // ioctl 7 arguments, by device
};

// The event log holds two lines for every chunk; it is read a block at a time.
bool count_events(const std::string& path, EventCounts* counts, std::string* why) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *why = "cannot open " + path;
        return false;
    }
    std::string pending;
    char buffer[1 << 16];
    bool ok = true;
    for (;;) {
        ssize_t got = read_retrying(fd, buffer, sizeof buffer);
        if (got <= 0) break;
        pending.append(buffer, static_cast<size_t>(got));
        const size_t end = pending.rfind('\n');
        if (end == std::string::npos) continue;
        std::vector<simphone::Event> events;
        if (!simphone::parse_events(pending.substr(0, end + 1), &events, why)) {
            ok = false;
            break;
        }
        pending.erase(0, end + 1);
        for (const simphone::Event& e : events) {
            if (e.kind == "wake_lock") ++counts->locks[e.data];
            if (e.kind == "wake_unlock") ++counts->unlocks[e.data];
            if (e.kind == "open") ++counts->opens[e.device];
            if (e.kind == "close") ++counts->closes[e.device];
            if (e.kind == "ioctl" && e.a == 7) counts->switches[e.device].push_back(e.b);
        }
    }
    close(fd);
    return ok;
}

// Whether the phone lists /sdcard as a read-write mount.
bool sdcard_writable(const simphone::Phone& phone) {
    // The phone's own list: /proc/mounts through its root would name ours.
    std::string mounts;
    if (!simphone::get_file("/proc/" + std::to_string(phone.init_pid()) + "/mounts", &mounts)) return false;
    std::istringstream lines(mounts);
    bool writable = false;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string device, point, type, flags;
        fields >> device >> point >> type >> flags;
        // The last mount on the point is the one in use.
        if (point == "/sdcard") writable = flags == "rw" || flags.compare(0, 3, "rw,") == 0;
    }
    return writable;
}

long long stat_field(const std::string& stats, const char* key) {
    const size_t at = stats.find(std::string(" ") + key + "=");
    // NOLINTNEXTLINE(cert-err34-c): the driver's own statistics line
    return at == std::string::npos ? -1 : atoll(stats.c_str() + at + strlen(key) + 2);
}

struct Check {
    std::string what;
    bool ok;
    std::string detail;
};

// ---- the phases --------------------------------------------------------------

struct Plan {
    int seconds = 600;
    unsigned long long seed = 0;
};

// The arguments, or a seed of our own; false (with the usage said) when they
// do not make a soak.
bool parse_plan(int argc, char* argv[], Plan* plan) {
    // NOLINTNEXTLINE(cert-err34-c): a bad argument runs a 0 s soak, which fails visibly
    if (argc > 1) plan->seconds = atoi(argv[1]);
    const char* seed_env = getenv("SOAK_SEED");
    if (argc > 2) {
        plan->seed = strtoull(argv[2], nullptr, 10);
    } else if (seed_env != nullptr && *seed_env != '\0') {
        plan->seed = strtoull(seed_env, nullptr, 10);
    } else {
        plan->seed = static_cast<unsigned long long>(time(nullptr)) ^ (static_cast<unsigned long long>(getpid()) << 20);
    }
    if (plan->seconds < 5) {
        fprintf(stderr, "usage: simphone_soak [seconds >= 5] [seed]\n");
        return false;
    }
    return true;
}

// Says what the soak will offer; false when its journal would not fit.
bool room_for_journal(const Plan& plan) {
    long long total_rate = 0;
    for (const Load& load : loads) total_rate += load.rate;
    const uint64_t journal_estimate = static_cast<uint64_t>(total_rate) * static_cast<uint64_t>(plan.seconds);
    const std::string base = simphone::phone_base_dir();
    mkdir(base.c_str(), 0755);
    struct statvfs fs;
    const uint64_t free_bytes = statvfs(base.c_str(), &fs) == 0 ? static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize : 0;
    say("== soak: %d s, seed %llu (SOAK_SEED=%llu or a second argument repeats it)\n", plan.seconds, plan.seed,
        plan.seed);
    say("   offered %.1f MB/s in all:", static_cast<double>(total_rate) / 1e6);
    for (int i = 0; i < task_count; ++i) say(" %s %.1f", tasks[i].name, static_cast<double>(loads[i].rate) / 1e6);
    say("; RotateSizeMB %d, RotateCount %d\n", limits.rotate_size_mb, limits.rotate_count);
    say("   journal about %s in %s, %s free there\n", megabytes(journal_estimate).c_str(), base.c_str(),
        megabytes(free_bytes).c_str());
    if (journal_estimate > free_bytes / 2) {
        say("soak: not enough free space for the journal; run a shorter soak\n");
        return false;
    }
    return true;
}

// A phone with the masks, the configuration and the chunk sizes, and the
// daemon started on it with every device streaming; null (said why) when
// either does not come up.
std::unique_ptr<simphone::Phone> start_phone(pid_t* daemon, std::vector<Check>* checks) {
    std::string error;
    simphone::PhoneOptions options;
    // A terminal keeps no read boundaries, so which bytes a header drop takes
    // from the trace cannot be known outside; this kernel has no header.
    options.kernel_version = "2.6.32.9-perf";
    options.stream_header = 0;
    options.messages = true;
    std::unique_ptr<simphone::Phone> phone = simphone::Phone::start(options, &error);
    if (!phone) {
        say("soak: %s\n", error.c_str());
        return nullptr;
    }
    phone->write_file("/sdcard/mask.cfg", mask_bytes);
    phone->write_file("/sdcard/null.cfg", null_mask_bytes);
    phone->write_file("/sdcard/trace.cfg", "trace on\r\n");
    phone->write_config(config);
    for (int i = 0; i < task_count; ++i) {
        phone->control("chunk " + std::string(simphone::device_name(tasks[i].device)) + " " +
                       std::to_string(loads[i].chunk));
    }

    const simphone::RunResult started = phone->zarnorlith({});
    simphone::wait_until([&] { return phone->daemon_pids().size() == 1; }, 5000);
    const std::vector<pid_t> pids = phone->daemon_pids();
    if (!started.ok() || pids.size() != 1) {
        say("soak: the daemon did not start: %s\n", started.err.c_str());
        return nullptr;
    }
    *daemon = pids[0];
    for (int i = 0; i < task_count; ++i) {
        phone->control("rate " + std::string(simphone::device_name(tasks[i].device)) + " " +
                       std::to_string(loads[i].rate));
    }
    const bool all_logging = simphone::wait_until(
        [&] {
            const std::vector<std::string> files = phone->dm_files();
            for (int i = 0; i < task_count; ++i) {
                if (std::none_of(files.begin(), files.end(),
                                 [&](const std::string& f) { return simphone::is_task_file(f, tasks[i]); })) {
                    return false;
                }
            }
            return true;
        },
        10000);
    checks->push_back({"all four tasks log", all_logging, ""});
    return phone;
}

// What the schedule did, and what it saw of the daemon.
struct Run {
    uint64_t start_us = 0;
    std::vector<Sample> samples;
    Sample baseline;  // the first sample after the warm-up
    bool have_baseline = false;
    std::vector<std::string> baseline_fds;
    Sample last;  // at the end of the schedule
    std::vector<std::string> last_fds;
    double ran_s = 0;
    long status_requests = 0, status_bad = 0, remounts = 0, remount_bad = 0, pauses = 0, driver_bad = 0;
    double resume_at[task_count] = {-1, -1, -1, -1};  // when a paused device resumes; -1 when it runs
    std::vector<std::string> faults;                  // the first few, as they happen
};

void fault(Run* run, const std::string& text) {
    if (run->faults.size() < 10) run->faults.push_back(text);
    say("   %6.1f s  %s\n", seconds_since(run->start_us), text.c_str());
}

// -l must show every task logging, or idle while its device is paused.
void request_status(simphone::Phone& phone, Run* run) {
    ++run->status_requests;
    const simphone::RunResult status = phone.zarnorlith({"-l"}, 5000);
    std::istringstream lines(status.out);
    int count = 0;
    bool good = status.ok();
    for (std::string line; std::getline(lines, line); ++count) {
        // A paused device shows as idle; anything else is a fault.
        if (line.find(": logging to /sdcard/") == std::string::npos &&
            line.find(": no data for ") == std::string::npos) {
            good = false;
        }
    }
    if (!good || count != task_count) {
        ++run->status_bad;
        fault(run, "-l: " + status.out + status.err);
    }
}

void remount_storage(simphone::Phone& phone, std::mt19937_64& rng, Run* run) {
    ++run->remounts;
    const char* chosen = remount_options[rng() % (sizeof remount_options / sizeof *remount_options)];
    const simphone::RunResult mounted =
        phone.run({"/usr/bin/mount", "-o", std::string("remount,bind,") + chosen, "/sdcard"});
    if (!mounted.ok() || !sdcard_writable(phone)) {
        ++run->remount_bad;
        fault(run, std::string("remount ") + chosen + " failed: " + mounted.err);
    }
}

void pause_a_device(simphone::Phone& phone, std::mt19937_64& rng, double now, Run* run) {
    std::vector<int> running;
    for (int i = 0; i < task_count; ++i) {
        if (run->resume_at[i] < 0) running.push_back(i);
    }
    if (running.empty()) return;
    const int i = running[rng() % running.size()];
    ++run->pauses;
    if (!phone.control_ok(std::string("pause ") + simphone::device_name(tasks[i].device))) ++run->driver_bad;
    // Some pauses outlast the 5 s after which -l calls a task idle.
    run->resume_at[i] = now + std::uniform_real_distribution<double>(0.2, 6.5)(rng);
}

void resume_devices(simphone::Phone& phone, double now, Run* run) {
    for (int i = 0; i < task_count; ++i) {
        if (run->resume_at[i] >= 0 && now >= run->resume_at[i]) {
            if (!phone.control_ok(std::string("resume ") + simphone::device_name(tasks[i].device))) ++run->driver_bad;
            run->resume_at[i] = -1;
        }
    }
}

// The load for the planned time: samples of the daemon's resources, and at
// random moments a status request, a remount or a device pause.
void run_schedule(simphone::Phone& phone, pid_t daemon, const Plan& plan, Run* run) {
    const int seconds = plan.seconds;
    run->start_us = simphone::monotonic_us();
    const double warm_up_s = std::min(30.0, std::max(5.0, seconds / 10.0));
    std::mt19937_64 rng(plan.seed);
    auto uniform = [&](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); };
    double next_sample = 0, next_action = uniform(0.2, 2.0), next_report = 60;

    say("== running; a line every %s\n", seconds >= 120 ? "60 s" : "10 s");
    if (seconds < 120) next_report = 10;
    while (interrupted == 0) {
        const double now = seconds_since(run->start_us);
        if (now >= seconds) break;
        resume_devices(phone, now, run);
        if (now >= next_sample) {
            const Sample s = sample(daemon, run->start_us);
            run->samples.push_back(s);
            if (!run->have_baseline && s.at_s >= warm_up_s) {
                run->baseline = s;
                run->have_baseline = true;
                run->baseline_fds = fd_targets(daemon);
            }
            next_sample += sample_every_ms / 1000.0;
        }
        if (now >= next_report) {
            const uint64_t journal = file_size(phone.run_dir() + "/" + simphone::journal_data_name);
            const Sample& s = run->samples.back();
            say("   %4.0f s  journal %s (%.1f MB/s), %d fds, VmRSS %ld KiB; %ld -l, %ld remounts, %ld pauses\n", now,
                megabytes(journal).c_str(), static_cast<double>(journal) / 1e6 / now, s.fds, s.rss_kib,
                run->status_requests, run->remounts, run->pauses);
            next_report += seconds >= 120 ? 60 : 10;
        }
        if (now >= next_action) {
            const double pick = uniform(0, 1);
            if (pick < 0.4) {
                request_status(phone, run);
            } else if (pick < 0.7) {
                remount_storage(phone, rng, run);
            } else {
                pause_a_device(phone, rng, now, run);
            }
            next_action = seconds_since(run->start_us) + uniform(0.2, 2.0);
        }
        double wake = std::min({next_sample, next_action, static_cast<double>(seconds)});
        for (double at : run->resume_at) {
            if (at >= 0) wake = std::min(wake, at);
        }
        const double rest_ms = (wake - seconds_since(run->start_us)) * 1000;
        if (rest_ms > 0) sleep_ms(std::min(250L, static_cast<long>(rest_ms) + 1));
    }
    for (int i = 0; i < task_count; ++i) {
        if (run->resume_at[i] >= 0 &&
            !phone.control_ok(std::string("resume ") + simphone::device_name(tasks[i].device))) {
            ++run->driver_bad;
        }
    }
    run->last = sample(daemon, run->start_us);
    run->samples.push_back(run->last);
    run->last_fds = fd_targets(daemon);
    run->ran_s = seconds_since(run->start_us);
}

struct Stop {
    simphone::RunResult quit;
    bool ended = false;
    double stop_ms = 0;
    std::string held_locks;         // the driver's answer to "locks"
    std::string stats[task_count];  // the driver's statistics of each device
};

// -q while the devices still stream; then the driver is silenced, so that
// nothing more goes into the journal.
Stop stop_under_load(simphone::Phone& phone) {
    Stop stop;
    const uint64_t stop_start = simphone::monotonic_us();
    stop.quit = phone.zarnorlith({"-q"});
    stop.ended = simphone::wait_until([&] { return phone.daemon_pids().empty(); }, 15000);
    stop.stop_ms = static_cast<double>(simphone::monotonic_us() - stop_start) / 1000.0;
    // The trace terminal would take bytes that nobody reads any more.
    phone.control("pause all");
    phone.control("rate all 0");
    stop.held_locks = phone.control("locks");
    for (int i = 0; i < task_count; ++i)
        stop.stats[i] = phone.control(std::string("stats ") + simphone::device_name(tasks[i].device));
    sleep_ms(100);
    return stop;
}

// One task's line of the report.
struct Row {
    uint64_t offered = 0, chunks = 0, stored = 0, files = 0, rotated_away = 0, header = 0, unread = 0, twice = 0,
             captured = 0, expected = 0, writer = 0;
    long rotations = 0;
    long long overruns = 0;
    bool ok = false;
};

// The writer's own trace: how often it rotated the task's current file, and
// how many bytes it says it wrote.
void count_writes(const std::vector<simphone::LogRecord>& records, const DaemonTask& task, const std::string& current,
                  Row* row) {
    // Every rotation renames the current file.
    const std::string renamed = std::string(task.name) + ": rotate_file: [" + current + "] --> [";
    const std::string wrote = std::string(task.name) + ": write log file [";
    for (const simphone::LogRecord& record : records) {
        if (record.text.compare(0, renamed.size(), renamed) == 0) ++row->rotations;
        if (record.text.compare(0, wrote.size(), wrote) == 0) {
            const size_t ret = record.text.rfind("ret = ");
            if (ret != std::string::npos) row->writer += strtoull(record.text.c_str() + ret + 6, nullptr, 10);
        }
    }
}

// What the run left, read once after the stop.
struct Leftovers {
    StreamIndex index;
    soak::ReadAt journal;  // the journal's data file
    std::vector<simphone::LogRecord> records;
    std::vector<std::string> files;  // every .dm file in /sdcard
};

// Each task's surviving files against the journal, its writer's count and
// its rotations.
void check_capture(const simphone::Phone& phone, const Stop& stop, const Leftovers& left, int i, Row* row,
                   std::vector<Check>* checks) {
    const DaemonTask& task = tasks[i];
    const Load& load = loads[i];
    const std::vector<soak::Span>& chunks = left.index.chunks[static_cast<int>(task.device)];
    const soak::Expected expected = soak::expect_capture(chunks, phone.header_bytes(), load.writes, limits.batch_limit);
    row->offered = expected.offered;
    row->chunks = chunks.size();
    row->header = expected.header_dropped;
    row->overruns = stat_field(stop.stats[i], "overruns");
    std::vector<DmFile> files;
    std::string why;
    soak::TailCheck tail;
    if (!task_files(phone, left.files, task, &files, &why)) {
        tail.message = why;
    } else {
        std::vector<soak::LogFile> logs;
        for (const DmFile& file : files) {
            logs.push_back({file.inside, file.size, path_reader(phone.host_path(file.inside))});
            row->stored += file.size;
        }
        row->files = files.size();
        soak::RotationRule rule;
        rule.threshold = static_cast<uint64_t>(limits.rotate_size_mb) * mebibyte;
        rule.largest_write = load.writes == soak::Writes::batched ? limits.batch_limit : limits.read_limit;
        rule.copy_limit = task.device == Device::extdiag ? limits.ext_rotation_copy : 0;
        rule.files_start_at_buffers = task.device != Device::trace;
        tail =
            soak::check_tail(expected, left.journal, logs, rule, task.device == Device::trace ? trace_unread_limit : 0);
        count_writes(left.records, task, files.back().inside, row);
    }
    row->ok = tail.ok;
    row->rotated_away = tail.start;
    row->unread = expected.total - tail.end;
    row->twice = tail.duplicated;
    row->captured = tail.end - tail.start;
    row->expected = expected.total - row->unread;
    char detail[200];
    snprintf(detail, sizeof detail,
             "captured %llu + rotated away %llu = %llu; offered %llu - header %llu - unread %llu = %llu",
             static_cast<unsigned long long>(row->captured), static_cast<unsigned long long>(row->rotated_away),
             static_cast<unsigned long long>(row->captured) + row->rotated_away,
             static_cast<unsigned long long>(row->offered), static_cast<unsigned long long>(row->header),
             static_cast<unsigned long long>(row->unread), static_cast<unsigned long long>(row->expected));
    checks->push_back({std::string(task.name) + ": files are the exact tail of the capture", tail.ok,
                       tail.ok ? std::string(detail) : tail.message});
    if (tail.ok) {
        snprintf(detail, sizeof detail, "%llu", static_cast<unsigned long long>(row->writer));
        checks->push_back({std::string(task.name) + ": the writer's own byte count agrees",
                           row->writer == row->captured + row->rotated_away, detail});
        const long kept = std::min<long>(row->rotations, limits.rotate_count);
        snprintf(detail, sizeof detail, "%ld rotations, %ld rotated files kept", row->rotations,
                 static_cast<long>(row->files) - 1);
        checks->push_back({std::string(task.name) + ": rotated, and kept RotateCount files",
                           row->rotations > 0 && static_cast<long>(row->files) - 1 == kept, detail});
    }
    checks->push_back({std::string(task.name) + ": no driver overrun", row->overruns == 0, stop.stats[i]});
}

// What the resource checks found, for the report.
struct Resources {
    std::string fd_detail;
    long rss_peak = 0;
};

// Descriptors and memory after the warm-up.
Resources check_resources(const Run& run, std::vector<Check>* checks) {
    const Sample& baseline = run.baseline;
    const Sample& last = run.last;
    const bool alive = std::all_of(run.samples.begin(), run.samples.end(), [](const Sample& s) { return s.fds > 0; });
    checks->push_back({"the daemon ran until the stop", alive, alive ? "" : "it was gone at a sample"});

    // A descriptor kept open shows in every later sample; one above the
    // baseline in a single sample was a file that stayed open for the whole
    // look, such as a log file during a slow rotation.
    int fd_peak = baseline.fds, fd_run = 0, fd_longest_run = 0;
    Resources found;
    found.rss_peak = baseline.rss_kib;
    for (const Sample& s : run.samples) {
        if (s.at_s < baseline.at_s) continue;
        fd_peak = std::max(fd_peak, s.fds);
        found.rss_peak = std::max(found.rss_peak, s.rss_kib);
        fd_run = s.fds > baseline.fds ? fd_run + 1 : 0;
        fd_longest_run = std::max(fd_longest_run, fd_run);
    }
    char detail[256];
    snprintf(detail, sizeof detail, "%d at %.0f s, %d at the end, drift %d, peak %d, above %d in %d samples in a row",
             baseline.fds, baseline.at_s, last.fds, last.fds - baseline.fds, fd_peak, baseline.fds, fd_longest_run);
    found.fd_detail = detail;
    if (last.fds != baseline.fds) {
        for (const std::string& fd : run.last_fds) {
            if (std::find(run.baseline_fds.begin(), run.baseline_fds.end(), fd) == run.baseline_fds.end())
                found.fd_detail += "; new " + fd;
        }
    }
    checks->push_back(
        {"descriptors stable", run.have_baseline && last.fds <= baseline.fds && fd_longest_run < 2, found.fd_detail});
    snprintf(detail, sizeof detail, "%ld KiB at %.0f s, %ld KiB at the end, drift %+ld KiB, peak %ld KiB",
             baseline.rss_kib, baseline.at_s, last.rss_kib, last.rss_kib - baseline.rss_kib, found.rss_peak);
    checks->push_back({"resident memory stable",
                       run.have_baseline && last.rss_kib - baseline.rss_kib <= rss_slack_kib &&
                           found.rss_peak - baseline.rss_kib <= rss_slack_kib,
                       detail});
    return found;
}

// That the schedule's requests, remounts and pauses all went through.
void check_schedule(const Run& run, std::vector<Check>* checks) {
    char detail[256];
    snprintf(detail, sizeof detail, "%ld requests, %ld bad", run.status_requests, run.status_bad);
    checks->push_back({"-l answered with every task logging or idle", run.status_bad == 0, detail});
    snprintf(detail, sizeof detail, "%ld remounts, %ld failed", run.remounts, run.remount_bad);
    checks->push_back({"storage remounted, writable throughout", run.remount_bad == 0, detail});
    snprintf(detail, sizeof detail, "%ld pauses, %ld driver commands refused", run.pauses, run.driver_bad);
    checks->push_back({"device pauses and resumes", run.driver_bad == 0, detail});
}

// Wake locks, the stop, the log, and the devices left as they were found;
// returns the wake locks taken.
long check_stop(const simphone::Phone& phone, const Stop& stop, const std::vector<simphone::LogRecord>& records,
                std::vector<Check>* checks) {
    EventCounts events;
    std::string why;
    const bool counted = count_events(phone.run_dir() + "/" + simphone::events_name, &events, &why);
    long locks_taken = 0;
    bool balanced = counted;
    std::string lock_detail;
    for (int i = 0; i < task_count; ++i) {
        const DaemonTask& task = tasks[i];
        const long taken = events.locks[task.name], released = events.unlocks[task.name];
        locks_taken += taken;
        if (taken != released || taken == 0) balanced = false;
        lock_detail += std::string(lock_detail.empty() ? "" : ", ") + task.name + " " + std::to_string(taken) + "/" +
                       std::to_string(released);
    }
    checks->push_back(
        {"every wake lock released", balanced && stop.held_locks == "ok",
         lock_detail + " taken/released; driver holds: " + stop.held_locks + (counted ? "" : "; " + why)});

    bool end_logged = false;
    long errors = 0;
    std::string first_error;
    for (const simphone::LogRecord& record : records) {
        if (record.text == "daemon end.\n") end_logged = true;
        if (record.priority == 6 && errors++ == 0) first_error = record.text;
    }
    checks->push_back({"stopped by -q", stop.quit.ok() && stop.ended, stop.quit.err});
    checks->push_back({"\"daemon end.\" logged", end_logged, ""});
    checks->push_back({"no error logged", errors == 0, std::to_string(errors) + " " + first_error});
    checks->push_back({"no stop broadcast", phone.broadcasts().empty(), ""});
    for (const char* device : {"diag", "diag_mdm"}) {
        std::ostringstream args;
        for (long long arg : events.switches[device]) args << arg << " ";
        checks->push_back({std::string("ioctl 7 on ") + device + " to 2, then back to 1",
                           events.switches[device] == std::vector<long long>{2, 1}, args.str()});
    }
    for (const char* device : {"diag", "diag_mdm", "extdiag"}) {
        const long opens = events.opens[device], closes = events.closes[device];
        checks->push_back({std::string("opens = closes on ") + device, opens == closes && opens > 0,
                           std::to_string(opens) + " opens, " + std::to_string(closes) + " closes"});
    }
    return locks_taken;
}

// The table of the tasks and every check; true when all passed.
bool report(const Run& run, const Stop& stop, const StreamIndex& index, size_t records, long locks_taken,
            const Row rows[], const Resources& resources, const std::vector<Check>& checks) {
    say("== after %.0f s: stop took %.0f ms; journal %s; %zu log records; %ld wake locks taken\n", run.ran_s,
        stop.stop_ms, megabytes(index.all_bytes).c_str(), records, locks_taken);
    say("%-8s %12s %7s %11s %5s %12s %6s %6s %7s %9s %s\n", "task", "offered", "chunks", "in files", "files",
        "rotated away", "header", "unread", "twice", "rotations", "loss");
    uint64_t offered = 0, stored = 0;
    for (int i = 0; i < task_count; ++i) {
        const Row& r = rows[i];
        offered += r.offered;
        stored += r.stored;
        say("%-8s %12llu %7llu %11llu %5llu %12llu %6llu %6llu %7llu %9ld %s\n", tasks[i].name,
            static_cast<unsigned long long>(r.offered), static_cast<unsigned long long>(r.chunks),
            static_cast<unsigned long long>(r.stored), static_cast<unsigned long long>(r.files),
            static_cast<unsigned long long>(r.rotated_away), static_cast<unsigned long long>(r.header),
            static_cast<unsigned long long>(r.unread), static_cast<unsigned long long>(r.twice), r.rotations,
            r.ok ? "0" : "MISMATCH");
    }
    say("%-8s %12llu %7s %11llu   (offered %.2f MB/s over the run)\n", "all", static_cast<unsigned long long>(offered),
        "", static_cast<unsigned long long>(stored), static_cast<double>(offered) / 1e6 / run.ran_s);
    say("   descriptors: %s\n", resources.fd_detail.c_str());
    say("   VmRSS: %ld KiB after warm-up, %ld KiB at the end, drift %+ld KiB, peak %ld KiB (%zu samples)\n",
        run.baseline.rss_kib, run.last.rss_kib, run.last.rss_kib - run.baseline.rss_kib, resources.rss_peak,
        run.samples.size());
    bool all_ok = true;
    for (const Check& check : checks) {
        all_ok = all_ok && check.ok;
        say("   %s  %s%s%s\n", check.ok ? "ok  " : "FAIL", check.what.c_str(), check.detail.empty() ? "" : ": ",
            check.detail.c_str());
    }
    for (const std::string& text : run.faults) say("   fault: %s\n", text.c_str());
    return all_ok;
}

// The phone goes, and nothing of it stays behind.
bool tear_down(std::unique_ptr<simphone::Phone> phone) {
    const std::string run_dir = phone->run_dir();
    const pid_t sandbox = phone->sandbox_pid(), driver = phone->driver_pid();
    std::string error;
    const bool clean = phone->stop(&error);
    const bool gone = kill(sandbox, 0) != 0 && kill(driver, 0) != 0 && access(run_dir.c_str(), F_OK) != 0;
    say("   %s  phone torn down%s%s\n", clean && gone ? "ok  " : "FAIL", clean && gone ? "" : ": ", error.c_str());
    return clean && gone;
}

}  // namespace

int main(int argc, char* argv[]) {
    Plan plan;
    if (!parse_plan(argc, argv, &plan)) return 2;
    std::string error;
    if (!simphone::phone_supported(&error)) {
        say("soak: %s\n", error.c_str());
        return 1;
    }
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    if (!room_for_journal(plan)) return 1;

    std::vector<Check> checks;
    pid_t daemon = 0;
    std::unique_ptr<simphone::Phone> phone = start_phone(&daemon, &checks);
    if (!phone) return 1;
    Run run;
    run_schedule(*phone, daemon, plan, &run);
    const Stop stop = stop_under_load(*phone);

    Leftovers left;
    const bool indexed = read_index(phone->run_dir(), &left.index);
    checks.push_back({"journal index read", indexed, ""});
    const std::string data_path = phone->run_dir() + "/" + simphone::journal_data_name;
    const int journal_fd = open(data_path.c_str(), O_RDONLY | O_CLOEXEC);
    left.journal = [journal_fd](uint64_t offset, char* out, size_t n) {
        return journal_fd >= 0 && pread_all(journal_fd, offset, out, n);
    };
    left.records = phone->log_records();
    left.files = phone->dm_files();
    Row rows[task_count];
    for (int i = 0; i < task_count; ++i) check_capture(*phone, stop, left, i, &rows[i], &checks);
    if (journal_fd >= 0) close(journal_fd);
    const Resources resources = check_resources(run, &checks);
    check_schedule(run, &checks);
    const long locks_taken = check_stop(*phone, stop, left.records, &checks);
    checks.push_back({"ran the whole time", interrupted == 0, interrupted == 0 ? "" : "interrupted"});

    bool all_ok = report(run, stop, left.index, left.records.size(), locks_taken, rows, resources, checks);
    all_ok = tear_down(std::move(phone)) && all_ok;
    say("== soak %s (seed %llu)\n", all_ok ? "passed" : "FAILED", plan.seed);
    return all_ok ? 0 : 1;
}
