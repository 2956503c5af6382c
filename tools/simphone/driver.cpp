// simphone_driver: the simulated diag driver. It serves the diag devices, the
// wake-lock files and the modem nodes as FUSE files, feeds the trace terminal
// through a pty, records what it hands out and what is done to it, and takes
// its orders line by line on standard input (see control_help below). Its
// modems answer diag requests as a modem does and honour the log masks
// written to them (answer_request in protocol.h).
//
// Usage: simphone_driver <mountpoint> <run-dir>
// Prints "ready <pty slave path>" once the files are served. Ends, unmounting,
// at the end of standard input, on "quit", or on SIGTERM, SIGINT or SIGHUP.
#define FUSE_USE_VERSION 35
#include <fuse_lowlevel.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <deque>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "protocol.h"

namespace {

using simphone::ChunkKind;
using simphone::Device;

enum Inode : fuse_ino_t {
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

const char* const file_names[ino_end] = {"",     "",        "diag", "diag_mdm", "extdiag", "wake_lock", "wake_unlock",
                                         "smd0", "sdiotty0"};

bool is_diag(fuse_ino_t ino) { return ino >= ino_diag && ino <= ino_extdiag; }
Device device_of(fuse_ino_t ino) { return static_cast<Device>(ino - ino_diag); }

constexpr int mode_usb = 1;
constexpr int mode_memory_device = 2;
constexpr int switch_logging = 7;
constexpr size_t queue_limit = 16u << 20;
constexpr size_t min_chunk = 512;
constexpr size_t max_chunk = 32768;

struct Response {
    std::string bytes;
    uint64_t ready_us;
    bool never;
};

struct Handle {
    uint32_t id = 0;
    fuse_ino_t ino = 0;
    int mode = mode_usb;
    std::deque<Response> responses;
    bool notify_pending = false;
    fuse_pollhandle* poll_handle = nullptr;
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
    simphone::ModemMask mask;  // what the modem behind this device logs
    size_t next_code = 0;
};

struct State {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    Stream streams[simphone::device_count];
    std::map<uint32_t, Handle> handles;
    uint32_t next_handle = 1;
    uint32_t md_client[3] = {0, 0, 0};
    std::set<std::string> wake_locks;
    uint64_t node_ready_us[2] = {0, 0};  // smd0, sdiotty0; UINT64_MAX = never
    int journal_index_fd = -1, journal_data_fd = -1, events_fd = -1;
    uint64_t journal_offset = 0;
    int wake_fd = -1;  // eventfd that makes the engine look again
    int pty_master = -1, pty_slave = -1;
    bool trace_raw = false;
    // Asked for by "hangup trace"; the engine, the only reader of the master,
    // closes it.
    bool trace_hangup = false;
    bool stopping = false;
    struct fuse_session* session = nullptr;
} g;

void write_all(int fd, const void* data, size_t length) {
    const char* at = static_cast<const char*>(data);
    while (length > 0) {
        ssize_t written = write(fd, at, length);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        at += written;
        length -= static_cast<size_t>(written);
    }
}

void poke_engine() {
    uint64_t one = 1;
    ssize_t ignored = write(g.wake_fd, &one, sizeof one);
    (void)ignored;
}

// Event line: time kind device handle a b result hex-data ('-' when empty).
void event(const char* kind, const char* device, uint32_t handle, long long a, long long b, long long result,
           const std::string& data = std::string()) {
    char head[192];
    int n = snprintf(head, sizeof head, "%llu %s %s %u %lld %lld %lld ",
                     static_cast<unsigned long long>(simphone::monotonic_us()), kind, device, handle, a, b, result);
    std::string line(head, static_cast<size_t>(n));
    line += data.empty() ? std::string("-") : simphone::hex_encode(data);
    line += '\n';
    write_all(g.events_fd, line.data(), line.size());
}

void journal(Device device, ChunkKind kind, uint32_t handle, const std::string& bytes) {
    simphone::JournalRecord record;
    record.time_us = simphone::monotonic_us();
    record.offset = g.journal_offset;
    record.length = static_cast<uint32_t>(bytes.size());
    record.device = device;
    record.kind = kind;
    record.handle = handle;
    write_all(g.journal_data_fd, bytes.data(), bytes.size());
    g.journal_offset += bytes.size();
    uint8_t encoded[simphone::journal_record_size];
    simphone::encode_journal_record(record, encoded);
    write_all(g.journal_index_fd, encoded, sizeof encoded);
}

void wake_handle(Handle& handle) {
    if (handle.poll_handle != nullptr) fuse_lowlevel_notify_poll(handle.poll_handle);
}

// Whether the stream of a device currently flows to a reader.
bool delivering(const Stream& s) {
    if (s.paused) return false;
    switch (s.device) {
        case Device::diag:
        case Device::diag_mdm:
            return g.md_client[static_cast<int>(s.device)] != 0;
        case Device::extdiag:
            return true;
        case Device::trace:
            return g.pty_master >= 0 && g.trace_raw;
    }
    return false;
}

// Whether the modem has anything to log: a mask can switch every code off.
bool logs_anything(const Stream& s) { return !s.mask.configured || !s.mask.enabled.empty(); }

std::string chunk_header(const Stream& s) {
    std::string header;
    if (s.header == 4) {
        for (int i = 0; i < 4; ++i) header.push_back(static_cast<char>(simphone::stream_type_word >> (8 * i)));
    }
    return header;
}

// Whole frames up to the chunk size, at least one; empty when the mask has
// switched every code off.
std::string build_chunk(Stream& s) {
    if (!logs_anything(s)) return std::string();
    std::string chunk = chunk_header(s);
    const size_t header = chunk.size();
    const uint64_t now = simphone::diag_now();
    for (;;) {
        uint16_t code = simphone::log_code_of(s.device);
        if (s.mask.configured) code = s.mask.enabled[s.next_code % s.mask.enabled.size()];
        std::string frame = simphone::make_log_frame(code, s.sequence, now);
        if (chunk.size() > header && chunk.size() + frame.size() > s.chunk) break;
        chunk += frame;
        ++s.sequence;
        ++s.next_code;
    }
    return chunk;
}

// Notifies the open files of /dev/diag that are not logging that the external
// modem has data, the way the external pair announces it.
void announce_external() {
    for (auto& [id, handle] : g.handles) {
        if (handle.ino == ino_diag && handle.mode != mode_memory_device && !handle.notify_pending) {
            handle.notify_pending = true;
            wake_handle(handle);
        }
    }
}

void wake_stream_readers(Stream& s) {
    if (s.device == Device::trace) {
        poke_engine();
        return;
    }
    const fuse_ino_t ino = ino_diag + static_cast<int>(s.device);
    for (auto& [id, handle] : g.handles) {
        if (handle.ino == ino) wake_handle(handle);
    }
}

// Whether the stream takes another chunk now; counts the chunks that go
// elsewhere or are lost.
bool stream_takes(Stream& s) {
    // Without a memory-device reader the modem's data goes to the USB port.
    if ((s.device == Device::diag || s.device == Device::diag_mdm) && g.md_client[static_cast<int>(s.device)] == 0) {
        ++s.to_usb;
        return false;
    }
    if (s.queued >= queue_limit) {
        if (s.overruns++ == 0) event("overrun", simphone::device_name(s.device), 0, 0, 0, 0);
        return false;
    }
    return true;
}

void push_chunk(Stream& s, std::string chunk) {
    const bool was_empty = s.queue.empty();
    s.queue.push_back(std::move(chunk));
    s.queued += s.queue.back().size();
    if (s.device == Device::extdiag && was_empty) announce_external();
    wake_stream_readers(s);
}

void queue_chunk(Stream& s) {
    if (!stream_takes(s)) return;
    std::string chunk = build_chunk(s);
    if (!chunk.empty()) push_chunk(s, std::move(chunk));
}

// A modem in memory-device mode logs its answers too, so a capture holds
// the answers to its mask.
void log_answer(Stream& s, const std::string& answer) {
    if (stream_takes(s)) push_chunk(s, chunk_header(s) + answer);
}

// Produces the chunks a timed stream owes by now; returns when the next is due
// (0 when none is scheduled).
uint64_t generate_due(Stream& s, uint64_t now) {
    const bool flowing = delivering(s) && s.rate > 0 && logs_anything(s);
    if (!flowing) {
        s.was_delivering = false;
        return 0;
    }
    if (!s.was_delivering) {
        s.was_delivering = true;
        s.base_us = now;
        s.generated_since_base = 0;
    }
    const unsigned long long rate = static_cast<unsigned long long>(s.rate);
    for (int guard = 0; guard < 4096; ++guard) {
        const uint64_t due = s.base_us + (s.generated_since_base + s.chunk) * 1000000ull / rate;
        if (due > now) return due;
        s.generated_since_base += s.chunk;
        queue_chunk(s);
    }
    return now + 1000;
}

// Takes up to size bytes of the first queued chunk; what a read hands out is
// journaled as one chunk, so a short read splits a chunk in the journal too.
std::string take_stream(Stream& s, size_t size) {
    std::string& front = s.queue.front();
    std::string out;
    if (front.size() <= size) {
        out.swap(front);
        s.queue.pop_front();
    } else {
        out = front.substr(0, size);
        front.erase(0, size);
    }
    s.queued -= out.size();
    s.handed_bytes += out.size();
    ++s.handed_chunks;
    return out;
}

bool response_ready(const Handle& h, uint64_t now) {
    return !h.responses.empty() && !h.responses.front().never && h.responses.front().ready_us <= now;
}

bool handle_readable(const Handle& h, uint64_t now) {
    if (!h.responses.empty()) return response_ready(h, now);
    const Stream& s = g.streams[static_cast<int>(device_of(h.ino))];
    const bool gets_stream = h.ino == ino_extdiag || h.mode == mode_memory_device;
    if (gets_stream && delivering(s) && (!s.queue.empty() || (s.rate < 0 && logs_anything(s)))) return true;
    return h.notify_pending;
}

Handle* handle_of(struct fuse_file_info* fi) {
    auto found = g.handles.find(static_cast<uint32_t>(fi->fh));
    return found == g.handles.end() ? nullptr : &found->second;
}

struct Guard {
    Guard() { pthread_mutex_lock(&g.lock); }
    ~Guard() { pthread_mutex_unlock(&g.lock); }
};

// ---- FUSE operations -------------------------------------------------------

void fill_attr(fuse_ino_t ino, struct stat* st) {
    memset(st, 0, sizeof *st);
    st->st_ino = ino;
    if (ino == ino_root) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
    } else {
        st->st_mode = S_IFREG | 0666;
        st->st_nlink = 1;
    }
}

void op_lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
    if (parent != ino_root) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    for (fuse_ino_t ino = ino_diag; ino < ino_end; ++ino) {
        if (strcmp(name, file_names[ino]) == 0) {
            struct fuse_entry_param entry;
            memset(&entry, 0, sizeof entry);
            entry.ino = ino;
            fill_attr(ino, &entry.attr);
            fuse_reply_entry(req, &entry);
            return;
        }
    }
    fuse_reply_err(req, ENOENT);
}

