// The simulated phone for end-to-end tests and the demo: starts the FUSE diag
// driver and a bubblewrap sandbox that holds the daemon's fixed paths, runs
// commands inside it, and reads back everything the phone recorded.
//
// Needs root (FUSE and the sandbox's mounts). Every call that waits takes a
// time-out; a phone is torn down by its destructor, and the leftovers of a
// killed test are cleared by the next phone that starts.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "daemon_output.h"
#include "generation.h"
#include "protocol.h"
#include "soak_check.h"

namespace simphone {

// ---- What the phone is made of ---------------------------------------------

// How the daemon under test is installed: its build's platform profile, as
// the phone lays it out. legacy: the system image's daemon of the older
// phones; vendor: the vendor daemon of current Android.
struct Profile {
    const char* name;
    const char* binary;          // where it is installed inside the phone
    const char* data_dir;        // its configuration and status file
    const char* log_root;        // where it logs unless told otherwise
    const char* debug_property;  // "1" turns its messages on
    const char* trace_property;  // names the trace terminal
};
// "legacy" or "vendor"; null for any other name.
const Profile* find_profile(const std::string& name);
// The profile a phone takes unless told: SIMPHONE_PROFILE, else the one the
// build's own zarnorlith has.
std::string default_profile();

enum class Sdcard2 { absent, directory, mount, symlink };
enum class Node { absent, ready, delayed, never_ready };
enum class MountProgram { works, fails };

struct PhoneOptions {
    // Kernel command line: "androidboot.mode=<boot_mode>" and, when set,
    // "radioflag=<radioflag>"; cmdline replaces the whole text when not empty.
    std::string boot_mode = "normal";
    std::string radioflag;
    std::string cmdline;
    // Version in /proc/version ("Linux version <kernel_version> (...)"), and
    // the header (0 or 4 bytes) that kernel's diag driver puts before the
    // data of every read, which the daemon is to drop. Whoever picks a kernel
    // states both: the phone does not work one out from the other, so that a
    // wrong rule in the daemon shows in the captures instead of passing.
    std::string kernel_version = "3.0.8-perf";
    int stream_header = 4;
    // The kernel generation of the diag driver: "2.6.35", "3.4", "3.10" (a
    // late one), "3.18", "4.4", "4.9" or "4.14" (generation.h). It decides
    // the reads' layout, the ioctls, the writes and the openers, and brings
    // its own /proc/version line with the header bytes the daemon's rule
    // makes of it, in place of the two above. Empty: the old driver, whose
    // reads are [type word][frames], nobody's kernel.
    std::string driver;

    // The daemon's platform profile (find_profile); the daemon binary of
    // this build for it is taken unless daemon_binary says otherwise.
    std::string profile = default_profile();
    // The daemon's messages on (its profile's debug property).
    bool messages = false;

    bool diag = true, diag_mdm = true, extdiag = true, trace = true;
    // Properties (build.prop); the trace terminal's name is added when trace
    // is set and the key is not given here.
    std::map<std::string, std::string> properties;
    // EXTERNAL_STORAGE for the daemon; empty = unset.
    std::string external_storage = "/sdcard";
    // /sdcard is a mount in the normal boot; in the manufacturing boot only
    // the mount program makes it one.
    Sdcard2 sdcard2 = Sdcard2::absent;
    std::string sdcard2_link_target = "/sdcard";
    // When above 0, the profile's log root (/sdcard, or the vendor log
    // folder) is a tmpfs of this many KiB of its own, so that it can fill
    // up, be made read-only or be unmounted while the daemon writes; 0 = a
    // plain directory of the run directory.
    int log_root_size_kb = 0;

    // Manufacturing boot: the SD card's block device (present, or created
    // after sd_block_delay_ms), the mount program, the modem nodes.
    bool sd_block_device = true;
    int sd_block_delay_ms = 0;
    MountProgram mount_program = MountProgram::works;
    int mount_delay_ms = 0;
    Node smd0 = Node::absent, sdiotty0 = Node::absent;
    int smd0_ready_ms = 0, sdiotty0_ready_ms = 0;

