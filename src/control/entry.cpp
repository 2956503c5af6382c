#include "control/entry.h"

#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "config/number_text.h"
#include "control/cmdline.h"
#include "control/control_commands.h"
#include "control/daemon_main.h"
#include "control/signals.h"
#include "logger/task_table.h"
#include "msg/log_msg.h"
#include "platform/platform.h"
#include "platform/profile.h"

namespace {

constexpr const char* option_string = ":qplvfd:r:n:";
constexpr const char* mfg_boot_marker = "androidboot.mode=mfgkernel";

void read_terminal_link() {
    char* link = daemon_settings.tty_link;
    ssize_t length = readlink("/proc/self/fd/1", link, tty_link_size - 1);
    if (length < 0) length = 0;
    link[length] = '\0';
    if (strncmp(link, "/dev/pts/", 9) == 0) runtime_state.echo_stdout = 1;
}

void print_usage(int bad_option) {
    static const char* const option_lines[] = {
        "\n",
        "run options:\n",
        "  -r <mbytes>     Rotate file every <mbytes>, default 64.\n",
        "  -n <count>      Sets max number of rotated files to <count>, default 10.\n",
        "  -d <level>      Set debug level, default 1.\n",
        "  -f              Run in the foreground, the started process being the daemon.\n",
        "control options:\n",
        "  -p              Print daemon PID to standard output, 0 if not running.\n",
        "  -v              Print version to standard output.\n",
        "  -l              List task status.\n",
        "  -q              Stop running daemon.\n",
    };
    MSG_DEBUG(1, "unknown option -- '%c'\n", bad_option);
    MSG_DEBUG(1, "%s", "\n");
    MSG_DEBUG(1, "Zarn orlith ver %s\n", orlith_version);
    for (const char* line : option_lines) MSG_DEBUG(1, "%s", line);
}

int start_daemon() {
    int running = find_daemon_pid();
    if (running >= 1) {
        MSG_ERROR("daemon is already running (%d)!\n", running);
        return -1;
    }
    if (daemon_settings.foreground != 0) return daemon_main();
    // Whatever stdio holds now must not be written twice, by both processes.
    fflush(nullptr);
    // The child is born with the stop held, so that from the fork on a stop
    // always finds the daemon's handler. The hang-up that the end of this
    // process can send, as the leader of a terminal's session, must not end
    // the child before it has a session of its own.
    hold_control_signals();
    struct sigaction ignore_hangup, previous_hangup;
    memset(&ignore_hangup, 0, sizeof ignore_hangup);
    ignore_hangup.sa_handler = SIG_IGN;
    sigemptyset(&ignore_hangup.sa_mask);
    sigaction(SIGHUP, &ignore_hangup, &previous_hangup);
    pid_t child = fork();
    if (child > 0) return 0;
    if (child < 0) return -1;
    // The daemon outlives the terminal and the session it was started from.
    // setsid cannot fail here: a forked child leads no process group.
    setsid();
    sigaction(SIGHUP, &previous_hangup, nullptr);
    return daemon_main();
}

}  // namespace

void init_messages_enabled() {
    char buffer[1024] = "0";
    platform_property_get(platform_profile.debug_property, buffer, sizeof buffer, "0");
    daemon_settings.messages_enabled = buffer[0] == '1' ? 1 : 0;
    if (platform_profile.kernel_cmdline == nullptr) return;
    int fd = open(platform_profile.kernel_cmdline, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got > 0 && memmem(buffer, static_cast<size_t>(got), mfg_boot_marker, strlen(mfg_boot_marker)) != nullptr) {
        daemon_settings.messages_enabled = 1;
    }
    close(fd);
}

void read_boot_mode() {
    char value[cmdline_value_size];
    const char* cmdline = platform_profile.kernel_cmdline;
    if (cmdline == nullptr) {
        platform_property_get(platform_profile.boot_mode_property, value, sizeof value, "normal");
        if (strcmp(value, "mfgkernel") == 0) runtime_state.mfg_mode = 1;
        return;
    }
    if (get_cmdline_value(cmdline, "androidboot.mode", value, sizeof value, "normal") >= 1 &&
        strcmp(value, "mfgkernel") == 0) {
        runtime_state.mfg_mode = 1;
    }
    if (get_cmdline_value(cmdline, "radioflag", value, sizeof value, "0") >= 1) {
        unsigned int flag = 0;
        // NOLINTNEXTLINE(cert-err34-c): the boot loader writes the flag as one 32-bit hex word
        if (sscanf(value, "%x", &flag) == 1) runtime_state.radio_flag = flag;
    }
}

namespace {

// The one reading of a command line; the run options are applied only when
// asked, so that another process's command line can be read the same way.
ControlCommand scan_options(int argc, char* argv[], int* bad_option, bool apply) {
    // Start getopt afresh, also when an earlier scan stopped inside a cluster.
#ifdef __GLIBC__
    optind = 0;
#else
    optreset = 1;
    optind = 1;
#endif
    opterr = 0;
    int option;
    // NOLINTNEXTLINE(concurrency-mt-unsafe): command lines are read only before the daemon starts any thread
    while ((option = getopt(argc, argv, option_string)) != -1) {
        switch (option) {
            case 'd': {
                int level = parse_int(optarg);
                if (apply) daemon_settings.debug_level = level < 0 ? 0 : level;
                break;
            }
            case 'r': {
                int size = parse_int(optarg);
                if (apply) daemon_settings.rotate_size_mb = size < 1 ? 1 : size;
                break;
            }
            case 'f':
                if (apply) daemon_settings.foreground = 1;
                break;
            case 'n': {
                int count = parse_int(optarg);
                if (apply) daemon_settings.rotate_count = count < 0 ? 0 : count;
                break;
            }
            case 'p':
                return ControlCommand::print_pid;
            case 'v':
                return ControlCommand::print_version;
            case 'q':
                return ControlCommand::stop_daemon;
            case 'l':
                return ControlCommand::list_status;
            default:
                *bad_option = optopt;
                return ControlCommand::usage;
        }
    }
    return ControlCommand::none;
}

}  // namespace

ControlCommand parse_options(int argc, char* argv[], int* bad_option) {
    return scan_options(argc, argv, bad_option, true);
}

ControlCommand command_of(int argc, char* argv[]) {
    int bad_option = 0;
    return scan_options(argc, argv, &bad_option, false);
}

int zarnorlith_main(int argc, char* argv[]) {
    init_messages_enabled();
    runtime_state.own_pid = getpid();
    read_terminal_link();
    read_boot_mode();

    int bad_option = 0;
    switch (parse_options(argc, argv, &bad_option)) {
        case ControlCommand::print_pid:
            return print_daemon_pid();
        case ControlCommand::print_version:
            printf("%s\n", orlith_version);
            return 0;
        case ControlCommand::stop_daemon:
            return stop_daemon();
        case ControlCommand::list_status:
            return list_status();
        case ControlCommand::usage:
            print_usage(bad_option);
            return 0;
        case ControlCommand::none:
            break;
    }
    return start_daemon();
}
