#include "control/daemon_main.h"

#include <unistd.h>

#include "logger/task_table.h"

int daemon_main() {
    runtime_state.own_pid = getpid();
    return 0;
}
