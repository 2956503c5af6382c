#include "stream_engine.h"

#define FUSE_USE_VERSION 35
#include <fuse_lowlevel.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include "platform/fd_io.h"

namespace simphone {

const char* const file_names[ino_end] = {"",     "",        "diag", "diag_mdm", "extdiag", "wake_lock", "wake_unlock",
                                         "smd0", "sdiotty0"};

namespace {

constexpr size_t queue_limit = 16u << 20;
constexpr unsigned switch_logging = 7;

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
            return state.md_client[static_cast<int>(s.device)] != 0;
        case Device::extdiag:
            return true;
        case Device::trace:
            return state.pty_master >= 0 && state.trace_raw;
    }
    return false;
}

// Whether the modem has anything to log: a mask can switch every code off.
bool logs_anything(const Stream& s) { return !s.mask.configured || !s.mask.enabled.empty(); }

std::string chunk_header(const Stream& s) {
    std::string header;
    if (s.header == 4) {
        for (int i = 0; i < 4; ++i) header.push_back(static_cast<char>(stream_type_word >> (8 * i)));
    }
    return header;
}

// Whole frames up to the chunk size, at least one; empty when the mask has
// switched every code off.
std::string build_chunk(Stream& s) {
    if (!logs_anything(s)) return std::string();
    std::string chunk = chunk_header(s);
    const size_t header = chunk.size();
    const uint64_t now = diag_now();
    for (;;) {
        uint16_t code = log_code_of(s.device);
        if (s.mask.configured) code = s.mask.enabled[s.next_code % s.mask.enabled.size()];
        std::string frame = make_log_frame(code, s.sequence, now);
        if (chunk.size() > header && chunk.size() + frame.size() > s.chunk) break;
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
    if ((s.device == Device::diag || s.device == Device::diag_mdm) &&
        state.md_client[static_cast<int>(s.device)] == 0) {
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
    if (stream_takes(state, s)) push_chunk(state, s, chunk_header(s) + answer);
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

bool handle_readable(const DriverState& state, const Handle& h, uint64_t now) {
    if (!h.responses.empty()) return response_ready(h, now);
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

int open_device(DriverState& state, uint64_t ino, int access, uint32_t* id) {
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
    state.handles[handle.id] = handle;
    *id = handle.id;
    if (is_diag(ino)) record_event(state, "open", file_names[ino], handle.id, access, 0, 0);
    return 0;
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
    if (!h.responses.empty()) {
        if (!response_ready(h, monotonic_us())) return 0;
        *out = std::move(h.responses.front().bytes);
        h.responses.pop_front();
        if (out->size() > size) out->resize(size);
        journal(state, device, ChunkKind::response, h.id, *out);
        return 0;
    }
    if (gets_stream(h) && delivering(state, s)) {
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

int write_device(DriverState& state, Handle& h, const char* data, size_t size) {
    const std::string bytes(data, size);
    Stream& s = state.streams[static_cast<int>(device_of(h.ino))];
    if (s.fail_write != 0) {
        const int error = s.fail_write;
        s.fail_write = 0;
        record_event(state, "request", file_names[h.ino], h.id, 0, 0, -error, bytes);
        return error;
    }
    const bool typed =
        size >= 5 && memcmp(data, "\x20\x00\x00\x00", 4) == 0 && static_cast<uint8_t>(data[size - 1]) == dm::flag_byte;
    if (!typed) {
        record_event(state, "request", file_names[h.ino], h.id, 0, 0, -EINVAL, bytes);
        return EINVAL;
    }
    record_event(state, "request", file_names[h.ino], h.id, 0, 0, static_cast<long long>(size), bytes);
    // A control device that does not log speaks to the external modem.
    const bool to_external = h.ino == ino_diag && h.mode != mode_memory_device;
    Stream& modem = state.streams[static_cast<int>(to_external ? Device::extdiag : device_of(h.ino))];
    bool is_diag_request = false;
    Response response;
    response.bytes = answer_request(bytes.substr(4), &modem.mask, &is_diag_request);
    if (is_diag_request) log_answer(state, modem, response.bytes);
    response.never = s.response == ResponseMode::never;
    response.ready_us = monotonic_us();
    if (s.response == ResponseMode::delayed) {
        response.ready_us += static_cast<uint64_t>(s.response_delay_ms) * 1000u;
        poke_engine(state);
    }
    h.responses.push_back(response);
    if (s.response == ResponseMode::normal) wake_handle(h);
    return 0;
}

int ioctl_device(DriverState& state, uint64_t ino, uint64_t fh, unsigned cmd, uintptr_t value, bool compat) {
    Handle* h = find_handle(state, fh);
    const uint32_t id = h != nullptr ? h->id : 0;
    const char* note = compat ? "compat" : "";
    if (h == nullptr || !is_diag(ino) || cmd != switch_logging) {
        record_event(state, "ioctl", file_names[ino], id, cmd, static_cast<long long>(value), -ENOTTY, note);
        return ENOTTY;
    }
    Stream& s = state.streams[ino - ino_diag];
    int error = 0;
    if (s.fail_ioctl != 0) {
        error = s.fail_ioctl;
        s.fail_ioctl = 0;
    } else if (value != mode_usb && value != mode_memory_device) {
        error = EINVAL;
    }
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
    std::string chunk = build_chunk(s);
    if (!chunk.empty()) push_chunk(state, s, std::move(chunk));
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
    const uint64_t ino = ino_diag + static_cast<int>(s.device);
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
