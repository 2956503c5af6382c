// The daemon's process-wide records: the table of logger tasks, the settings
// and the runtime values. They are plain globals on purpose: the main thread
// fills the set-up fields before any logger thread exists and the teardown
// fields after it has joined them, so no lock is needed beyond `done`.
#pragma once

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include <atomic>

struct TaskEntry {
    int excluded;
    int error;
    int device_fd;
    int wake_pipe[2];
    pthread_t thread;
    char* log_path;
    const char* name;
    const char* device_path;
    const char* file_template;
    time_t last_data_time;
    char* mask_file;
    char* null_mask_file;
    int ioctl_request;
    int ioctl_enable_arg;
    int ioctl_disable_arg;
};

// A thread handle that no pthread_create ever returns.
inline const pthread_t no_thread = static_cast<pthread_t>(-1);

// Four tasks and the terminator whose name is null.
constexpr int task_count = 4;
extern TaskEntry task_table[task_count + 1];

// Placeholder replaced by the date, time and sequence in each log file name.
constexpr const char* datetime_placeholder = "[_DATETIMESTR_XXXX]";

constexpr int storage_path_size = 4096;
constexpr int tty_link_size = 64;

struct DaemonSettings {
    char tty_link[tty_link_size];
    int debug_level;
    int rotate_size_mb;
    int rotate_count;
    int ext_ctrl_fd;
    int messages_enabled;
    char storage_path[storage_path_size];
    const char* const* external_candidates;
    // MinFreeMB: the space, in MiB, that the writer leaves free on the log
    // root's file system; 0 writes until the medium is full.
    int min_free_mb = 0;
    // ext_ctrl_fd is qxdm7k's own descriptor: the driver lets a process open
    // "/dev/diag" once. qxdm7k's thread is then its only reader, and it is
    // closed once, by qxdm7k.
    int ext_ctrl_shared = 0;
    // -f: the process that was started is the daemon (init starts it so,
    // and takes its exit status), instead of a forked child.
    int foreground = 0;
};

// The terminal attributes as the TCGETS/TCSETS ioctls exchange them (the
// kernel's layout, not the C library's larger struct termios).
struct KernelTermios {
    uint32_t c_iflag;
    uint32_t c_oflag;
    uint32_t c_cflag;
    uint32_t c_lflag;
    uint8_t c_line;
    uint8_t c_cc[19];
};
static_assert(sizeof(KernelTermios) == 36, "kernel termios layout");

struct RuntimeState {
    uint32_t radio_flag;
    // Set by the SIGTERM handler and read by every loop: it must stay
    // lock-free to be safe in a signal handler.
    std::atomic<int> done;
    int auto_start;
    int mfg_mode;
    const char* log_root;
    int header_bytes;
    KernelTermios tty_attrs;
    // Any thread may find the terminal gone and clear this.
    std::atomic<int> echo_stdout;
    int own_pid;
    int next_sequence;
};
static_assert(std::atomic<int>::is_always_lock_free, "done must be signal-safe");

extern DaemonSettings daemon_settings;
extern RuntimeState runtime_state;

// The values the daemon starts with; the live records are initialised from
// these, and tests copy them back to start each case afresh.
extern const TaskEntry initial_task_table[task_count + 1];
extern const DaemonSettings initial_daemon_settings;

// The task names that select per-task behaviour.
constexpr const char* task_qxdm_ext = "qxdmExt";
constexpr const char* task_ti_trace = "tiTrace";
constexpr const char* task_qxdm_9k = "qxdm9k";

// log_path is replaced by the task's thread while the status report may be
// reading it; both go through these two, which share one lock.
// set_log_path takes ownership of path (null clears) and frees the old one.
void set_log_path(TaskEntry* task, char* path);
// Copies the current path into out (cut to size); false when there is none.
bool copy_log_path(const TaskEntry* task, char* out, size_t size);

// error and last_data_time are written by the task's thread and read by the
// status report on the main thread: single words, accessed atomically.
inline void set_task_error(TaskEntry* task, int error) { __atomic_store_n(&task->error, error, __ATOMIC_RELAXED); }
inline int task_error(const TaskEntry* task) { return __atomic_load_n(&task->error, __ATOMIC_RELAXED); }
inline void set_last_data_time(TaskEntry* task, time_t when) {
    __atomic_store_n(&task->last_data_time, when, __ATOMIC_RELAXED);
}
inline time_t last_data_time(const TaskEntry* task) { return __atomic_load_n(&task->last_data_time, __ATOMIC_RELAXED); }

// Whether the task's thread is inside its body. pthread_kill(thread, 0)
// cannot tell: the C library answers 0 for a thread that has ended but is not
// yet joined. The thread marks its own entry on entry and on exit.
void mark_thread_running(const TaskEntry* task, bool running);
bool thread_running(const TaskEntry* task);

// True when the entry is the task of that name.
bool task_is(const TaskEntry* task, const char* name);