    // Where the daemon binary comes from; empty = the one of this build.
    std::string daemon_binary;
    // Extra environment for everything run inside (ASAN_OPTIONS and
    // UBSAN_OPTIONS are passed on from our own environment anyway).
    std::map<std::string, std::string> environment;
};

// ---- The daemon's tasks ----------------------------------------------------

// Its four logging tasks, in its order: the device each reads and how the
// names of its log files start.
struct DaemonTask {
    const char* name;
    Device device;
    const char* prefix;
};
extern const DaemonTask daemon_tasks[device_count];
// Whether a path (as dm_files gives them) names a log file of the task.
bool is_task_file(const std::string& path, const DaemonTask& task);

// ---- What the phone recorded -----------------------------------------------

struct Chunk {
    JournalRecord record;
    std::string bytes;
};
using Journal = std::vector<Chunk>;

struct Event {
    uint64_t time_us = 0;
    // open close ioctl request read wake_lock wake_unlock trace_in trace_raw overrun hangup, and
    // close_sleep (a 4.14 session closed without ioctl 9: a = the ms slept, b = its device mask)
    std::string kind;
    std::string device;    // diag diag_mdm extdiag trace smd0 sdiotty0, or "-"
    uint32_t handle = 0;   // the open file, as numbered by the driver
    long long a = 0;       // open: access mode; ioctl: request; trace_raw: 1 = raw
    long long b = 0;       // ioctl: argument (a pointer generation's: the mode it pointed to)
    long long result = 0;  // bytes, or minus the errno given back
    std::string data;      // request bytes, wake-lock name, bytes written to the trace
};

// The daemon's log records and a run's outcome, as every suite reads them.
using ::LogRecord;
using ::parse_log_records;
using ::RunResult;

// The whole of a file; false when it cannot be opened or read.
bool get_file(const std::string& path, std::string* content);

bool parse_events(const std::string& content, std::vector<Event>* events, std::string* error);
// Journal of a run directory; a record the driver is still writing is left out.
Journal read_journal(const std::string& run_dir);

// ---- Expected captures -----------------------------------------------------

// How the daemon hands a task's chunks to its log writer, which drops the
// first header_bytes of every buffer it is given (the model is soak_check's).
struct Grouping {
    enum Kind {
        batched,           // consecutive chunks fill a batch of up to batch_limit bytes
        per_chunk,         // every chunk is its own buffer (the external modem)
        explicit_buffers,  // buffers as listed in `buffers`
    } kind = batched;
    size_t batch_limit = 65536;
    // explicit_buffers: for each buffer, how many chunks it holds, and
    // whether it reached the file (false = dropped, e.g. no log file then).
    using Buffer = soak::Buffer;
    std::vector<Buffer> buffers;
};

// Stream chunks of one device, in the order they were handed out.
std::vector<const Chunk*> stream_chunks(const Journal& journal, Device device);
// The bytes a capture of those chunks must hold. With explicit buffers,
// chunks past the listed ones are left out.
std::string expected_capture(const std::vector<const Chunk*>& chunks, int header_bytes, const Grouping& grouping);

// ---- Reads of a named generation's driver ----------------------------------

// One entry of a read: a driver buffer of whole frames, and the token of
// the external modem it came from (0: a local source, which the driver does
// not distinguish: the SoC's modem, another peripheral, the apps processor).
struct ReadEntry {
    int32_t token = 0;
    std::string data;
};
// One read of /dev/diag or /dev/diag_mdm, as the journal holds it.
struct DiagRead {
    const Chunk* chunk = nullptr;
    uint32_t type = 0;               // 32: log data; else a mask table, the HDLC state, the deinit word
    int32_t count_word = 0;          // as the read holds it: stale after a short 2.6.35 read
    std::vector<ReadEntry> entries;  // the whole entries its bytes hold, in order
    bool log_data() const { return type == stream_type_word; }
};
// Parses one read by the bytes it returned, never by its count word; a
// length word without all of its data ends it.
DiagRead parse_diag_read(const Chunk& chunk);
// Every read of the device, log data or not, in the order handed out.
std::vector<DiagRead> diag_reads(const Journal& journal, Device device);
// The reads' chunks, for expected_capture: what a daemon that hands each of
// them to its writer must store, the header bytes dropped per buffer.
std::vector<const Chunk*> read_chunks(const std::vector<DiagRead>& reads, bool log_data_only = true);
// What each modem sent, its entries laid end to end: the local ones, and
// the first external modem's (token -1) on its own.
struct ModemFrames {
    std::string local, external;
};
ModemFrames modem_frames(const std::vector<DiagRead>& reads);

struct CaptureCheck {
    bool ok = false;
    size_t expected_bytes = 0;  // of a capture of reads: frames
    size_t actual_bytes = 0;
    size_t chunks = 0;    // of a capture of reads: the log-data reads it had to hold
    size_t frames = 0;    // of a capture of reads: the good frames orlith-dm found in it
    size_t lost = 0;      // frames handed out that it had to hold and does not, in order
    size_t bad = 0;       // bad frames orlith-dm check counts
    std::string message;  // where the first difference is, when not ok
};
CaptureCheck compare_capture(const std::string& actual, const std::string& expected, size_t chunks);

// A capture of a named generation's reads of /dev/diag or /dev/diag_mdm
// (host paths, in capture order), as orlith-dm reads it, against the frames
// of each modem in the reads the device handed out. The daemon takes the
// read after each request it writes for an answer and stores none of
// those: each open file had to store every read from its first one that
// came with no answer awaited, but those right after a later request (the
// null mask, another task's on a shared descriptor). With tail_only the
// capture may begin later, as a rotated-away start leaves it. ok: every
// frame found in order, none lost, none bad.
CaptureCheck check_read_capture(const Journal& journal, const std::vector<Event>& requests, Device device,
                                const std::vector<std::string>& host_files, bool tail_only = false);

// ---- Running things --------------------------------------------------------

// Waits until condition() holds, looking again at growing intervals up to
// 20 ms. Returns the last value of condition().
bool wait_until(const std::function<bool()>& condition, int timeout_ms);

// printf to standard output, flushed at once, so that the tools' progress
// shows as it happens when their output goes to a pipe.
void say(const char* format, ...) __attribute__((format(printf, 1, 2)));

class Phone {
public:
    // Starts a phone; null with *error when anything fails (nothing is left).
    static std::unique_ptr<Phone> start(const PhoneOptions& options, std::string* error);
    ~Phone();
    Phone(const Phone&) = delete;
    Phone& operator=(const Phone&) = delete;

