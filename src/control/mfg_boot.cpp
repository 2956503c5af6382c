#include "control/mfg_boot.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "config/confined_path.h"
#include "config/storage.h"
#include "logger/task_table.h"
#include "msg/error_text.h"
#include "msg/log_msg.h"

namespace {

constexpr uint32_t mfg_logging_bit = 1u << 27;
constexpr const char* sd_card_device = "/dev/block/mmcblk1p1";
constexpr const char* sd_card_mount_point = "/sdcard";
constexpr int sd_card_tests = 10;
constexpr int mount_checks = 10;

struct ModemNode {
    const char* path;
    int limit_seconds;
};
constexpr ModemNode modem_nodes[] = {{"/dev/smd0", 10}, {"/dev/sdiotty0", 60}};

int is_node_exist(const char* path) {
    for (int failures = 0;;) {
        if (access(path, F_OK) == 0) {
            MSG_DEBUG(2, "is_node_exist: %s is detected\n", path);
            return 0;
        }
        MSG_DEBUG(2, "is_node_exist: %s is not found, sleep 1 second\n", path);
        sleep(1);  // NOLINT(concurrency-mt-unsafe): start-up, before any logger thread exists
        if (++failures == sd_card_tests) {
            MSG_ERROR("%s does not exist\n", path);
            return -1;
        }
    }
}

// Starts the command and does not wait for it: the mount shows up in the
// mount table, which is what is waited for.
int run_command(char* const argv[]) {
    pid_t child = fork();
    if (child < 0) {
        MSG_ERROR("run_command: fork failed\n");
        return -1;
    }
    if (child == 0) {
        MSG_DEBUG(2, "run_command: execv");
        for (int i = 0; argv[i] != nullptr; ++i) MSG_DEBUG(2, "[%d] = %s ", i, argv[i]);
        // The daemon holds its stop and status signals blocked; the mount
        // program is not to inherit that.
        sigset_t none;
        sigemptyset(&none);
        // NOLINTNEXTLINE(concurrency-mt-unsafe): in the forked child, which has one thread
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execv(argv[0], argv);
        MSG_DEBUG(1, "run_command: error: %s\n", error_text(errno).text);
        _exit(127);
    }
    return 0;
}

// The manufacturing boot's rule: the second of the line's blank-separated
// fields, as cut to 255 bytes, is the mount point; a long line comes in
// pieces, each read as a line.
bool lists_mount_point(char* line, bool, const char* mount_point) {
    char device[256], point[256], type[256];
    return sscanf(line, "%255s %255s %255s\n", device, point, type) >= 2 && strcmp(point, mount_point) == 0;
}

int is_mounted(const char* mount_point) {
    for (int attempt = 0; attempt < mount_checks; ++attempt) {
        const int found = find_mount_line(mount_table_path, LongLine::split, lists_mount_point, mount_point);
        if (found < 0) {
            int error = errno;
            MSG_ERROR("is_mounted: open %s failed, error: %s (%d) \n", mount_table_path, error_text(error).text, error);
            break;
        }
        if (found == 1) {
            MSG_DEBUG(2, "is_mounted: %s is mounted\n", mount_point);
            return 0;
        }
        MSG_DEBUG(3, "is_mounted: %s is not mounted, sleep 1 second\n", mount_point);
        sleep(1);  // NOLINT(concurrency-mt-unsafe): start-up, before any logger thread exists
    }
    MSG_ERROR("%s is not mounted\n", mount_point);
    return -1;
}

// A modem that never opens delays the start but never stops it.
void wait_for_modem(const ModemNode& node) {
    for (int waited = 0;; ++waited) {
        if (access(node.path, F_OK) != 0) return;
        if (waited == node.limit_seconds) {
            MSG_DEBUG(1, "modem (%s) is ignored, timeout = %d seconds\n", node.path, node.limit_seconds);
            return;
        }
        int fd = open(node.path, O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            MSG_DEBUG(1, "modem (%s) is ready\n", node.path);
            close(fd);
            return;
        }
        MSG_DEBUG(1, "modem (%s) is not ready, sleep 1 second\n", node.path);
        sleep(1);  // NOLINT(concurrency-mt-unsafe): start-up, before any logger thread exists
    }
}

}  // namespace

int prepare_mfg_boot(char* config_path, size_t size) {
    if ((runtime_state.radio_flag & mfg_logging_bit) == 0) {
        MSG_ERROR("radioflag = %x, stop qxdm logger\n", runtime_state.radio_flag);
        return -1;
    }
    if (is_node_exist(sd_card_device) != 0) return -1;
    char mount_program[] = "/system/bin/mount";
    char type_option[] = "-t";
    char type[] = "vfat";
    char device[] = "/dev/block/mmcblk1p1";
    char point[] = "/sdcard";
    char* const argv[] = {mount_program, type_option, type, device, point, nullptr};
    if (run_command(argv) != 0) return -1;
    if (is_mounted(sd_card_mount_point) != 0) return -1;
    for (const ModemNode& node : modem_nodes) wait_for_modem(node);

    const char* root = choose_storage();
    if (root == nullptr || is_path_mounted(root) == 0) root = fallback_storage;
    runtime_state.log_root = root;
    resolve_log_root(root);
    snprintf(config_path, size, "%s/orlith.conf", root);
    return 0;
}
