// Fault matrix, start-up part: signals that reach the daemon while it is
// still starting, the session it was started from ending under it, and
// control commands that run beside it. The rows join the table that
// daemon_fault_test.cpp prints.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <thread>

#include "fault_fixture.h"

using namespace simphone;
using namespace fault;

namespace {

const std::string daemon_end = "daemon end.\n";
const std::string no_signal_blocked = "SigBlk:\t0000000000000000\n";
// Apart in a burst: its 20 rounds outlast the daemon's start-up on the
// simulated phone, which takes about a millisecond.
constexpr uint64_t burst_step_us = 100;

// A shell line that writes the shell's own blocked signals to a file, with
// builtins only: while a shell waits for a child it may block signals of its
// own, so a command such as grep would see those.
std::string mask_recorder(const std::string& file) {
    return "while read -r line; do case $line in SigBlk*) echo \"$line\" > " + file +
           ";; esac; done < /proc/$$/status\n";
}

// One line of /proc/<pid>/stat: the name and the parent; false for a process
// that is gone or has ended (a zombie).
bool process_of(pid_t pid, std::string* name, pid_t* parent) {
    std::string stat;
    if (!get_file("/proc/" + std::to_string(pid) + "/stat", &stat)) return false;
    const size_t open = stat.find('('), close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close + 4 > stat.size()) return false;
    if (stat[close + 2] == 'Z') return false;
    *name = stat.substr(open + 1, close - open - 1);
    // NOLINTNEXTLINE(cert-err34-c): digits the kernel wrote
    *parent = static_cast<pid_t>(atoi(stat.c_str() + close + 4));
    return true;
}

// Whether a process was started with this argument.
bool started_with(pid_t pid, const std::string& argument) {
    std::string cmdline;
    if (!get_file("/proc/" + std::to_string(pid) + "/cmdline", &cmdline)) return false;
    const std::string nul(1, '\0');
    return (nul + cmdline).find(nul + argument + nul) != std::string::npos;
}

// The children that the main thread of a process forked, with that name.
std::vector<pid_t> children_named(pid_t pid, const std::string& name) {
    const std::string dir = "/proc/" + std::to_string(pid);
    std::string list, comm;
    std::vector<pid_t> found;
    if (!get_file(dir + "/task/" + std::to_string(pid) + "/children", &list)) return found;
    for (size_t at = 0; at < list.size();) {
        // NOLINTNEXTLINE(cert-err34-c): digits the kernel wrote
        const pid_t child = static_cast<pid_t>(atoi(list.c_str() + at));
        if (child > 0 && get_file("/proc/" + std::to_string(child) + "/comm", &comm) && comm == name + "\n")
            found.push_back(child);
        const size_t blank = list.find(' ', at);
        at = blank == std::string::npos ? list.size() : blank + 1;
    }
    return found;
}

std::string pid_namespace(pid_t pid) {
    char link[128];
    const ssize_t n = readlink(("/proc/" + std::to_string(pid) + "/ns/pid").c_str(), link, sizeof link);
    return n > 0 ? std::string(link, static_cast<size_t>(n)) : std::string();
}

// The pid a process has inside the phone (the last field of NSpid).
std::string inside_pid(pid_t pid) {
    std::string status;
    get_file("/proc/" + std::to_string(pid) + "/status", &status);
    const size_t at = status.find("NSpid:");
    if (at == std::string::npos) return "?";
    const std::string line = status.substr(at, status.find('\n', at) - at);
    return line.substr(line.find_last_of(" \t") + 1);
}

