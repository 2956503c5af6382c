// simphone_driver: the simulated diag driver. It serves the diag devices, the
// wake-lock files and the modem nodes as FUSE files (driver_fuse.h), runs the
// modems' streams (stream_engine.h), feeds the trace terminal through a pty,
// records what it hands out and what is done to it, and takes its orders
// line by line on standard input (driver_control.h). Its modems answer diag
// requests as a modem does and honour the log masks written to them
// (answer_request in protocol.h).
//
// Usage: simphone_driver [--driver GENERATION] <mountpoint> <run-dir>
// GENERATION names the kernel whose diag driver it is (generation.h);
// without it, the old driver of [type word][frames] reads.
// Prints "ready <pty slave path>" once the files are served. Ends, unmounting,
// at the end of standard input, on "quit", or on SIGTERM, SIGINT or SIGHUP.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <string>

#include "driver_control.h"
#include "driver_fuse.h"
#include "platform/fd_io.h"
#include "stream_engine.h"

namespace {

using namespace simphone;

int open_output(const std::string& path) {
    return open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
}

bool open_records(DriverState& state, const std::string& run_dir) {
    Records& r = state.records;
    r.journal_index_fd = open_output(run_dir + "/" + journal_index_name);
    r.journal_data_fd = open_output(run_dir + "/" + journal_data_name);
    r.events_fd = open_output(run_dir + "/" + events_name);
    state.wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return r.journal_index_fd >= 0 && r.journal_data_fd >= 0 && r.events_fd >= 0 && state.wake_fd >= 0;
}

bool open_pty(DriverState& state) {
    state.pty_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (state.pty_master < 0 || grantpt(state.pty_master) != 0 || unlockpt(state.pty_master) != 0) return false;
    // NOLINTNEXTLINE(concurrency-mt-unsafe): before the driver starts its threads
    const char* slave = ptsname(state.pty_master);
    // Holding the slave open keeps the master from seeing a hang-up whenever
    // the daemon closes its end.
    state.pty_slave = slave != nullptr ? open(slave, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    return state.pty_slave >= 0;
}

// Answers the orders on standard input until its end, "quit" or a stop
// signal.
void take_orders(DriverState& state, int signals) {
    std::string pending;
    bool quit = false;
    while (!quit) {
        struct pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {signals, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents & POLLIN) return;
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            char buffer[4096];
            ssize_t got = read_retrying(STDIN_FILENO, buffer, sizeof buffer);
            if (got <= 0) return;
            pending.append(buffer, static_cast<size_t>(got));
            size_t end;
            while (!quit && (end = pending.find('\n')) != std::string::npos) {
                std::string line = pending.substr(0, end);
                pending.erase(0, end + 1);
                std::string reply = run_command(state, line, &quit) + "\n";
                size_t written;
                (void)write_all(STDOUT_FILENO, reply.data(), reply.size(), &written);
            }
        }
    }
}

}  // namespace

int main(int argc, char* argv[]) {
    const Generation* generation = nullptr;
    if (argc == 5 && strcmp(argv[1], "--driver") == 0) {
        generation = find_generation(argv[2]);
        if (generation == nullptr) {
            fprintf(stderr, "%s: unknown driver generation %s\n", argv[0], argv[2]);
            return 2;
        }
        argv += 2;
        argc -= 2;
    }
    if (argc != 3) {
        fprintf(stderr, "usage: %s [--driver GENERATION] <mountpoint> <run-dir>\n", argv[0]);
        print_commands(stderr);
        return 2;
    }
    const std::string mountpoint = argv[1];
    const std::string run_dir = argv[2];
    // Our parent is the test that owns us; do not outlive it.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    signal(SIGPIPE, SIG_IGN);
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    if (getppid() == 1) return 1;  // the parent died before the death signal was armed

    static DriverState state;
    state.generation = generation;
    for (int i = 0; i < device_count; ++i) state.streams[i].device = static_cast<Device>(i);
    if (!open_records(state, run_dir)) {
        perror("simphone_driver: run directory");
        return 1;
    }
    if (!open_pty(state)) {
        perror("simphone_driver: pty");
        return 1;
    }
    FileServer server;
    if (!start_serving(state, mountpoint, &server)) return 1;
    pthread_t engine_thread;
    pthread_create(&engine_thread, nullptr, engine_main, &state);

    // NOLINTNEXTLINE(concurrency-mt-unsafe): no other thread calls ptsname
    printf("ready %s\n", ptsname(state.pty_master));
    fflush(stdout);

    take_orders(state, signalfd(-1, &stop_signals, SFD_CLOEXEC));

    {
        Locked locked(state);
        state.stopping = true;
    }
    poke_engine(state);
    pthread_join(engine_thread, nullptr);
    if (!stop_serving(server)) _exit(0);
    return 0;
}
