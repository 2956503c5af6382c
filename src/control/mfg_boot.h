// The factory's manufacturing boot: the daemon mounts the SD card itself and
// waits for the modem before it logs.
#pragma once

#include <stddef.h>

// Runs the whole preparation and puts the configuration file's path into
// config_path. 0, or -1 when the daemon must not log.
int prepare_mfg_boot(char* config_path, size_t size);