class FaultStartup : public Fault {
protected:
    struct Burst {
        pid_t pid = 0;
        int sent = 0;
    };
    // The first process named zarnorlith in this phone, other than except,
    // whose parent is (parent_named) or is not (!parent_named) so called.
    pid_t find_zarnorlith(const std::string& parent, bool parent_named, pid_t except = 0) const {
        const std::string phone_ns = pid_namespace(phone->init_pid());
        DIR* proc = opendir("/proc");
        pid_t found = 0;
        while (struct dirent* entry = proc != nullptr && found == 0 ? readdir(proc) : nullptr) {
            // NOLINTNEXTLINE(cert-err34-c): a /proc name that is no number reads 0, no process
            const pid_t pid = static_cast<pid_t>(atoi(entry->d_name));
            std::string name, parent_name;
            pid_t parent_pid = 0, ignored = 0;
            if (pid <= 0 || pid == except || !process_of(pid, &name, &parent_pid) || name != "zarnorlith") continue;
            if (pid_namespace(pid) != phone_ns || !process_of(parent_pid, &parent_name, &ignored)) continue;
            if ((parent_name == parent) == parent_named) found = pid;
        }
        if (proc != nullptr) closedir(proc);
        return found;
    }
    // Starts the daemon while another thread watches for the process it
    // forks, and sends that the signals, round after round, from delay_us
    // after it shows: the burst lands on the daemon's start-up. The watch
    // follows the chain of children from this process: nsenter, the
    // starting zarnorlith, the forked one; once the start has ended, the
    // forked one is the zarnorlith in the phone whose parent is no nsenter.
    Burst start_under_burst(const std::vector<int>& signals, int rounds, int delay_us) {
        Burst burst;
        std::atomic<bool> start_ended{false};
        std::thread watcher([&] {
            const pid_t self = getpid();
            const uint64_t deadline = monotonic_us() + 5000000u;
            while (burst.pid == 0 && monotonic_us() < deadline) {
                for (pid_t runner : children_named(self, "nsenter")) {
                    for (pid_t starter : children_named(runner, "zarnorlith")) {
                        // The first child is the daemon: a sanitizer's leak
                        // check at the starter's exit clones a helper of the
                        // same name after it.
                        const std::vector<pid_t> forked = children_named(starter, "zarnorlith");
                        if (!forked.empty()) burst.pid = forked.front();
                    }
                }
                if (burst.pid == 0 && start_ended) burst.pid = find_zarnorlith("nsenter", false);
            }
            const uint64_t first = monotonic_us() + static_cast<uint64_t>(delay_us);
            for (int round = 0; burst.pid != 0 && round < rounds; ++round) {
                // Spun rather than slept: a sleep is far coarser than the
                // windows of a start-up.
                while (monotonic_us() < first + round * burst_step_us) {}
                for (int number : signals) burst.sent += kill(burst.pid, number) == 0 ? 1 : 0;
            }
        });
        RunResult started = phone->zarnorlith({});
        start_ended = true;
        watcher.join();
        EXPECT_TRUE(started.ok()) << started.err;
        EXPECT_NE(burst.pid, 0) << "the daemon's process never showed";
        return burst;
    }
    // Every one of runs ended in order: its masks, one switch back, and
    // "daemon end.".
    void check_orderly_ends(Row& row, int runs) {
        std::vector<long long> expected;
        for (int i = 0; i < runs; ++i) expected.insert(expected.end(), {2, 1});
        EXPECT_EQ(count_logged(daemon_end), runs);
        EXPECT_EQ(mode_switches("diag"), expected);
        // The mask's two packets and the null mask, each run.
        EXPECT_EQ(phone->events("request", "diag").size(), 3u * runs);
        EXPECT_TRUE(no_wake_lock_held());
        row.observe("'daemon end.' " + std::to_string(count_logged(daemon_end)) + "x, requests " +
                    std::to_string(phone->events("request", "diag").size()) +
                    ", ioctl 7: " + joined(mode_switches("diag")));
    }
    // Whether a run ended by itself in order, was killed, or runs on (and
    // is then stopped with -q).
    std::string outcome_of_run(int ends_before) {
        if (!daemon_gone(5000)) {
            stop_daemon();
            return "ran on";
        }
        return count_logged(daemon_end) > ends_before ? "orderly" : "killed";
    }
    // Every run must end in order; how many ended which way goes into the
    // row.
    void count_outcome(const std::string& outcome, int run) {
        EXPECT_EQ(outcome, "orderly") << "run " << run;
        ++outcomes[outcome];
    }
    void tally(Row& row) const {
        std::string text;
        for (const auto& [outcome, count] : outcomes)
            text += (text.empty() ? "" : ", ") + outcome + " " + std::to_string(count);
        row.observe(text);
    }
    std::map<std::string, int> outcomes;
};

TEST_F(FaultStartup, StopBurstRightAtTheStartEndsTheDaemonInOrder) {
    Row row("SIGTERM burst at start-up (16 starts, up to 20 SIGTERMs each, the first 0 to 0.7 ms after the fork)",
            "every start ends in order by itself: masks, null mask, ioctl 7 back to 1, 'daemon end.'");
    start_diag(400000);
    if (HasFatalFailure() || IsSkipped()) return;
    constexpr int runs = 16;
    int sent = 0;
    for (int run = 0; run < runs; ++run) {
        const int ends_before = count_logged(daemon_end);
        // Each phase of the start-up gets the first signal in some run.
        sent += start_under_burst({SIGTERM}, 20, run % 8 * 100).sent;
        count_outcome(outcome_of_run(ends_before), run);
    }
    row.observe(std::to_string(sent) + " sent");
    tally(row);
    check_orderly_ends(row, runs);
}

