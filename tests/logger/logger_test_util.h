// Helpers of the logger suites: a catcher for the stop signal that the log
// writer sends to its own process, a body run in a forked child (for process
// limits, identities and mount namespaces), directory listings, and for the
// native cases a private mount namespace and a fake `am`.
#pragma once

#include <dirent.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "log_capture.h"
#include "logger/log_writer.h"
#include "logger/task_table.h"
#include "test_support.h"

inline volatile sig_atomic_t caught_sigterms = 0;
inline void count_sigterm(int) { caught_sigterms = caught_sigterms + 1; }

// Points own_pid at this process and counts the SIGTERMs it receives instead
// of dying of them.
struct SigtermCatcher {
    struct sigaction previous {};
    SigtermCatcher() {
        caught_sigterms = 0;
        struct sigaction action {};
        action.sa_handler = count_sigterm;
        sigemptyset(&action.sa_mask);
        sigaction(SIGTERM, &action, &previous);
        runtime_state.own_pid = getpid();
    }
    ~SigtermCatcher() { sigaction(SIGTERM, &previous, nullptr); }
    // Signals may be handed over late under the thread sanitizer.
    int count_after_settling() const {
        for (int i = 0; i < 100 && caught_sigterms == 0; ++i) usleep(1000);
        return caught_sigterms;
    }
};

// Runs body in a forked child and returns its result (the exit status), or
// 128 + the signal that ended it. The body reports through its result and
// files, since gtest's checks in a child are lost.
inline int run_in_child(const std::function<int()>& body) {
    pid_t child = fork();
    if (child == 0) _exit(body());
    if (child < 0) return -1;
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {}
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

// The names in a directory, sorted, without "." and "..".
inline std::vector<std::string> list_dir(const std::string& path) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(path.c_str())) {
        while (const struct dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// In the child: from here on, mounts are seen by this process only.
inline bool enter_private_mounts() {
    return unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

// An `am` first on the PATH that appends its arguments to am.out and lists
// the descriptors it inherited in am.fds (one readlink target a line).
struct FakeAm {
    std::string bin;
    std::string out;
    std::string fds;
    ScopedEnv path;
    explicit FakeAm(const TempDir& dir)
        : bin(dir.file("bin")),
          out(dir.file("am.out")),
          fds(dir.file("am.fds")),
          path("PATH", (dir.file("bin") + ":" + (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin")).c_str()) {
        mkdir(bin.c_str(), 0755);
        write_file(bin + "/am",
                   "#!/bin/sh\n"
                   "printf '%s\\n' \"$*\" >> '" +
                       out +
                       "'\n"
                       "for fd in /proc/$$/fd/*; do readlink \"$fd\"; done > '" +
                       fds + "'\n");
        chmod((bin + "/am").c_str(), 0755);
    }
    std::string calls() const { return read_file(out); }
};

// What FakeAm records for a stop notification, but for the error number.
inline const std::string stop_broadcast =
    "broadcast -a com.zarn.android.orlith.ORLITH.DAEMON.STOP -n com.zarn.android.orlith/.ORLITH --ei ERRNO ";

inline const std::string stem_name = "qxdm_7k_20130405_093015_007";

// qxdm7k's log writer on a log root of its own, its current file named
// after stem_name; the SIGTERMs it sends its own process are counted.
struct WriterTest : RecordsTest {
    WriterTest() : RecordsTest(2) {
        mkdir(root.c_str(), 0755);
        runtime_state.log_root = root.c_str();
        task->log_path = strdup(current.c_str());
    }
    int write(const std::string& data) { return write_log_file(task, data.data(), static_cast<int>(data.size())); }
    SigtermCatcher sigterm;
    std::string root = dir.file("logs");
    std::string stem = root + "/" + stem_name;
    std::string current = stem + ".dm";
    TaskEntry* task = &task_table[0];
};