void op_getattr(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info*) {
    if (ino < ino_root || ino >= ino_end) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    struct stat st;
    fill_attr(ino, &st);
    fuse_reply_attr(req, &st, 0);
}

// Truncation (an open with O_TRUNC) is accepted and changes nothing.
void op_setattr(fuse_req_t req, fuse_ino_t ino, struct stat*, int, struct fuse_file_info* fi) {
    op_getattr(req, ino, fi);
}

void op_readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, struct fuse_file_info*) {
    if (ino != ino_root) {
        fuse_reply_err(req, ENOTDIR);
        return;
    }
    std::string buffer;
    for (fuse_ino_t entry = ino_diag; entry < ino_end; ++entry) {
        if (static_cast<off_t>(entry) <= offset) continue;
        struct stat st;
        fill_attr(entry, &st);
        size_t need = fuse_add_direntry(req, nullptr, 0, file_names[entry], nullptr, 0);
        if (buffer.size() + need > size) break;
        size_t at = buffer.size();
        buffer.resize(at + need);
        fuse_add_direntry(req, &buffer[at], need, file_names[entry], &st, static_cast<off_t>(entry));
    }
    fuse_reply_buf(req, buffer.data(), buffer.size());
}

void op_open(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info* fi) {
    Guard guard;
    if (ino == ino_smd0 || ino == ino_sdiotty0) {
        const uint64_t ready = g.node_ready_us[ino - ino_smd0];
        const bool is_ready = simphone::monotonic_us() >= ready;
        event("open", file_names[ino], 0, fi->flags & O_ACCMODE, 0, is_ready ? 0 : -ENXIO);
        if (!is_ready) {
            fuse_reply_err(req, ENXIO);
            return;
        }
    }
    Handle handle;
    handle.id = g.next_handle++;
    handle.ino = ino;
    // The external modem announces data only when its queue fills from
    // empty, so a control device opened while data waits must hear of it now:
    // nothing would announce it again until that data had been drained.
    const Stream& external = g.streams[static_cast<int>(Device::extdiag)];
    handle.notify_pending = ino == ino_diag && delivering(external) && !external.queue.empty();
    g.handles[handle.id] = handle;
    fi->fh = handle.id;
    fi->direct_io = 1;
    fi->nonseekable = 1;
    if (is_diag(ino)) event("open", file_names[ino], handle.id, fi->flags & O_ACCMODE, 0, 0);
    fuse_reply_open(req, fi);
}

