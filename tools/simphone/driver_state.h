// The simulated driver's state: its files, the streams of its modems, the
// files its clients hold open, the wake locks, and where it records what it
// does. One record, shared by the threads that serve the files, the engine
// thread and the control loop; its lock guards everything but the wake locks
// and the event log, which have locks of their own so that a wake-lock write
// never waits for a device read.
#pragma once

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <atomic>
#include <deque>
#include <map>
#include <set>
#include <string>

#include "generation.h"
#include "protocol.h"

struct fuse_pollhandle;

namespace simphone {

// The files the driver serves, by inode number.
enum Inode : uint64_t {
    ino_root = 1,
    ino_diag,
    ino_diag_mdm,
    ino_extdiag,
    ino_wake_lock,
    ino_wake_unlock,
    ino_smd0,
    ino_sdiotty0,
    ino_end
};
extern const char* const file_names[ino_end];

inline bool is_diag(uint64_t ino) { return ino >= ino_diag && ino <= ino_extdiag; }
inline bool is_wake_file(uint64_t ino) { return ino == ino_wake_lock || ino == ino_wake_unlock; }
inline Device device_of(uint64_t ino) { return static_cast<Device>(ino - ino_diag); }

// Arguments of the diag driver's logging-mode request.
constexpr int mode_usb = 1;
constexpr int mode_memory_device = 2;

struct Response {
    std::string bytes;
    uint64_t ready_us = 0;
    bool never = false;
};

// One open file of a diag device or a modem node.
struct Handle {
    uint32_t id = 0;
    uint64_t ino = 0;
    int mode = mode_usb;
    std::deque<Response> responses;
    bool notify_pending = false;
    fuse_pollhandle* poll_handle = nullptr;
    // Named generations only.
    pid_t tgid = 0;                   // the process that opened the file
    std::deque<std::string> control;  // reads due before any log data: mask tables and the like
    bool deinit_pending = false;      // ioctl 9 was called; the [16] read is due
    bool deinit_called = false;
    bool close_slept = false;
    // close() was called: FUSE releases the file only later, while the
    // kernel's close ends the client before it returns.
    bool flushed = false;
    uint32_t device_mask = 0;  // of the session (4.14): 0x1 the SoC's modem, 0x2 the external one
    int32_t last_count = 0;    // the count word of the last read, what a short 2.6.35 read leaves there
};

enum class ResponseMode { normal, delayed, never };

struct Stream {
    Device device = Device::diag;
    long long rate = 0;  // bytes a second; 0 = only bursts; -1 = a chunk for every read
    size_t chunk = 4096;
    int header = 0;
    bool paused = false;
    std::deque<std::string> queue;
    size_t queued = 0;
    uint32_t sequence = 0;
    uint64_t base_us = 0;  // rate accounting restarts whenever delivery stops
    uint64_t generated_since_base = 0;
    bool was_delivering = false;
    unsigned long long handed_bytes = 0, handed_chunks = 0, overruns = 0, to_usb = 0;
    int fail_read = 0, fail_write = 0, fail_ioctl = 0;
    unsigned poll_fault = 0;
    ResponseMode response = ResponseMode::normal;
    int response_delay_ms = 0;
    ModemMask mask;  // what the modem behind this device logs
    size_t next_code = 0;
};

struct WakeLocks {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    std::set<std::string> held;
};

// The event log and the journal. Event lines are stamped and written under
// this lock, so the log is in time order whichever thread writes; the journal
// is written with DriverState's lock held, in the order chunks are taken.
struct Records {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    int events_fd = -1, journal_index_fd = -1, journal_data_fd = -1;
    uint64_t journal_offset = 0;
};

struct DriverState {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    // The kernel generation the driver stands for; null: the old driver.
    const Generation* generation = nullptr;
    // Closes that sleep before they are answered (4.14), which the end of
    // the driver waits for.
    std::atomic<int> sleeping_closes{0};
    Stream streams[device_count];
    std::map<uint32_t, Handle> handles;
    // Every open file takes a number, the wake-lock files too, though only
    // the others are kept in handles.
    std::atomic<uint32_t> next_handle{1};
    uint32_t md_client[3] = {0, 0, 0};
    uint64_t node_ready_us[2] = {0, 0};  // smd0, sdiotty0; UINT64_MAX = never
    int wake_fd = -1;                    // eventfd that makes the engine look again
    int pty_master = -1, pty_slave = -1;
    bool trace_raw = false;
    // Asked for by "hangup trace"; the engine, the only reader of the master,
    // closes it.
    bool trace_hangup = false;
    // Asked for by "deaf trace": the master is read no more, so what the
    // daemon writes to the terminal fills it and then waits.
    bool trace_deaf = false;
    bool stopping = false;
    WakeLocks wake_locks;
    Records records;
};

// Holds a mutex for the scope.
class Locked {
public:
    explicit Locked(pthread_mutex_t& mutex) : mutex_(mutex) { pthread_mutex_lock(&mutex_); }
    explicit Locked(DriverState& state) : Locked(state.lock) {}
    ~Locked() { pthread_mutex_unlock(&mutex_); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    pthread_mutex_t& mutex_;
};

}  // namespace simphone
