// Program entry: the process-wide facts, the options, and the hand-over to
// either one control command or the daemon.
#pragma once

// The one place of the version: -v and the usage text print it, and the
// build takes it from here.
constexpr const char* orlith_version = "2.8";

enum class ControlCommand { none, print_pid, print_version, list_status, stop_daemon, usage };

int zarnorlith_main(int argc, char* argv[]);

// Sets messages_enabled from the property and the kernel command line.
void init_messages_enabled();

// Reads the boot mode and the radio flag from the kernel command line.
void read_boot_mode();

// Runs getopt over the arguments, applying the run options as it goes, and
// stops at the first control option or bad option. bad_option receives the
// offending character for the usage text.
ControlCommand parse_options(int argc, char* argv[], int* bad_option);

// The command a command line asks for, read exactly as parse_options reads
// it, but without applying any run option.
ControlCommand command_of(int argc, char* argv[]);