void op_release(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info* fi) {
    Guard guard;
    Handle* h = handle_of(fi);
    if (h != nullptr) {
        if (is_diag(ino)) {
            uint32_t& md = g.md_client[ino - ino_diag];
            if (md == h->id) md = 0;
            event("close", file_names[ino], h->id, 0, 0, 0);
        }
        if (h->poll_handle != nullptr) fuse_pollhandle_destroy(h->poll_handle);
        g.handles.erase(h->id);
    }
    fuse_reply_err(req, 0);
}

void op_read(fuse_req_t req, fuse_ino_t ino, size_t size, off_t, struct fuse_file_info* fi) {
    Guard guard;
    Handle* h = handle_of(fi);
    if (h == nullptr) {
        fuse_reply_err(req, EBADF);
        return;
    }
    if (ino == ino_wake_lock || ino == ino_wake_unlock) {
        std::string held;
        for (const std::string& name : g.wake_locks) held += name + " ";
        if (!held.empty()) held.back() = '\n';
        fuse_reply_buf(req, held.data(), held.size() < size ? held.size() : size);
        return;
    }
    if (!is_diag(ino)) {
        fuse_reply_buf(req, nullptr, 0);
        return;
    }
    const Device device = device_of(ino);
    Stream& s = g.streams[static_cast<int>(device)];
    if (s.fail_read != 0) {
        const int error = s.fail_read;
        s.fail_read = 0;
        event("read", file_names[ino], h->id, 0, 0, -error);
        fuse_reply_err(req, error);
        return;
    }
    const uint64_t now = simphone::monotonic_us();
    if (!h->responses.empty()) {
        if (!response_ready(*h, now)) {
            fuse_reply_buf(req, nullptr, 0);
            return;
        }
        std::string bytes = std::move(h->responses.front().bytes);
        h->responses.pop_front();
        if (bytes.size() > size) bytes.resize(size);
        journal(device, ChunkKind::response, h->id, bytes);
        fuse_reply_buf(req, bytes.data(), bytes.size());
        return;
    }
    const bool gets_stream = ino == ino_extdiag || h->mode == mode_memory_device;
    if (gets_stream && delivering(s)) {
        if (s.queue.empty() && s.rate < 0) queue_chunk(s);
        if (!s.queue.empty()) {
            std::string bytes = take_stream(s, size);
            journal(device, ChunkKind::stream, h->id, bytes);
            fuse_reply_buf(req, bytes.data(), bytes.size());
            return;
        }
    }
    if (h->notify_pending) {
        h->notify_pending = false;
        static const uint8_t note_payload[] = {0x4B, 0x12, 0x00, 0x00};
        std::string note;
        simphone::hdlc_encode(note_payload, sizeof note_payload, &note);
        if (note.size() > size) note.resize(size);
        journal(device, ChunkKind::notification, h->id, note);
        fuse_reply_buf(req, note.data(), note.size());
        return;
    }
    fuse_reply_buf(req, nullptr, 0);
}

