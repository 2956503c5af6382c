#include "process.h"

#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

#include "platform/fd_io.h"
#include "simphone.h"

namespace simphone {

namespace {

int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
    (void)remove(path);
    return 0;
}

int open_pidfd(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

}  // namespace

bool put_file(const std::string& path, const std::string& content, mode_t mode) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) return false;
    size_t written = 0;
    bool ok = write_all(fd, content.data(), content.size(), &written) == 0;
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

void remove_tree(const std::string& path) { nftw(path.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT); }

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
        ssize_t got = read_retrying(fd, buffer, sizeof buffer);
        if (got <= 0) return false;
        pending->append(buffer, static_cast<size_t>(got));
    }
}

}  // namespace simphone
