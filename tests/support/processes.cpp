#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "test_support.h"

namespace {

long long now_ms() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

// Starts argv[0] with the given descriptors as its standard input, output
// and error; ours are close-on-exec, so it gets no others.
pid_t start_process(std::vector<std::string> words, int in, int out, int err) {
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(&word[0]);
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

}  // namespace

NamedChild::NamedChild(const char* name, const std::vector<std::string>& args) {
    // The kernel names a script's process after the script's file.
    std::string script = dir.file(name);
    write_file(script, "#!/bin/sh\necho ready\nread -r line\n");
    EXPECT_EQ(chmod(script.c_str(), 0755), 0);
    std::vector<std::string> words{script};
    words.insert(words.end(), args.begin(), args.end());
    int in[2], ready[2];
    EXPECT_EQ(pipe2(in, O_CLOEXEC), 0);
    EXPECT_EQ(pipe2(ready, O_CLOEXEC), 0);
    pid = start_process(words, in[0], ready[1], 2);
    close(in[0]);
    close(ready[1]);
    input = in[1];
    // Once the script runs, /proc shows its name and command line.
    char text[6] = {};
    EXPECT_EQ(read(ready[0], text, sizeof text), 6);
    close(ready[0]);
}

NamedChild::~NamedChild() {
    if (!reaped && pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    if (input >= 0) close(input);
}

int NamedChild::wait_for_end(int timeout_ms) {
    const long long deadline = now_ms() + timeout_ms;
    for (;;) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            reaped = true;
            return status;
        }
        if (now_ms() > deadline) return -1;
        usleep(1000);
    }
}

RunResult run_binary(const std::vector<std::string>& args) {
    RunResult result;
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe";
        return result;
    }
    std::vector<std::string> words{ORLITH_BINARY};
    words.insert(words.end(), args.begin(), args.end());
    const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    pid_t child = start_process(words, null, out[1], err[1]);
    if (null >= 0) close(null);
    close(out[1]);
    close(err[1]);
    // The forked daemon inherits the pipes; reading stops at the parent's
    // exit, not at the pipes' end.
    const long long deadline = now_ms() + 10000;
    int status = 0;
    bool exited = false;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    while (now_ms() < deadline) {
        if (!exited && waitpid(child, &status, WNOHANG) == child) exited = true;
        int ready = poll(fds, 2, exited ? 0 : 20);
        bool any = false;
        for (int i = 0; i < 2 && ready > 0; ++i) {
            if (!(fds[i].revents & POLLIN)) continue;
            char buffer[4096];
            ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(got));
                any = true;
            }
        }
        if (exited && !any) break;
    }
    if (!exited) {
        ADD_FAILURE() << "zarnorlith did not exit in time";
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
    } else {
        result.finished = true;
        if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
        if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    }
    close(out[0]);
    close(err[0]);
    return result;
}