void op_write(fuse_req_t req, fuse_ino_t ino, const char* buf, size_t size, off_t, struct fuse_file_info* fi) {
    Guard guard;
    Handle* h = handle_of(fi);
    if (h == nullptr) {
        fuse_reply_err(req, EBADF);
        return;
    }
    const std::string bytes(buf, size);
    if (ino == ino_wake_lock || ino == ino_wake_unlock) {
        std::string name = bytes;
        while (!name.empty() && (name.back() == '\n' || name.back() == '\0')) name.pop_back();
        if (ino == ino_wake_lock) {
            g.wake_locks.insert(name);
        } else {
            g.wake_locks.erase(name);
        }
        event(ino == ino_wake_lock ? "wake_lock" : "wake_unlock", "-", 0, 0, 0, static_cast<long long>(size), bytes);
        fuse_reply_write(req, size);
        return;
    }
    if (!is_diag(ino)) {
        fuse_reply_err(req, EBADF);
        return;
    }
    Stream& s = g.streams[ino - ino_diag];
    if (s.fail_write != 0) {
        const int error = s.fail_write;
        s.fail_write = 0;
        event("request", file_names[ino], h->id, 0, 0, -error, bytes);
        fuse_reply_err(req, error);
        return;
    }
    const bool typed =
        size >= 5 && memcmp(buf, "\x20\x00\x00\x00", 4) == 0 && static_cast<uint8_t>(buf[size - 1]) == dm::flag_byte;
    if (!typed) {
        event("request", file_names[ino], h->id, 0, 0, -EINVAL, bytes);
        fuse_reply_err(req, EINVAL);
        return;
    }
    event("request", file_names[ino], h->id, 0, 0, static_cast<long long>(size), bytes);
    // A control device that does not log speaks to the external modem.
    Stream& modem = g.streams[static_cast<int>(ino == ino_diag && h->mode != mode_memory_device ? Device::extdiag
                                                                                                : device_of(ino))];
    bool is_diag = false;
    Response response;
    response.bytes = simphone::answer_request(bytes.substr(4), &modem.mask, &is_diag);
    if (is_diag) log_answer(modem, response.bytes);
    response.never = s.response == ResponseMode::never;
    response.ready_us = simphone::monotonic_us();
    if (s.response == ResponseMode::delayed) {
        response.ready_us += static_cast<uint64_t>(s.response_delay_ms) * 1000u;
        poke_engine();
    }
    h->responses.push_back(response);
    if (s.response == ResponseMode::normal) wake_handle(*h);
    fuse_reply_write(req, size);
}

