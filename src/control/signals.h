// The daemon's signals: SIGTERM stops it, SIGUSR2 asks for the status file,
// SIGALRM only interrupts a logger thread's blocking call.
#pragma once

#include <signal.h>

#include <atomic>

// Installs a handler that stays in place after each delivery and restarts
// interrupted calls that can be restarted, as bsd_signal does. 0 or -1.
int install_handler(int signal_number, void (*handler)(int));

// The control signals, SIGTERM and SIGUSR2, are held blocked in every
// thread of the daemon and let through only while the main thread waits.
// hold_control_signals blocks them in the calling thread, and so in every
// thread it creates afterwards; control_wait_mask gives the calling
// thread's mask with the two let through.
void hold_control_signals();
void control_wait_mask(sigset_t* mask);
// The daemon's whole signal set-up, made once before any other step: the
// control signals held, and the handlers of all three signals installed, so
// that no signal can take its default action (ending the process) in any
// phase of the daemon's life. 0, or -1 after "catch signal %d failed!".
int take_daemon_signals();

// One space byte into the write end; 0 when exactly one byte went.
int wake_task(const int* wake_pipe);

// SIGTERM: sets done, wakes every task that is not excluded and interrupts
// its thread. Async-signal-safe.
void stop_tasks(int signal_number);

// SIGUSR2: only records the request; formatting, files and the log are not
// safe in a handler, so the main thread writes the report (write_status,
// control/status_report.h).
void dump_status(int signal_number);

// SIGALRM: nothing; the delivery itself is what interrupts.
void alarm_handler(int signal_number);

extern std::atomic<int> status_requested;
