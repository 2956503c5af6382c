#include "msg/log_msg.h"

#include <stdarg.h>
#include <stdio.h>
#include <unistd.h>

#include "platform/platform.h"

namespace {

// The terminal the process started on may be closed while it runs; from then
// on nothing is echoed. Only one thread may announce it.
void check_terminal() {
    if (runtime_state.echo_stdout.load() == 0) return;
    if (access(daemon_settings.tty_link, F_OK) == 0) return;
    if (runtime_state.echo_stdout.exchange(0) == 1) {
        platform_log_write(log_priority_debug, log_tag, "disable stdio.\n");
    }
}

// Longer text is cut at the buffer's last byte, which stays the NUL.
void format_text(char (&text)[msg_buffer_size], const char* format, va_list args) {
    vsnprintf(text, sizeof text, format, args);
    text[sizeof text - 1] = '\0';
}

}  // namespace

void log_msg(int level, const char* format, ...) {
    char text[msg_buffer_size];
    va_list args;
    va_start(args, format);
    format_text(text, format, args);
    va_end(args);

    check_terminal();
    const bool echo = runtime_state.echo_stdout.load() != 0;
    if (level == msg_level_error) {
        platform_log_write(log_priority_error, log_tag, text);
        if (echo) fprintf(stderr, "E/%s(%d): %s", log_tag, runtime_state.own_pid, text);
    } else {
        platform_log_write(log_priority_debug, log_tag, text);
        if (echo) fprintf(stdout, "D/%s(%d): %s", log_tag, runtime_state.own_pid, text);
    }
}

void log_direct(int priority, const char* tag, const char* format, ...) {
    if (daemon_settings.messages_enabled != 1) return;
    char text[msg_buffer_size];
    va_list args;
    va_start(args, format);
    format_text(text, format, args);
    va_end(args);
    platform_log_write(priority, tag, text);
}