void op_ioctl(fuse_req_t req, fuse_ino_t ino, unsigned int cmd, void* arg, struct fuse_file_info* fi, unsigned flags,
              const void*, size_t, size_t) {
    Guard guard;
    Handle* h = handle_of(fi);
    const uintptr_t value = reinterpret_cast<uintptr_t>(arg);
    const uint32_t id = h != nullptr ? h->id : 0;
    const bool compat = (flags & FUSE_IOCTL_COMPAT) != 0;
    if (h == nullptr || !is_diag(ino) || cmd != switch_logging) {
        event("ioctl", file_names[ino], id, cmd, static_cast<long long>(value), -ENOTTY, compat ? "compat" : "");
        fuse_reply_err(req, ENOTTY);
        return;
    }
    Stream& s = g.streams[ino - ino_diag];
    int error = 0;
    if (s.fail_ioctl != 0) {
        error = s.fail_ioctl;
        s.fail_ioctl = 0;
    } else if (value != mode_usb && value != mode_memory_device) {
        error = EINVAL;
    }
    event("ioctl", file_names[ino], id, cmd, static_cast<long long>(value), -error, compat ? "compat" : "");
    if (error != 0) {
        fuse_reply_err(req, error);
        return;
    }
    uint32_t& md = g.md_client[ino - ino_diag];
    h->mode = static_cast<int>(value);
    if (h->mode == mode_memory_device) {
        md = h->id;
        h->notify_pending = false;
        poke_engine();
        wake_handle(*h);
    } else if (md == h->id) {
        md = 0;
    }
    fuse_reply_ioctl(req, 0, nullptr, 0);
}

void op_poll(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info* fi, struct fuse_pollhandle* ph) {
    Guard guard;
    Handle* h = handle_of(fi);
    if (h == nullptr) {
        if (ph != nullptr) fuse_pollhandle_destroy(ph);
        fuse_reply_err(req, EBADF);
        return;
    }
    if (ph != nullptr) {
        if (h->poll_handle != nullptr) fuse_pollhandle_destroy(h->poll_handle);
        h->poll_handle = ph;
    }
    unsigned revents = POLLOUT | POLLWRNORM;
    if (!is_diag(ino)) {
        revents |= POLLIN | POLLRDNORM;
    } else {
        if (handle_readable(*h, simphone::monotonic_us())) revents |= POLLIN | POLLRDNORM;
        revents |= g.streams[ino - ino_diag].poll_fault;
    }
    fuse_reply_poll(req, revents);
}

// ---- Engine: timed streams, delayed responses and the trace pty -----------

void update_trace_raw() {
    struct termios attrs;
    if (g.pty_slave < 0 || tcgetattr(g.pty_slave, &attrs) != 0) return;
    const bool raw = (attrs.c_lflag & (ICANON | ECHO)) == 0;
    if (raw != g.trace_raw) {
        g.trace_raw = raw;
        event("trace_raw", "trace", 0, raw ? 1 : 0, 0, 0);
    }
}

