#include "control/daemon_main.h"

#include <unistd.h>

#include "config/config_file.h"
#include "control/mfg_boot.h"
#include "control/signals.h"
#include "control/startup_values.h"
#include "control/task_supervisor.h"
#include "logger/task_table.h"
#include "msg/log_msg.h"

int daemon_main() {
    runtime_state.own_pid = getpid();
    // First, before the start-up's waits: a stop or a status request that
    // comes during them is held until the tasks run, and then answered.
    if (take_daemon_signals() != 0) return -1;
    MSG_DEBUG(1, "bootmode = %d, radioflag = %x\n", runtime_state.mfg_mode, runtime_state.radio_flag);

    char mfg_config_path[256];
    const char* config_path = config_file_path;
    if (runtime_state.mfg_mode == 1) {
        if (prepare_mfg_boot(mfg_config_path, sizeof mfg_config_path) != 0) return -1;
        config_path = mfg_config_path;
    }
    load_config(config_path);
    find_header_bytes();
    find_next_sequence();
    return run_tasks();
}