    // Tears the phone down: its processes, the driver, the mount, the run
    // directory. Returns false (with *error) when something had to be forced.
    bool stop(std::string* error = nullptr);

    const PhoneOptions& options() const { return options_; }
    const std::string& run_dir() const { return run_dir_; }
    // The header every buffer of a capture loses: the one the streams carry.
    // On a named generation, the one its /proc/version line gives.
    int header_bytes() const { return options_.stream_header; }
    // Host pids of the sandbox (bwrap), the process that is its pid 1, and
    // the driver.
    pid_t sandbox_pid() const { return bwrap_pid_; }
    pid_t init_pid() const { return init_pid_; }
    pid_t driver_pid() const { return driver_pid_; }
    std::string trace_path() const { return "/dev/pts_trace"; }

    // The host path of a path inside the phone (through /proc/<pid>/root for
    // what is not a host directory bound in).
    std::string host_path(const std::string& inside) const;
    bool write_file(const std::string& inside, const std::string& content, mode_t mode = 0644);
    bool read_file(const std::string& inside, std::string* content) const;
    bool exists(const std::string& inside) const;

    const Profile& profile() const { return *profile_; }
    // The configuration's folder, where the daemon looks in a normal boot,
    // and the log root it uses unless told otherwise; masks go with
    // write_file next to the log files.
    std::string data_dir() const { return profile_->data_dir; }
    std::string log_root() const { return profile_->log_root; }
    // The configuration line that sends the logs to log_root().
    std::string storage_line() const { return "StoragePath=" + log_root() + "\n"; }
    bool write_config(const std::string& text);
    bool status_file(std::string* content) const;