void* engine_main(void*) {
    std::string from_master;
    for (;;) {
        struct pollfd fds[2];
        int timeout_ms = -1;
        {
            Guard guard;
            if (g.stopping) break;
            if (g.trace_hangup && g.pty_master >= 0) {
                // Closing the master hangs up every open file of the terminal:
                // the daemon's reads return 0 from then on, its polls say
                // readable and hung up.
                close(g.pty_master);
                close(g.pty_slave);
                g.pty_master = g.pty_slave = -1;
                event("hangup", "trace", 0, 0, 0, 0);
            }
            update_trace_raw();
            const uint64_t now = simphone::monotonic_us();
            uint64_t next = 0;
            for (Stream& s : g.streams) {
                uint64_t due = generate_due(s, now);
                if (due != 0 && (next == 0 || due < next)) next = due;
            }
            for (auto& [id, handle] : g.handles) {
                if (handle.responses.empty()) continue;
                const Response& front = handle.responses.front();
                if (front.never) continue;
                if (front.ready_us <= now) {
                    wake_handle(handle);
                } else if (next == 0 || front.ready_us < next) {
                    next = front.ready_us;
                }
            }
            Stream& trace = g.streams[static_cast<int>(Device::trace)];
            if (!trace.queue.empty() && !trace.paused && !g.trace_raw && g.pty_master >= 0) {
                // Nothing tells us when the terminal becomes raw; look again soon.
                if (next == 0 || now + 5000 < next) next = now + 5000;
            }
            if (next != 0) timeout_ms = next <= now ? 0 : static_cast<int>((next - now + 999) / 1000);
            fds[0] = {g.wake_fd, POLLIN, 0};
            fds[1] = {g.pty_master, POLLIN, 0};
            if (delivering(trace) && !trace.queue.empty()) fds[1].events |= POLLOUT;
        }
        int ready = poll(fds, 2, timeout_ms);
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        if (fds[0].revents & POLLIN) {
            uint64_t count;
            ssize_t ignored = read(g.wake_fd, &count, sizeof count);
            (void)ignored;
        }
        if (fds[1].revents & POLLIN) {
            char buffer[4096];
            ssize_t got = read(g.pty_master, buffer, sizeof buffer);
            if (got > 0) {
                Guard guard;
                event("trace_in", "trace", 0, 0, 0, got, std::string(buffer, static_cast<size_t>(got)));
            }
        }
        if (fds[1].revents & POLLOUT) {
            Guard guard;
            Stream& trace = g.streams[static_cast<int>(Device::trace)];
            if (!trace.queue.empty() && delivering(trace)) {
                const std::string& front = trace.queue.front();
                ssize_t written = write(g.pty_master, front.data(), front.size());
                if (written > 0) {
                    std::string bytes = take_stream(trace, static_cast<size_t>(written));
                    journal(Device::trace, ChunkKind::stream, 0, bytes);
                }
            }
        }
    }
    return nullptr;
}

// ---- Control ---------------------------------------------------------------

const char* const control_help =
    "commands (device: diag, diag_mdm, extdiag, trace, all):\n"
    "  rate <dev> <bytes/s>        timed stream; 0 = bursts only; -1 = a chunk for every read\n"
    "  chunk <dev> <bytes>         chunk size (512 to 32768)\n"
    "  header <dev> 0|4            4 = every chunk starts with a 4-byte type word\n"
    "  burst <dev> <count>         queue count chunks now\n"
    "  pause <dev> | resume <dev>  hold back or release the stream\n"
    "  response <dev> normal | never | delay <ms>\n"
    "  fail_read|fail_write|fail_ioctl <dev> <errno>   the next one fails\n"
    "  poll_fault <dev> none|err|hup\n"
    "  hangup trace                the terminal's far side goes away for good\n"
    "  node smd0|sdiotty0 ready|never|after <ms>\n"
    "  stats <dev> | locks | ping | quit\n";

bool parse_long(const std::string& text, long long* value) {
    char* end = nullptr;
    errno = 0;
    *value = strtoll(text.c_str(), &end, 10);
    return !text.empty() && *end == '\0' && errno == 0;
}

