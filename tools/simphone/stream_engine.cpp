#include "stream_engine.h"

#define FUSE_USE_VERSION 35
#include <fuse_lowlevel.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/uio.h>
#include <termios.h>
#include <unistd.h>

#include "dm/packet.h"
#include "platform/fd_io.h"
#include "signalling_set.h"

namespace simphone {

const char* const file_names[ino_end] = {"",     "",        "diag", "diag_mdm", "extdiag", "wake_lock", "wake_unlock",
                                         "smd0", "sdiotty0"};

namespace {

constexpr size_t queue_limit = 16u << 20;
constexpr size_t max_chunk = 32768;
constexpr unsigned switch_logging = 7;
constexpr unsigned lsm_deinit = 9;
constexpr uint32_t deinit_type = 16;
constexpr uint32_t hdlc_support_type = 0x1000;
constexpr int32_t first_mdm_token = -1;

void put_le32(std::string* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>(value >> (8 * i)));
}

uint32_t le32_at(const void* p) { return dm::get_le32(static_cast<const uint8_t*>(p)); }

// Whether the external modem's data comes through /dev/diag, behind its
// token, instead of through a device of its own.
bool mdm_through_diag(const DriverState& state) {
    return state.generation != nullptr && !state.generation->own_mdm_device;
}

// Whether reads of the device are laid out as the named generation's are
// (the external pair keeps its own contract on every generation).
bool entry_layout(const DriverState& state, uint64_t ino) {
    return state.generation != nullptr && (ino == ino_diag || ino == ino_diag_mdm);
}

// The file whose logging reader takes a modem's stream.
uint64_t reader_ino(const DriverState& state, Device device) {
    if (device == Device::diag_mdm && mdm_through_diag(state)) return ino_diag;
    return ino_diag + static_cast<int>(device);
}

// The handle that takes a modem's stream, or 0. A 4.14 session takes the
// external modem only when its device mask asks for it.
uint32_t md_owner(const DriverState& state, Device device) {
    if (device != Device::diag_mdm || !mdm_through_diag(state)) return state.md_client[static_cast<int>(device)];
    const uint32_t owner = state.md_client[0];
    if (owner == 0 || !state.generation->process_sessions) return owner;
    auto found = state.handles.find(owner);
    return found != state.handles.end() && (found->second.device_mask & 0x2) != 0 ? owner : 0;
}

void write_whole(int fd, const void* data, size_t length) {
    size_t written;
    (void)write_all(fd, static_cast<const char*>(data), length, &written);
}

void journal(DriverState& state, Device device, ChunkKind kind, uint32_t handle, const std::string& bytes) {
    Records& r = state.records;
    JournalRecord record;
    record.time_us = monotonic_us();
    record.offset = r.journal_offset;
    record.length = static_cast<uint32_t>(bytes.size());
    record.device = device;
    record.kind = kind;
    record.handle = handle;
    write_whole(r.journal_data_fd, bytes.data(), bytes.size());
    r.journal_offset += bytes.size();
    uint8_t encoded[journal_record_size];
    encode_journal_record(record, encoded);
    write_whole(r.journal_index_fd, encoded, sizeof encoded);
}

// Whether the stream of a device currently flows to a reader.
bool delivering(const DriverState& state, const Stream& s) {
    if (s.paused) return false;
    switch (s.device) {
        case Device::diag:
        case Device::diag_mdm:
            return md_owner(state, s.device) != 0;
        case Device::extdiag:
            return true;
        case Device::trace:
            return state.pty_master >= 0 && state.trace_raw;
    }
    return false;
}

// Whether the modem has anything to log: a mask can switch every code off.
bool logs_anything(const Stream& s) { return !s.mask.configured || !s.mask.enabled.empty(); }

// A named generation's modems fill driver buffers of bare frames: the read
// puts the words around them.
std::string chunk_header(const DriverState& state, const Stream& s) {
    std::string header;
    if (state.generation != nullptr && (s.device == Device::diag || s.device == Device::diag_mdm)) return header;
    if (s.header == 4) {
        for (int i = 0; i < 4; ++i) header.push_back(static_cast<char>(stream_type_word >> (8 * i)));
    }
    return header;
}

// Whole frames up to the chunk size, at least one; empty when the mask has
// switched every code off.
std::string build_chunk(const DriverState& state, Stream& s) {
    if (!logs_anything(s)) return std::string();
    std::string chunk = chunk_header(state, s);
    const size_t header = chunk.size();
    const uint64_t now = diag_now();
    for (;;) {
        uint16_t code = log_code_of(s.device);
        if (s.mask.configured) code = s.mask.enabled[s.next_code % s.mask.enabled.size()];
        std::string frame = make_log_frame(code, s.sequence, now);
        if (chunk.size() > header && chunk.size() + frame.size() > chunk_limit(state, s)) break;
        chunk += frame;
        ++s.sequence;
        ++s.next_code;
    }
    return chunk;
}

// Whether the stream takes another chunk now; counts the chunks that go
// elsewhere or are lost.
bool stream_takes(DriverState& state, Stream& s) {
    // Without a memory-device reader the modem's data goes to the USB port.
    if ((s.device == Device::diag || s.device == Device::diag_mdm) && md_owner(state, s.device) == 0) {
        ++s.to_usb;
        return false;
    }
    if (s.queued >= queue_limit) {
        if (s.overruns++ == 0) record_event(state, "overrun", device_name(s.device), 0, 0, 0, 0);
        return false;
    }
    return true;
}

void push_chunk(DriverState& state, Stream& s, std::string chunk) {
    const bool was_empty = s.queue.empty();
    s.queue.push_back(std::move(chunk));
    s.queued += s.queue.back().size();
    if (s.device == Device::extdiag && was_empty) announce_external(state);
    wake_stream_readers(state, s);
}

// A modem in memory-device mode logs its answers too, so a capture holds
// the answers to its mask.
void log_answer(DriverState& state, Stream& s, const std::string& answer) {
    if (stream_takes(state, s)) push_chunk(state, s, chunk_header(state, s) + answer);
}

// Produces the chunks a timed stream owes by now; returns when the next is due
// (0 when none is scheduled).
uint64_t generate_due(DriverState& state, Stream& s, uint64_t now) {
    const bool flowing = delivering(state, s) && s.rate > 0 && logs_anything(s);
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
        queue_chunk(state, s);
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

bool gets_stream(const Handle& h) { return h.ino == ino_extdiag || h.mode == mode_memory_device; }

// The streams whose entries a read of h on a named generation hands out:
// the device's own modem, then the external one where it comes through
// /dev/diag, as the kernel walks its local buffers before the bridges'.
int entry_sources(DriverState& state, const Handle& h, Stream* sources[2]) {
    int n = 0;
    for (Device device : {Device::diag, Device::diag_mdm}) {
        if (reader_ino(state, device) == h.ino && md_owner(state, device) == h.id)
            sources[n++] = &state.streams[static_cast<int>(device)];
    }
    return n;
}

bool entries_waiting(const DriverState& state, const Handle& h) {
    Stream* sources[2];
    const int n = entry_sources(const_cast<DriverState&>(state), h, sources);
    for (int i = 0; i < n; ++i) {
        const Stream& s = *sources[i];
        if (delivering(state, s) && (!s.queue.empty() || (s.rate < 0 && logs_anything(s)))) return true;
    }
    return false;
}

bool handle_readable(const DriverState& state, const Handle& h, uint64_t now) {
    if (!h.control.empty() || h.deinit_pending) return true;
    if (!h.responses.empty()) return response_ready(h, now);
    if (entry_layout(state, h.ino)) return entries_waiting(state, h) || h.notify_pending;
    const Stream& s = state.streams[static_cast<int>(device_of(h.ino))];
    if (gets_stream(h) && delivering(state, s) && (!s.queue.empty() || (s.rate < 0 && logs_anything(s)))) {
        return true;
    }
    return h.notify_pending;
}

void update_trace_raw(DriverState& state) {
    struct termios attrs;
    if (state.pty_slave < 0 || tcgetattr(state.pty_slave, &attrs) != 0) return;
    const bool raw = (attrs.c_lflag & (ICANON | ECHO)) == 0;
    if (raw != state.trace_raw) {
        state.trace_raw = raw;
        record_event(state, "trace_raw", "trace", 0, raw ? 1 : 0, 0, 0);
    }
}

// One look of the engine: hangs up, produces what is due, wakes the readers
// of answers that are due. Returns the poll timeout until the next look, and
// fills what to poll the terminal for.
int engine_step(DriverState& state, struct pollfd* terminal) {
    if (state.trace_hangup && state.pty_master >= 0) {
        // Closing the master hangs up every open file of the terminal:
        // the daemon's reads return 0 from then on, its polls say
        // readable and hung up.
        close(state.pty_master);
        close(state.pty_slave);
        state.pty_master = state.pty_slave = -1;
        record_event(state, "hangup", "trace", 0, 0, 0, 0);
    }
    update_trace_raw(state);
    const uint64_t now = monotonic_us();
    uint64_t next = 0;
    for (Stream& s : state.streams) {
        uint64_t due = generate_due(state, s, now);
        if (due != 0 && (next == 0 || due < next)) next = due;
    }
    for (auto& [id, handle] : state.handles) {
        if (handle.responses.empty()) continue;
        const Response& front = handle.responses.front();
        if (front.never) continue;
        if (front.ready_us <= now) {
            wake_handle(handle);
        } else if (next == 0 || front.ready_us < next) {
            next = front.ready_us;
        }
    }
    Stream& trace = state.streams[static_cast<int>(Device::trace)];
    if (!trace.queue.empty() && !trace.paused && !state.trace_raw && state.pty_master >= 0) {
        // Nothing tells us when the terminal becomes raw; look again soon.
        if (next == 0 || now + 5000 < next) next = now + 5000;
    }
    *terminal = {state.pty_master, static_cast<short>(state.trace_deaf ? 0 : POLLIN), 0};
    if (delivering(state, trace) && !trace.queue.empty()) terminal->events |= POLLOUT;
    if (next == 0) return -1;
    return next <= now ? 0 : static_cast<int>((next - now + 999) / 1000);
}

// Hands the terminal what it takes of the trace stream.
void feed_terminal(DriverState& state) {
    Stream& trace = state.streams[static_cast<int>(Device::trace)];
    if (trace.queue.empty() || !delivering(state, trace)) return;
    const std::string& front = trace.queue.front();
    ssize_t written = write(state.pty_master, front.data(), front.size());
    if (written > 0) {
        std::string bytes = take_stream(trace, static_cast<size_t>(written));
        journal(state, Device::trace, ChunkKind::stream, 0, bytes);
    }
}

// What the driver has a client read right after open() and after every
// change of the masks: the tables, which are no log data. Their bodies
// stand for the masks; nothing reads them.
void queue_mask_tables(const DriverState& state, Handle& h) {
    const Stream& modem = state.streams[static_cast<int>(device_of(h.ino))];
    auto table = [&h](uint32_t type, bool dci) {
        std::string bytes;
        put_le32(&bytes, type);
        if (dci) put_le32(&bytes, 0);  // DCI clients
        bytes.append(16, '\0');
        h.control.push_back(bytes);
    };
    table(1, false);
    table(2, false);
    put_le32(&h.control.back(), static_cast<uint32_t>(modem.mask.enabled.size()));
    table(4, false);
    if (state.generation->dci_tables) {
        table(0x100, true);
        table(0x200, true);
    }
    wake_handle(h);
}

void queue_tables_for_all(DriverState& state, uint64_t ino) {
    for (auto& [id, handle] : state.handles) {
        if (handle.ino == ino) queue_mask_tables(state, handle);
    }
}

bool is_mask_request(const std::string& framed) {
    std::string payload;
    if (dm::unframe(reinterpret_cast<const uint8_t*>(framed.data()), framed.size(), &payload) !=
        dm::FrameStatus::good) {
        return false;
    }
    const dm::MaskRequest r = dm::decode_request(reinterpret_cast<const uint8_t*>(payload.data()), payload.size());
    return r.problem == nullptr &&
           (r.kind == dm::RequestKind::log_disable_all || r.kind == dm::RequestKind::log_set_mask ||
            r.kind == dm::RequestKind::msg_set_all || r.kind == dm::RequestKind::event_report);
}

// The commands the driver passes on in memory-device mode; anything else is
// refused with EFAULT, unanswered.
bool request_allowed(const std::string& framed, bool newer) {
    std::string p;
    if (dm::unframe(reinterpret_cast<const uint8_t*>(framed.data()), framed.size(), &p) != dm::FrameStatus::good ||
        p.empty()) {
        return false;
    }
    const uint8_t command = static_cast<uint8_t>(p[0]);
    for (uint8_t plain : {0x00, 0x0C, 0x1C, 0x1D, 0x60, 0x63, 0x73, 0x7C, 0x7D, 0x81, 0x82}) {
        if (command == plain) return true;
    }
    if (command != 0x4B || p.size() < 4) return false;
    const unsigned code = static_cast<uint8_t>(p[2]) | static_cast<unsigned>(static_cast<uint8_t>(p[3])) << 8;
    switch (static_cast<uint8_t>(p[1])) {
        case 0x04:
            return code == 0 || code == 0x0F;
        case 0x08:
        case 0x13:
            return code == 0 || code == 1;
        case 0x09:
        case 0x0F:
            return code == 0;
        case 0x0C:
            return code == 2 || code == 0x100;
        case 0x12:
            return code == 0 || code == 6 || code == 7 ||
                   (newer && (code == 0x21B || code == 0x21C || code == 0x81B || code == 0x80C));
        default:
            return false;
    }
}

void take_entry(Stream& s) {
    s.queued -= s.queue.front().size();
    s.handed_bytes += s.queue.front().size();
    ++s.handed_chunks;
    s.queue.pop_front();
}

// [int32 type 32][int32 count] and the entries, each [token][length][data]
// with the token only for the external modem's. From late 3.10 on only
// whole entries go, by the kernel's own test (which counts 8 bytes for a
// local entry's 4); what does not fit waits, and a read that takes nothing
// still returns the two words. Before, the copy stops wherever the buffer
// ends, a length word maybe without its data, and the count word is not
// written: the reader finds there what its buffer held, here the count of
// its last read. The entry cut short is handed out again whole.
int read_entries(DriverState& state, Handle& h, size_t size, std::string* out) {
    const Generation& g = *state.generation;
    Stream* sources[2];
    const int n = entry_sources(state, h, sources);
    bool waiting = false;
    for (int i = 0; i < n; ++i) {
        Stream& s = *sources[i];
        if (!delivering(state, s)) continue;
        if (s.queue.empty() && s.rate < 0) queue_chunk(state, s);
        waiting = waiting || !s.queue.empty();
    }
    if (!waiting) return 0;
    if (size < 8) return EFAULT;
    std::string read;
    put_le32(&read, stream_type_word);
    put_le32(&read, 0);
    int32_t count = 0;
    bool cut = false;
    for (int i = 0; i < n && !cut; ++i) {
        Stream& s = *sources[i];
        const bool remote = s.device != device_of(h.ino);
        while (delivering(state, s) && !s.queue.empty()) {
            const size_t length = s.queue.front().size();
            if (g.whole_entries) {
                if (read.size() + (remote ? 12 : 8) + length >= size) break;
                if (remote) put_le32(&read, static_cast<uint32_t>(first_mdm_token));
            } else if (read.size() + 4 > size) {
                cut = true;
                break;
            }
            put_le32(&read, static_cast<uint32_t>(length));
            if (read.size() + length > size) {
                cut = true;
                break;
            }
            read += s.queue.front();
            take_entry(s);
            ++count;
        }
    }
    const int32_t count_word = cut ? h.last_count : count;
    if (!cut) h.last_count = count;
    for (int i = 0; i < 4; ++i) read[4 + i] = static_cast<char>(static_cast<uint32_t>(count_word) >> (8 * i));
    journal(state, device_of(h.ino), ChunkKind::stream, h.id, read);
    *out = std::move(read);
    return 0;
}

// The reads that come before any data: the deinit word, which ends the
// client's session, and the tables.
bool read_control(DriverState& state, Handle& h, size_t size, std::string* out) {
    if (h.deinit_pending) {
        h.deinit_pending = false;
        put_le32(out, deinit_type);
        uint32_t& md = state.md_client[h.ino - ino_diag];
        if (md == h.id) md = 0;
        h.mode = mode_usb;
    } else if (!h.control.empty()) {
        *out = std::move(h.control.front());
        h.control.pop_front();
    } else {
        return false;
    }
    if (out->size() > size) out->resize(size);
    journal(state, device_of(h.ino), ChunkKind::control, h.id, *out);
    return true;
}

// Whether the process has the memory-device session of the device (4.14
// keys sessions by process).
bool has_session(const DriverState& state, uint64_t ino, pid_t tgid) {
    auto found = state.handles.find(state.md_client[ino - ino_diag]);
    return found != state.handles.end() && found->second.tgid == tgid;
}

bool read_caller_memory(pid_t tid, uintptr_t address, void* out, size_t size) {
    struct iovec local = {out, size};
    struct iovec remote = {reinterpret_cast<void*>(address), size};
    return process_vm_readv(tid, &local, 1, &remote, 1, 0) == static_cast<ssize_t>(size);
}

}  // namespace

void record_event(DriverState& state, const char* kind, const char* device, uint32_t handle, long long a, long long b,
                  long long result, const std::string& data) {
    Locked locked(state.records.lock);
    char head[192];
    int n = snprintf(head, sizeof head, "%llu %s %s %u %lld %lld %lld ",
                     static_cast<unsigned long long>(monotonic_us()), kind, device, handle, a, b, result);
    if (n < 0) return;
    std::string line(head, static_cast<size_t>(n) < sizeof head ? static_cast<size_t>(n) : sizeof head - 1);
    line += data.empty() ? std::string("-") : hex_encode(data);
    line += '\n';
    write_whole(state.records.events_fd, line.data(), line.size());
}

void poke_engine(DriverState& state) {
    uint64_t one = 1;
    write_whole(state.wake_fd, &one, sizeof one);
}

void wake_handle(Handle& handle) {
    if (handle.poll_handle != nullptr) fuse_lowlevel_notify_poll(handle.poll_handle);
}

Handle* find_handle(DriverState& state, uint64_t id) {
    auto found = state.handles.find(static_cast<uint32_t>(id));
    return found == state.handles.end() ? nullptr : &found->second;
}

bool file_exists(const DriverState& state, uint64_t ino) {
    return ino != ino_diag_mdm || state.generation == nullptr || state.generation->own_mdm_device;
}

int open_device(DriverState& state, uint64_t ino, int access, const Caller& caller, uint32_t* id) {
    if (ino == ino_diag && state.generation != nullptr && state.generation->process_sessions && caller.tgid != 0) {
        for (const auto& [other_id, other] : state.handles) {
            if (other.ino == ino_diag && other.tgid == caller.tgid && !other.flushed) {
                record_event(state, "open", file_names[ino], 0, access, caller.tgid, -EEXIST);
                return EEXIST;
            }
        }
    }
    if (ino == ino_smd0 || ino == ino_sdiotty0) {
        const bool is_ready = monotonic_us() >= state.node_ready_us[ino - ino_smd0];
        record_event(state, "open", file_names[ino], 0, access, 0, is_ready ? 0 : -ENXIO);
        if (!is_ready) return ENXIO;
    }
    Handle handle;
    handle.id = state.next_handle++;
    handle.ino = ino;
    // The external modem announces data only when its queue fills from
    // empty, so a control device opened while data waits must hear of it now:
    // nothing would announce it again until that data had been drained.
    const Stream& external = state.streams[static_cast<int>(Device::extdiag)];
    handle.notify_pending = ino == ino_diag && delivering(state, external) && !external.queue.empty();
    handle.tgid = caller.tgid;
    Handle& added = state.handles[handle.id] = handle;
    *id = handle.id;
    if (is_diag(ino)) record_event(state, "open", file_names[ino], handle.id, access, 0, 0);
    if (entry_layout(state, ino)) queue_mask_tables(state, added);
    return 0;
}

bool flush_device(DriverState& state, Handle& h, const Caller& caller) {
    if (state.generation == nullptr || !state.generation->process_sessions || h.ino != ino_diag) return false;
    // A child that inherited the file closes its copy: the kernel's client
    // lives on until the last one goes, the opener's.
    if (caller.tgid != h.tgid) return false;
    h.flushed = true;
    if (h.close_slept || h.deinit_called || state.md_client[0] != h.id) return false;
    h.close_slept = true;
    // The driver switches the masks off itself: the modems log nothing
    // until the next client sets them again.
    ModemMask cleared;
    cleared.configured = true;
    state.streams[static_cast<int>(Device::diag)].mask = cleared;
    if ((h.device_mask & 0x2) != 0) state.streams[static_cast<int>(Device::diag_mdm)].mask = cleared;
    record_event(state, "close_sleep", file_names[h.ino], h.id, 3000, static_cast<long long>(h.device_mask), 0);
    return true;
}

void close_device(DriverState& state, Handle& h) {
    if (is_diag(h.ino)) {
        uint32_t& md = state.md_client[h.ino - ino_diag];
        if (md == h.id) md = 0;
        record_event(state, "close", file_names[h.ino], h.id, 0, 0, 0);
    }
    if (h.poll_handle != nullptr) fuse_pollhandle_destroy(h.poll_handle);
    state.handles.erase(h.id);
}

int read_device(DriverState& state, Handle& h, size_t size, std::string* out) {
    const Device device = device_of(h.ino);
    Stream& s = state.streams[static_cast<int>(device)];
    if (s.fail_read != 0) {
        const int error = s.fail_read;
        s.fail_read = 0;
        record_event(state, "read", file_names[h.ino], h.id, 0, 0, -error);
        return error;
    }
    const bool entries = entry_layout(state, h.ino);
    if (entries && read_control(state, h, size, out)) return 0;
    if (!h.responses.empty()) {
        if (!response_ready(h, monotonic_us())) return 0;
        *out = std::move(h.responses.front().bytes);
        h.responses.pop_front();
        if (out->size() > size) out->resize(size);
        journal(state, device, ChunkKind::response, h.id, *out);
        return 0;
    }
    if (entries) {
        const int error = read_entries(state, h, size, out);
        if (error != 0 || !out->empty()) return error;
    } else if (gets_stream(h) && delivering(state, s)) {
        if (s.queue.empty() && s.rate < 0) queue_chunk(state, s);
        if (!s.queue.empty()) {
            *out = take_stream(s, size);
            journal(state, device, ChunkKind::stream, h.id, *out);
            return 0;
        }
    }
    if (h.notify_pending) {
        h.notify_pending = false;
        static const uint8_t note_payload[] = {0x4B, 0x12, 0x00, 0x00};
        hdlc_encode(note_payload, sizeof note_payload, out);
        if (out->size() > size) out->resize(size);
        journal(state, device, ChunkKind::notification, h.id, *out);
    }
    return 0;
}

namespace {

// The answer goes back to the file that wrote the request, as on the old
// driver and the external pair; a control device that does not log speaks
// to the external modem.
void answer_to_handle(DriverState& state, Handle& h, const std::string& request) {
    Stream& s = state.streams[static_cast<int>(device_of(h.ino))];
    const bool to_external = h.ino == ino_diag && h.mode != mode_memory_device;
    Stream& modem = state.streams[static_cast<int>(to_external ? Device::extdiag : device_of(h.ino))];
    bool is_diag_request = false;
    Response response;
    response.bytes = answer_request(request, &modem.mask, &is_diag_request);
    if (is_diag_request) log_answer(state, modem, response.bytes);
    response.never = s.response == ResponseMode::never;
    response.ready_us = monotonic_us();
    if (s.response == ResponseMode::delayed) {
        response.ready_us += static_cast<uint64_t>(s.response_delay_ms) * 1000u;
        poke_engine(state);
    }
    h.responses.push_back(response);
    if (s.response == ResponseMode::normal) wake_handle(h);
}

// In memory-device mode a modem's answer is log data like any other: an
// entry of the stream, tokened when it is the external modem's.
void answer_to_stream(DriverState& state, Stream& modem, const std::string& request) {
    bool is_diag_request = false;
    const std::string answer = answer_request(request, &modem.mask, &is_diag_request);
    if (modem.response != ResponseMode::never) log_answer(state, modem, answer);
}

// A named generation's write: every success returns 0.
int write_generation(DriverState& state, Handle& h, const std::string& bytes, const Caller& caller) {
    const Generation& g = *state.generation;
    const char* name = file_names[h.ino];
    auto refuse = [&](int error) {
        record_event(state, "request", name, h.id, 0, 0, -error, bytes);
        return error;
    };
    if (bytes.size() > g.write_limit) return refuse(EBADMSG);
    if (bytes.size() < 4 || le32_at(bytes.data()) != request_type_word) return refuse(EINVAL);
    const std::string payload = bytes.substr(4);
    if (h.ino == ino_diag && mdm_through_diag(state) && payload.size() >= 4) {
        const int32_t token = static_cast<int32_t>(le32_at(payload.data()));
        if (token == -1 || token == -2 || token == -5) {
            // Only the first external modem is there.
            if (token != first_mdm_token) return refuse(EINVAL);
            record_event(state, "request", name, h.id, token, 0, 0, bytes);
            answer_to_stream(state, state.streams[static_cast<int>(Device::diag_mdm)], payload.substr(4));
            return 0;
        }
    }
    if (g.process_sessions && !has_session(state, h.ino, caller.tgid)) return refuse(EINVAL);
    const bool logging = h.mode == mode_memory_device;
    if ((logging || g.filter_always) && !request_allowed(payload, g.process_sessions)) return refuse(EFAULT);
    record_event(state, "request", name, h.id, 0, 0, 0, bytes);
    if (!logging) {
        answer_to_handle(state, h, payload);
        return 0;
    }
    answer_to_stream(state, state.streams[static_cast<int>(device_of(h.ino))], payload);
    // Where a process may open /dev/diag only once, the external pair's
    // control requests come through the logging file too: the pair hears
    // them, and answers into its own stream as it does to its control file.
    if (g.process_sessions && h.ino == ino_diag) {
        Stream& pair = state.streams[static_cast<int>(Device::extdiag)];
        bool is_diag_request = false;
        const std::string answer = answer_request(payload, &pair.mask, &is_diag_request);
        if (is_diag_request) log_answer(state, pair, answer);
    }
    if (is_mask_request(payload)) {
        queue_tables_for_all(state, h.ino);
        // A mask may switch codes on again in a stream that logged nothing
        // and so has nothing scheduled: the engine looks at it anew.
        poke_engine(state);
    }
    return 0;
}

// ioctl 7 on a named generation.
int switch_generation(DriverState& state, Handle& h, uintptr_t value, const Caller& caller, int* result,
                      const char* note) {
    const Generation& g = *state.generation;
    long long mode = static_cast<long long>(value);
    uint32_t device_mask = 0x3;
    int error = 0;
    if (g.mode_argument != 0) {
        uint8_t record[24] = {};
        if (!read_caller_memory(caller.tid, value, record, g.mode_argument)) {
            error = EFAULT;
        } else {
            mode = static_cast<int32_t>(le32_at(record));
            const uint32_t peripheral_mask = le32_at(record + 4);
            if (g.mode_argument >= 24) device_mask = le32_at(record + 20);
            // Where another process owns the session, it alone may end it,
            // and nobody else may take its peripherals.
            const bool owned_elsewhere =
                g.process_sessions && state.md_client[h.ino - ino_diag] != 0 && !has_session(state, h.ino, caller.tgid);
            if (mode < 1 || mode > 6 || (g.peripheral_mask_checked && peripheral_mask == 0) || device_mask == 0 ||
                owned_elsewhere) {
                error = EINVAL;
            }
        }
    }
    if (error == 0) {
        const bool same = h.mode == mode;
        *result = g.switch_return == SwitchReturn::zero ? 0 : g.switch_return == SwitchReturn::one ? 1 : same ? 0 : 1;
    }
    record_event(state, "ioctl", file_names[h.ino], h.id, switch_logging, mode, error != 0 ? -error : *result, note);
    if (error != 0) return error;
    uint32_t& md = state.md_client[h.ino - ino_diag];
    const bool starts = h.mode != mode_memory_device && mode == mode_memory_device;
    // A by-value kernel stores whatever it is given, a pointer included.
    h.mode = static_cast<int>(mode);
    h.device_mask = device_mask;
    if (h.mode == mode_memory_device) {
        md = h.id;
        h.notify_pending = false;
        if (starts && g.hdlc_table) h.control.push_back(std::string("\x00\x10\x00\x00\x00", 5));
        poke_engine(state);
        wake_handle(h);
    } else if (md == h.id) {
        md = 0;
    }
    return 0;
}

}  // namespace

int write_device(DriverState& state, Handle& h, const char* data, size_t size, const Caller& caller, size_t* written) {
    const std::string bytes(data, size);
    Stream& s = state.streams[static_cast<int>(device_of(h.ino))];
    if (s.fail_write != 0) {
        const int error = s.fail_write;
        s.fail_write = 0;
        record_event(state, "request", file_names[h.ino], h.id, 0, 0, -error, bytes);
        return error;
    }
    if (entry_layout(state, h.ino)) {
        *written = 0;
        return write_generation(state, h, bytes, caller);
    }
    const bool typed =
        size >= 5 && memcmp(data, "\x20\x00\x00\x00", 4) == 0 && static_cast<uint8_t>(data[size - 1]) == dm::flag_byte;
    if (!typed) {
        record_event(state, "request", file_names[h.ino], h.id, 0, 0, -EINVAL, bytes);
        return EINVAL;
    }
    record_event(state, "request", file_names[h.ino], h.id, 0, 0, static_cast<long long>(size), bytes);
    answer_to_handle(state, h, bytes.substr(4));
    *written = size;
    return 0;
}

int ioctl_device(DriverState& state, uint64_t ino, uint64_t fh, unsigned cmd, uintptr_t value, bool compat,
                 const Caller& caller, int* result) {
    Handle* h = find_handle(state, fh);
    const uint32_t id = h != nullptr ? h->id : 0;
    const char* note = compat ? "compat" : "";
    *result = 0;
    const bool entries = entry_layout(state, ino);
    if (h != nullptr && entries && cmd == lsm_deinit) {
        h->deinit_pending = h->deinit_called = true;
        *result = 1;
        record_event(state, "ioctl", file_names[ino], id, cmd, static_cast<long long>(value), 1, note);
        wake_handle(*h);
        return 0;
    }
    if (h == nullptr || !is_diag(ino) || cmd != switch_logging) {
        record_event(state, "ioctl", file_names[ino], id, cmd, static_cast<long long>(value), -ENOTTY, note);
        return ENOTTY;
    }
    Stream& s = state.streams[ino - ino_diag];
    if (s.fail_ioctl != 0) {
        const int error = s.fail_ioctl;
        s.fail_ioctl = 0;
        record_event(state, "ioctl", file_names[ino], id, cmd, static_cast<long long>(value), -error, note);
        return error;
    }
    if (entries) return switch_generation(state, *h, value, caller, result, note);
    const int error = value != mode_usb && value != mode_memory_device ? EINVAL : 0;
    record_event(state, "ioctl", file_names[ino], id, cmd, static_cast<long long>(value), -error, note);
    if (error != 0) return error;
    uint32_t& md = state.md_client[ino - ino_diag];
    h->mode = static_cast<int>(value);
    if (h->mode == mode_memory_device) {
        md = h->id;
        h->notify_pending = false;
        poke_engine(state);
        wake_handle(*h);
    } else if (md == h->id) {
        md = 0;
    }
    return 0;
}

unsigned poll_device(DriverState& state, const Handle& h) {
    unsigned revents = handle_readable(state, h, monotonic_us()) ? POLLIN | POLLRDNORM : 0;
    return revents | state.streams[h.ino - ino_diag].poll_fault;
}

void queue_chunk(DriverState& state, Stream& s) {
    if (!stream_takes(state, s)) return;
    std::string chunk = build_chunk(state, s);
    if (!chunk.empty()) push_chunk(state, s, std::move(chunk));
}

void queue_sized_chunk(DriverState& state, Stream& s, size_t bytes) {
    if (!stream_takes(state, s)) return;
    std::string chunk = chunk_header(state, s);
    const size_t wanted = bytes > chunk.size() + min_sized_run ? bytes : chunk.size() + min_sized_run;
    chunk += make_sized_frames(log_code_of(s.device), &s.sequence, diag_now(), wanted - chunk.size());
    push_chunk(state, s, std::move(chunk));
}

void queue_signalling(DriverState& state, Stream& s) {
    std::string chunk = chunk_header(state, s);
    const size_t header = chunk.size();
    for (const SignallingSample& sample : signalling_samples(diag_now())) {
        std::string frame;
        dm::append_frame(sample.payload, &frame);
        if (chunk.size() > header && chunk.size() + frame.size() > chunk_limit(state, s)) {
            if (stream_takes(state, s)) push_chunk(state, s, std::move(chunk));
            chunk = chunk_header(state, s);
        }
        chunk += frame;
    }
    if (chunk.size() > header && stream_takes(state, s)) push_chunk(state, s, std::move(chunk));
}

// The buffers of 4.14 hold 16 KiB a local peripheral and 2 or 4 KiB an
// external modem; the apps processor's holds 32771 bytes.
size_t chunk_limit(const DriverState& state, const Stream& s) {
    if (state.generation == nullptr || (s.device != Device::diag && s.device != Device::diag_mdm)) {
        return s.chunk < max_chunk ? s.chunk : max_chunk;
    }
    const size_t limit =
        s.device == Device::diag ? state.generation->local_entry_limit : state.generation->external_entry_limit;
    return s.chunk < limit ? s.chunk : limit;
}

size_t sized_chunk_limit(const DriverState& state, const Stream& s) {
    if (state.generation == nullptr || (s.device != Device::diag && s.device != Device::diag_mdm)) return max_chunk;
    return s.device == Device::diag ? state.generation->apps_entry_limit : state.generation->external_entry_limit;
}

// Notifies the open files of /dev/diag that are not logging that the external
// modem has data, the way the external pair announces it.
void announce_external(DriverState& state) {
    for (auto& [id, handle] : state.handles) {
        if (handle.ino == ino_diag && handle.mode != mode_memory_device && !handle.notify_pending) {
            handle.notify_pending = true;
            wake_handle(handle);
        }
    }
}

void wake_stream_readers(DriverState& state, Stream& s) {
    if (s.device == Device::trace) {
        poke_engine(state);
        return;
    }
    const uint64_t ino = reader_ino(state, s.device);
    for (auto& [id, handle] : state.handles) {
        if (handle.ino == ino) wake_handle(handle);
    }
}

void release_responses(DriverState& state, const Stream& s) {
    const uint64_t now = monotonic_us();
    for (auto& [id, handle] : state.handles) {
        if (!is_diag(handle.ino) || &state.streams[handle.ino - ino_diag] != &s) continue;
        for (Response& r : handle.responses) {
            r.never = false;
            r.ready_us = now;
        }
        wake_handle(handle);
    }
}

void* engine_main(void* arg) {
    DriverState& state = *static_cast<DriverState*>(arg);
    for (;;) {
        struct pollfd fds[2];
        fds[0] = {state.wake_fd, POLLIN, 0};
        int timeout_ms;
        {
            Locked locked(state);
            if (state.stopping) break;
            timeout_ms = engine_step(state, &fds[1]);
        }
        int ready = poll(fds, 2, timeout_ms);
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        if (fds[0].revents & POLLIN) {
            uint64_t count;
            (void)read_retrying(state.wake_fd, &count, sizeof count);
        }
        if (fds[1].revents & POLLIN) {
            char buffer[4096];
            ssize_t got = read_retrying(fds[1].fd, buffer, sizeof buffer);
            if (got > 0) {
                record_event(state, "trace_in", "trace", 0, 0, 0, got, std::string(buffer, static_cast<size_t>(got)));
            }
        }
        if (fds[1].revents & POLLOUT) {
            Locked locked(state);
            feed_terminal(state);
        }
    }
    return nullptr;
}

}  // namespace simphone