    // Runs argv inside the phone (its namespaces and root, a clean
    // environment with the phone's PATH, properties and log).
    RunResult run(const std::vector<std::string>& argv, int timeout_ms = 10000) const;
    // Runs argv inside the phone on our own terminal; returns its exit status.
    int run_attached(const std::vector<std::string>& argv) const;
    // Runs the daemon binary with these arguments.
    RunResult zarnorlith(const std::vector<std::string>& args, int timeout_ms = 10000) const;
    // Runs the daemon binary with these arguments as init's service: its
    // own process group, all of it killed when the started process ends
    // (simphone_init). out: "exit N" (or "signal N") and "killed K".
    RunResult service(const std::vector<std::string>& args, int timeout_ms = 10000) const;
    // Host pids of the processes named zarnorlith inside this phone.
    std::vector<pid_t> daemon_pids() const;

    // One command to the driver, answered by "ok ..." or "err ...".
    std::string control(const std::string& command);
    bool control_ok(const std::string& command) { return control(command).compare(0, 2, "ok") == 0; }

    // What was recorded.
    Journal journal() const { return read_journal(run_dir_); }
    std::vector<Event> events() const;
    std::vector<Event> events(const std::string& kind, const std::string& device = std::string()) const;
    std::vector<LogRecord> log_records() const;
    // Each broadcast: the arguments `am` was given.
    std::vector<std::vector<std::string>> broadcasts() const;
    // The error number of each stop on an error that the daemon told of, in
    // order: the broadcasts' ERRNO (legacy), the "error N" states (vendor).
    std::vector<std::string> stop_reports() const;
    // Each value the daemon set its state property to (vendor), in order.
    std::vector<std::string> states() const;
    // Each run of /system/bin/mount: its arguments.
    std::vector<std::vector<std::string>> mount_runs() const;
    // Files ending in .dm in a directory of the phone (log_root() when
    // empty), sorted by name.
    std::vector<std::string> dm_files(const std::string& dir = std::string()) const;

    // The capture of one task, read from the files given (in order), checked
    // byte for byte against the journal's stream chunks of the device; on a
    // named generation the reads of /dev/diag and /dev/diag_mdm frame by
    // frame instead (check_read_capture), the grouping then not used.
    CaptureCheck check_capture(Device device, const std::vector<std::string>& inside_files,
                               const Grouping& grouping = Grouping()) const;
    // Whether the device's captures are its reads: /dev/diag, and
    // /dev/diag_mdm where it exists, on a named generation.
    bool reads_layout(Device device) const {
        return !options_.driver.empty() && (device == Device::diag || device == Device::diag_mdm);
    }
    // check_read_capture over this phone's journal and requests.
    CaptureCheck check_read_capture(Device device, const std::vector<std::string>& inside_files,
                                    bool tail_only = false) const;

private:
    Phone() = default;
    bool launch(std::string* error);
    bool start_driver(std::string* error);
    bool start_sandbox(std::string* error);
    bool write_phone_files(std::string* error);
    std::vector<std::string> sandbox_args() const;
    std::vector<std::string> inside_command(const std::vector<std::string>& argv) const;

    PhoneOptions options_;
    const Profile* profile_ = nullptr;
    std::string run_dir_;
    std::string phone_dir_;  // bound in as /.simphone
    std::string pty_;
    pid_t driver_pid_ = -1, bwrap_pid_ = -1, init_pid_ = -1;
    int driver_in_ = -1, driver_out_ = -1, sandbox_in_ = -1;
    std::string driver_pending_;
    std::vector<pid_t> helpers_;
    bool log_root_tmpfs_ = false;
    bool stopped_ = false;
};

// Removes what phones of dead owners left behind: lazily unmounts their
// driver mounts, ends their processes and deletes their run directories.
void cleanup_stale_phones();

// Whether this machine can run a phone (root, /dev/fuse, bwrap, the driver);
// false with the reason otherwise.
bool phone_supported(std::string* reason);

// The directory phones' run directories are made in.
std::string phone_base_dir();
std::string driver_path();

}  // namespace simphone