std::string run_command(const std::string& line, bool* quit) {
    std::istringstream in(line);
    std::vector<std::string> w;
    for (std::string word; in >> word;) w.push_back(word);
    if (w.empty()) return "err empty command";
    const std::string& cmd = w[0];
    if (cmd == "ping") return "ok";
    if (cmd == "help") {
        fputs(control_help, stderr);
        return "ok";
    }
    if (cmd == "quit") {
        *quit = true;
        return "ok";
    }
    Guard guard;
    if (cmd == "locks") {
        std::string out = "ok";
        for (const std::string& name : g.wake_locks) out += " " + name;
        return out;
    }
    if (cmd == "node") {
        if (w.size() < 3 || (w[1] != "smd0" && w[1] != "sdiotty0")) return "err usage: node smd0|sdiotty0 ...";
        uint64_t& ready = g.node_ready_us[w[1] == "smd0" ? 0 : 1];
        long long ms = 0;
        if (w[2] == "ready") {
            ready = 0;
        } else if (w[2] == "never") {
            ready = UINT64_MAX;
        } else if (w[2] == "after" && w.size() == 4 && parse_long(w[3], &ms) && ms >= 0) {
            ready = simphone::monotonic_us() + static_cast<uint64_t>(ms) * 1000u;
        } else {
            return "err usage: node <name> ready|never|after <ms>";
        }
        return "ok";
    }
    if (cmd == "hangup") {
        if (w.size() != 2 || w[1] != "trace") return "err usage: hangup trace";
        g.trace_hangup = true;
        poke_engine();
        return "ok";
    }
    if (w.size() < 2) return "err missing device";
    std::vector<Stream*> targets;
    if (w[1] == "all") {
        for (Stream& s : g.streams) targets.push_back(&s);
    } else {
        Device device;
        if (!simphone::parse_device(w[1], &device)) return "err unknown device " + w[1];
        targets.push_back(&g.streams[static_cast<int>(device)]);
    }
    long long value = 0;
    const bool has_value = w.size() >= 3 && parse_long(w[2], &value);
    std::string reply = "ok";
    for (Stream* s : targets) {
        if (cmd == "rate" && has_value && value >= -1) {
            s->rate = value;
            s->was_delivering = false;
        } else if (cmd == "chunk" && has_value) {
            s->chunk = static_cast<size_t>(value < static_cast<long long>(min_chunk)   ? min_chunk
                                           : value > static_cast<long long>(max_chunk) ? max_chunk
                                                                                       : value);
            s->was_delivering = false;
        } else if (cmd == "header" && has_value && (value == 0 || value == 4)) {
            s->header = static_cast<int>(value);
        } else if (cmd == "burst" && has_value && value >= 0) {
            for (long long i = 0; i < value; ++i) queue_chunk(*s);
        } else if (cmd == "pause") {
            s->paused = true;
        } else if (cmd == "resume") {
            s->paused = false;
            // A reader that drained the external modem while it was held back
            // waits for news on the control device; what was held is news.
            if (s->device == Device::extdiag && !s->queue.empty()) announce_external();
            wake_stream_readers(*s);
        } else if (cmd == "response" && w.size() >= 3) {
            if (w[2] == "normal") {
                s->response = ResponseMode::normal;
                // Answers held back so far are due now.
                const uint64_t now = simphone::monotonic_us();
                for (auto& [id, handle] : g.handles) {
                    if (!is_diag(handle.ino) || &g.streams[handle.ino - ino_diag] != s) continue;
                    for (Response& r : handle.responses) {
                        r.never = false;
                        r.ready_us = now;
                    }
                    wake_handle(handle);
                }
            } else if (w[2] == "never") {
                s->response = ResponseMode::never;
            } else if (w[2] == "delay" && w.size() == 4 && parse_long(w[3], &value) && value >= 0) {
                s->response = ResponseMode::delayed;
                s->response_delay_ms = static_cast<int>(value);
            } else {
                return "err usage: response <dev> normal|never|delay <ms>";
            }
        } else if ((cmd == "fail_read" || cmd == "fail_write" || cmd == "fail_ioctl") && has_value && value >= 0) {
            int& slot = cmd == "fail_read" ? s->fail_read : cmd == "fail_write" ? s->fail_write : s->fail_ioctl;
            slot = static_cast<int>(value);
        } else if (cmd == "poll_fault" && w.size() >= 3) {
            if (w[2] == "none") {
                s->poll_fault = 0;
            } else if (w[2] == "err") {
                s->poll_fault = POLLERR;
            } else if (w[2] == "hup") {
                s->poll_fault = POLLHUP;
            } else {
                return "err usage: poll_fault <dev> none|err|hup";
            }
            wake_stream_readers(*s);
        } else if (cmd == "stats") {
            char text[256];
            snprintf(text, sizeof text,
                     " queued=%zu handed_bytes=%llu handed_chunks=%llu overruns=%llu to_usb=%llu next_sequence=%u ",
                     s->queued, s->handed_bytes, s->handed_chunks, s->overruns, s->to_usb, s->sequence);
            reply += text;
        } else {
            return "err bad command: " + line;
        }
    }
    poke_engine();
    return reply;
}

int open_output(const std::string& path) {
    return open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
}

