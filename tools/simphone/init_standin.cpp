// Starts one service the way Android's init does from Android 11 on, for the
// phone's tests: the service gets a process group of its own, and when the
// process init started ends, everything that service started is killed,
// whatever it did to get away (setsid, a double fork). Init does this with
// the service's cgroup; here the stand-in is the subreaper of all of it, so
// orphans of the service come to it and nowhere else.
//
//   simphone_init PROGRAM [ARG...]
//
// Prints "exit N" (or "signal N") for the started process and then
// "killed K", the number of processes killed after it ended; exits 0, or 2
// when the program cannot be started.
#include <dirent.h>
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace {

// The parent pid in a /proc/<pid>/stat line: the field after the state,
// which follows the command name's closing parenthesis.
pid_t parent_of(const char* pid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%s/stat", pid);
    FILE* file = fopen(path, "re");
    if (file == nullptr) return -1;
    char line[512] = {};
    const bool got = fgets(line, sizeof line, file) != nullptr;
    (void)fclose(file);
    // ") S 1234 ...": the state, then the parent.
    const char* close_paren = got ? strrchr(line, ')') : nullptr;
    if (close_paren == nullptr || close_paren[1] != ' ' || close_paren[2] == '\0' || close_paren[3] != ' ') return -1;
    if (close_paren[2] == 'Z') return -1;
    char* end = nullptr;
    const long parent = strtol(close_paren + 4, &end, 10);
    return end == close_paren + 4 ? -1 : static_cast<pid_t>(parent);
}

// Kills every living child of ours (the service's orphans come to us) and
// reaps them all; returns how many were killed.
int kill_orphans() {
    int killed = 0;
    for (;;) {
        DIR* proc = opendir("/proc");
        if (proc == nullptr) break;
        while (struct dirent* entry = readdir(proc)) {
            if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
            if (parent_of(entry->d_name) != getpid()) continue;
            if (kill(static_cast<pid_t>(strtol(entry->d_name, nullptr, 10)), SIGKILL) == 0) ++killed;
        }
        closedir(proc);
        // Whatever was killed is reaped here; a child that is still on its
        // way to us shows up in the next round.
        int status;
        pid_t reaped;
        while ((reaped = waitpid(-1, &status, WNOHANG)) > 0) {}
        if (reaped < 0 && errno == ECHILD) break;
        usleep(10000);
    }
    return killed;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 2) {
        fprintf(stderr, "usage: simphone_init PROGRAM [ARG...]\n");
        return 2;
    }
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
        perror("simphone_init: PR_SET_CHILD_SUBREAPER");
        return 2;
    }
    const pid_t service = fork();
    if (service < 0) {
        perror("simphone_init: fork");
        return 2;
    }
    if (service == 0) {
        setpgid(0, 0);
        execv(argv[1], argv + 1);
        _exit(127);
    }
    setpgid(service, service);
    int status = 0;
    while (waitpid(service, &status, 0) < 0 && errno == EINTR) {}
    if (WIFEXITED(status)) {
        printf("exit %d\n", WEXITSTATUS(status));
    } else {
        printf("signal %d\n", WTERMSIG(status));
    }
    // Every process of the service is ours now, in its group or not.
    printf("killed %d\n", kill_orphans());
    return 0;
}