TEST_F(FaultStartup, StatusBurstRightAtTheStartIsAnsweredOnceTheTasksRun) {
    Row row("SIGUSR2 burst at start-up (10 starts, 20 SIGUSR2s each), then -q",
            "the daemon lives, logs, writes the status file once its tasks run; -q ends it in order");
    start_diag(400000);
    if (HasFatalFailure() || IsSkipped()) return;
    constexpr int runs = 10;
    const std::string status_path = phone->host_path(phone->data_dir() + "/.orlith.stat");
    int answered = 0;
    for (int run = 0; run < runs; ++run) {
        unlink(status_path.c_str());
        const size_t files = phone->dm_files().size();
        start_under_burst({SIGUSR2}, 20, 0);
        const bool logging = wait_until([&] { return phone->dm_files().size() == files + 1; }, 5000);
        const bool alive = phone->daemon_pids().size() == 1;
        EXPECT_TRUE(logging && alive) << "run " << run;
        std::string report;
        if (wait_until([&] { return phone->status_file(&report) && report.size() >= 3; }, 2000)) ++answered;
        EXPECT_EQ(report.substr(report.size() < 3 ? 0 : report.size() - 3), "\n--") << "run " << run;
        const int ends_before = count_logged(daemon_end);
        if (alive) {
            EXPECT_GE(stop_daemon(), 0);
        }
        count_outcome(alive ? outcome_of_run(ends_before) : "killed by the burst", run);
    }
    row.observe(std::to_string(answered) + " of " + std::to_string(runs) + " answered");
    tally(row);
    check_orderly_ends(row, runs);
}

TEST_F(FaultStartup, SignalsDuringTheManufacturingWaitAreHeldUntilTheTasksRun) {
    LEGACY_ONLY("manufacturing boot to wait in");
    Row row("SIGUSR2 then SIGTERM while the manufacturing boot waits for the modem",
            "the daemon lives through the wait, answers the status request, then stops in order; the mount "
            "program starts with no signal blocked");
    PhoneOptions options = diag_only();
    options.boot_mode = "mfgkernel";
    options.radioflag = "8000000";
    options.smd0 = Node::delayed;
    options.smd0_ready_ms = 600000;
    start_phone(options);
    if (HasFatalFailure() || IsSkipped()) return;
    // The card's content, the masks beside it: the daemon finds it there
    // once it has mounted it.
    ASSERT_TRUE(phone->write_file("/sdcard/orlith.conf", masks_7k));
    std::string mount_program;
    ASSERT_TRUE(phone->read_file("/.simphone/mount", &mount_program));
    const size_t first_line = mount_program.find('\n') + 1;
    ASSERT_TRUE(phone->write_file(
        "/.simphone/mount",
        mount_program.substr(0, first_line) + mask_recorder("/.simphone/mount.mask") + mount_program.substr(first_line),
        0755));
    control("node smd0 after 2000");
    const pid_t pid = start_daemon();
    ASSERT_TRUE(wait_until([&] { return logged("modem (/dev/smd0) is not ready"); }, 5000));
    for (int i = 0; i < 20; ++i) kill(pid, SIGUSR2);
    usleep(200000);
    const bool survived_status = phone->daemon_pids().size() == 1;
    EXPECT_TRUE(survived_status) << "a status request during the start-up ended the daemon";
    row.observe(survived_status ? "lived through 20 SIGUSR2" : "KILLED by SIGUSR2");
    for (int i = 0; i < 5; ++i) kill(pid, SIGTERM);
    const bool ended = daemon_gone(10000);
    EXPECT_TRUE(ended);
    EXPECT_TRUE(logged("modem (/dev/smd0) is ready\n"));
    EXPECT_EQ(count_logged(daemon_end), 1);
    EXPECT_EQ(mode_switches("diag"), (std::vector<long long>{2, 1}));
    EXPECT_EQ(phone->events("request", "diag").size(), 3u);
    std::string report;
    EXPECT_TRUE(phone->status_file(&report));
    EXPECT_NE(report.find("/dev/diag: "), std::string::npos) << report;
    row.observe(std::string(ended ? "ended" : "ran on") + ", 'daemon end.' " +
                std::to_string(count_logged(daemon_end)) + "x, ioctl 7: " + joined(mode_switches("diag")) +
                ", status file " + (report.empty() ? "none" : "written"));
    std::string mount_mask;
    EXPECT_TRUE(phone->read_file("/.simphone/mount.mask", &mount_mask));
    EXPECT_EQ(mount_mask, no_signal_blocked);
    row.observe("mount program " +
                (mount_mask.empty() ? std::string("not run") : mount_mask.substr(0, mount_mask.find('\n'))));
}

