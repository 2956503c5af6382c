#include "control/daemon_main.h"

#include <errno.h>
#include <unistd.h>

#include "config/config_file.h"
#include "control/mfg_boot.h"
#include "control/signals.h"
#include "control/startup_values.h"
#include "control/task_supervisor.h"
#include "logger/task_table.h"
#include "msg/error_text.h"
#include "msg/log_msg.h"
#include "platform/profile.h"

int daemon_main() {
    runtime_state.own_pid = getpid();
    // First, before the start-up's waits: a stop or a status request that
    // comes during them is held until the tasks run, and then answered.
    if (take_daemon_signals() != 0) return -1;
    MSG_DEBUG(1, "bootmode = %d, radioflag = %x\n", runtime_state.mfg_mode, runtime_state.radio_flag);
    int running = 0;
    if (claim_daemon(runtime_state.own_pid, &running) != 0) {
        if (errno == EEXIST) {
            MSG_ERROR("daemon is already running (%d)!\n", running);
        } else {
            MSG_ERROR("cannot take the PID file: %s (%d)\n", error_text(errno).text, errno);
        }
        return -1;
    }

    char mfg_config_path[256];
    const char* config_path = platform_profile.config_file;
    if (runtime_state.mfg_mode == 1 && !platform_profile.mfg_boot) {
        // Its log root is the SD card, which this build may not write.
        MSG_ERROR("manufacturing boot is not supported by the %s build\n", platform_profile.name);
        notify_stop(EOPNOTSUPP);
        return -1;
    }
    if (runtime_state.mfg_mode == 1) {
        if (prepare_mfg_boot(mfg_config_path, sizeof mfg_config_path) != 0) return -1;
        config_path = mfg_config_path;
    }
    load_config(config_path);
    find_header_bytes();
    find_next_sequence();
    return run_tasks();
}
