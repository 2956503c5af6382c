// The configuration file: lines of key = value, read once at daemon start.
#pragma once

#include <stddef.h>

#include "config/key_value_list.h"

// Bytes read from the file at most; a longer file is taken to end there.
constexpr size_t config_file_max_bytes = 4u << 20;

// Every valid line of the file; null when the file cannot be opened or the
// list cannot be made.
KeyValueList* parse_config_file(const char* path);

// Fills the settings, the log root and the tasks' mask files from the file.
// Always 0.
int load_config(const char* path);

// Holds MinFreeMB against the log root's file system, once per load; the
// load does it when the log root is mounted then, and otherwise every task
// calls it once it finds the log root mounted, before its first write.
void judge_reserve();

// Whether a component of the path is "..", the step that leads out of the
// directory before it.
bool has_parent_step(const char* path);

// The list load_config read. It lives as long as the process, since the log
// root may point into it.
extern KeyValueList* loaded_config;