TEST_F(FaultStartup, DaemonOutlivesTheTerminalSessionItWasStartedFrom) {
    Row row("started from a terminal whose session then ends (script -c zarnorlith)",
            "the daemon lives on after the hang-up, echoes no more ('disable stdio.'), -q ends it in order");
    if (access("/usr/bin/script", X_OK) != 0) GTEST_SKIP() << "needs script (util-linux)";
    start_diag(400000);
    if (HasFatalFailure() || IsSkipped()) return;
    // script runs the command as the leader of a new session on a terminal
    // of its own, and closes that terminal once the command has ended.
    RunResult session = phone->run({"/usr/bin/script", "-qec", phone->profile().binary, "/dev/null"});
    ASSERT_TRUE(session.ok()) << session.err;
    EXPECT_NE(session.out.find("D/ORLITH:zarnorlith("), std::string::npos) << "no echo on the terminal";
    wait_until([&] { return phone->daemon_pids().size() == 1; }, 2000);
    usleep(300000);
    const bool alive = phone->daemon_pids().size() == 1;
    EXPECT_TRUE(alive) << "the daemon ended with the session";
    row.observe(alive ? "alive 300 ms after the session ended" : "DIED with the session");
    if (!alive) return;
    EXPECT_TRUE(wait_until([&] { return phone->dm_files().size() == 1; }, 5000));
    EXPECT_GE(stop_daemon(), 0);
    EXPECT_TRUE(logged("disable stdio.\n"));
    row.observe(logged("disable stdio.\n") ? "'disable stdio.' logged" : "no 'disable stdio.'");
    check_orderly_ends(row, 1);
}

TEST_F(FaultStartup, ControlCommandBesideTheDaemonIsNotTakenForIt) {
    Row row("a -l held up while the daemon stops and a new one starts",
            "-p never names the -l, the start is not refused, -q stops the daemon and leaves the -l");
    start_diag(400000);
    if (HasFatalFailure() || IsSkipped()) return;
    const pid_t first = start_daemon();
    // Until the daemon has claimed its place a -l finds none and ends at once.
    ASSERT_TRUE(wait_until([&] { return phone->zarnorlith({"-p"}).out != "0\n"; }, 5000));
    // A daemon that cannot answer keeps the -l waiting for its file, and the
    // -l is then held there.
    ASSERT_EQ(kill(first, SIGSTOP), 0);
    RunResult listing;
    std::thread list_command([&] { listing = phone->zarnorlith({"-l"}, 30000); });
    pid_t list_pid = 0;
    wait_until(
        [&] {
            // The daemon's starter may not have ended yet, and is no -l.
            list_pid = find_zarnorlith("nsenter", true);
            return list_pid != 0 && started_with(list_pid, "-l") && kill(list_pid, SIGSTOP) == 0;
        },
        5000);
    kill(first, SIGCONT);
    EXPECT_NE(list_pid, 0) << "the -l never showed";
    if (list_pid != 0) {
        EXPECT_TRUE(phone->zarnorlith({"-q"}).ok());
        EXPECT_TRUE(wait_until([&] { return phone->daemon_pids() == std::vector<pid_t>{list_pid}; }, 5000));
        const std::string alone = phone->zarnorlith({"-p"}).out;
        EXPECT_EQ(alone, "0\n") << "the -l is " << inside_pid(list_pid);
        RunResult second = phone->zarnorlith({});
        EXPECT_TRUE(second.ok()) << "start refused: " << second.err;
        pid_t daemon = 0;
        wait_until(
            [&] {
                daemon = find_zarnorlith("nsenter", false, list_pid);
                return daemon != 0;
            },
            5000);
        const std::string found = phone->zarnorlith({"-p"}).out;
        EXPECT_EQ(found, inside_pid(daemon) + "\n");
        row.observe("-p with only the -l: " + alone.substr(0, alone.size() - 1) + ", start " +
                    (second.ok() ? "accepted" : "REFUSED") + ", -p then: " + found.substr(0, found.size() - 1) +
                    " (daemon " + inside_pid(daemon) + ", -l " + inside_pid(list_pid) + ")");
        EXPECT_TRUE(phone->zarnorlith({"-q"}).ok());
        EXPECT_TRUE(wait_until([&] { return phone->daemon_pids() == std::vector<pid_t>{list_pid}; }, 5000))
            << "-q did not stop the daemon";
    }
    // nsenter held itself when its child was held; it lets the child go on.
    std::string name;
    pid_t nsenter = 0;
    if (list_pid != 0 && process_of(list_pid, &name, &nsenter)) kill(nsenter, SIGCONT);
    if (list_pid != 0) kill(list_pid, SIGCONT);
    list_command.join();
    EXPECT_TRUE(listing.ok()) << "the -l was stopped in its place";
    row.observe(std::string("-l ") + (listing.ok() ? "ended by itself" : "ENDED BY A SIGNAL"));
    check_orderly_ends(row, 2);
}

}  // namespace
