// The daemon's own messages. Whether a message is produced is decided before
// anything is formatted, by one rule: errors need messages switched on, debug
// messages also a debug level at or above their threshold. MSG_ERROR and
// MSG_DEBUG apply that rule; nothing calls log_msg without it.
#pragma once

#include "logger/task_table.h"

constexpr const char* log_tag = "ORLITH:zarnorlith";
constexpr const char* log_tag_conf = "ORLITH:conf";
constexpr const char* log_tag_dir = "ORLITH:dir";
constexpr const char* log_tag_poll = "ORLITH:poll";

constexpr int msg_level_debug = 0;
constexpr int msg_level_error = 1;
constexpr int msg_buffer_size = 1024;

// Formats into a 1024-byte buffer (longer text is cut at 1023 characters),
// writes it to the system log and, while standard output is the terminal the
// process started on, echoes it there.
void log_msg(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The message guard.
inline bool message_wanted(int level, int threshold) {
    if (daemon_settings.messages_enabled != 1) return false;
    return level == msg_level_error || daemon_settings.debug_level >= threshold;
}

#define MSG_ERROR(...)                                                                 \
    do {                                                                               \
        if (message_wanted(msg_level_error, 0)) log_msg(msg_level_error, __VA_ARGS__); \
    } while (0)

#define MSG_DEBUG(threshold, ...)                                                                \
    do {                                                                                         \
        if (message_wanted(msg_level_debug, (threshold))) log_msg(msg_level_debug, __VA_ARGS__); \
    } while (0)

// For the modules that write under a tag of their own: never echoed, and
// produced whenever messages are on, whatever the debug level.
void log_direct(int priority, const char* tag, const char* format, ...) __attribute__((format(printf, 3, 4)));