bool open_pty() {
    g.pty_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (g.pty_master < 0 || grantpt(g.pty_master) != 0 || unlockpt(g.pty_master) != 0) return false;
    // NOLINTNEXTLINE(concurrency-mt-unsafe): before the driver starts its threads
    const char* slave = ptsname(g.pty_master);
    // Holding the slave open keeps the master from seeing a hang-up whenever
    // the daemon closes its end.
    g.pty_slave = slave != nullptr ? open(slave, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    return g.pty_slave >= 0;
}

void abort_connection(dev_t device) {
    char path[96];
    snprintf(path, sizeof path, "/sys/fs/fuse/connections/%u/abort", minor(device));
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd >= 0) {
        write_all(fd, "1", 1);
        close(fd);
    }
}

void* session_main(void*) {
    fuse_session_loop(g.session);
    return nullptr;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s <mountpoint> <run-dir>\n%s", argv[0], control_help);
        return 2;
    }
    const std::string mountpoint = argv[1];
    const std::string run_dir = argv[2];
    // Our parent is the test that owns us; do not outlive it.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    signal(SIGPIPE, SIG_IGN);
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    if (getppid() == 1) return 1;  // the parent died before the death signal was armed

    for (int i = 0; i < simphone::device_count; ++i) g.streams[i].device = static_cast<Device>(i);
    g.journal_index_fd = open_output(run_dir + "/" + simphone::journal_index_name);
    g.journal_data_fd = open_output(run_dir + "/" + simphone::journal_data_name);
    g.events_fd = open_output(run_dir + "/" + simphone::events_name);
    g.wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (g.journal_index_fd < 0 || g.journal_data_fd < 0 || g.events_fd < 0 || g.wake_fd < 0) {
        perror("simphone_driver: run directory");
        return 1;
    }
    if (!open_pty()) {
        perror("simphone_driver: pty");
        return 1;
    }

    const char* fuse_argv[] = {argv[0], "-o", "fsname=simphone,subtype=simphone"};
    struct fuse_args args = FUSE_ARGS_INIT(3, const_cast<char**>(fuse_argv));
    struct fuse_lowlevel_ops ops;
    memset(&ops, 0, sizeof ops);
    ops.lookup = op_lookup;
    ops.getattr = op_getattr;
    ops.setattr = op_setattr;
    ops.readdir = op_readdir;
    ops.open = op_open;
    ops.release = op_release;
    ops.read = op_read;
    ops.write = op_write;
    ops.ioctl = op_ioctl;
    ops.poll = op_poll;
    g.session = fuse_session_new(&args, &ops, sizeof ops, nullptr);
    if (g.session == nullptr || fuse_session_mount(g.session, mountpoint.c_str()) != 0) {
        fprintf(stderr, "simphone_driver: cannot mount %s\n", mountpoint.c_str());
        return 1;
    }
    pthread_t session_thread, engine_thread;
    pthread_create(&session_thread, nullptr, session_main, nullptr);
    pthread_create(&engine_thread, nullptr, engine_main, nullptr);
    // Only now: stat asks our own session, which must be running to answer.
    struct stat mounted;
    const bool have_device = stat(mountpoint.c_str(), &mounted) == 0;

    // NOLINTNEXTLINE(concurrency-mt-unsafe): no other thread calls ptsname
    printf("ready %s\n", ptsname(g.pty_master));
    fflush(stdout);

    int signals = signalfd(-1, &stop_signals, SFD_CLOEXEC);
    std::string pending;
    bool quit = false;
    while (!quit) {
        struct pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {signals, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents & POLLIN) break;
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            char buffer[4096];
            ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            pending.append(buffer, static_cast<size_t>(got));
            size_t end;
            while (!quit && (end = pending.find('\n')) != std::string::npos) {
                std::string line = pending.substr(0, end);
                pending.erase(0, end + 1);
                std::string reply = run_command(line, &quit) + "\n";
                write_all(STDOUT_FILENO, reply.data(), reply.size());
            }
        }
    }

    {
        Guard guard;
        g.stopping = true;
    }
    poke_engine();
    pthread_join(engine_thread, nullptr);
    // End the session loop before its descriptor is closed: aborting the
    // connection answers whoever still holds a file (a sandbox that outlived
    // us) with ENOTCONN instead of a hang, and detaching the mount ends the
    // connection once nobody uses it.
    fuse_session_exit(g.session);
    if (have_device) abort_connection(mounted.st_dev);
    umount2(mountpoint.c_str(), MNT_DETACH);
    struct timespec limit;
    clock_gettime(CLOCK_REALTIME, &limit);
    limit.tv_sec += 2;
    if (pthread_timedjoin_np(session_thread, nullptr, &limit) != 0) _exit(0);
    fuse_session_unmount(g.session);
    fuse_session_destroy(g.session);
    return 0;
}
