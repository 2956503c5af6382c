// Helpers of the logger suites: a catcher for the stop signal that the log
// writer sends to its own process, a body run in a forked child (for process
// limits, identities and mount namespaces), and directory listings.
#pragma once

#include <dirent.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "logger/task_table.h"

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
