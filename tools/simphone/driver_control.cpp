#include "driver_control.h"

#include <errno.h>
#include <poll.h>
#include <stdint.h>
#include <stdlib.h>

#include <sstream>
#include <vector>

#include "driver_fuse.h"
#include "stream_engine.h"

namespace simphone {

namespace {

using Words = std::vector<std::string>;

enum class Outcome { done, bad_command, usage };

constexpr size_t min_chunk = 512;
constexpr size_t max_chunk = 32768;

bool parse_long(const std::string& text, long long* value) {
    char* end = nullptr;
    errno = 0;
    *value = strtoll(text.c_str(), &end, 10);
    return !text.empty() && *end == '\0' && errno == 0;
}

// The number after the device, when there is one.
bool value_of(const Words& w, long long* value) { return w.size() >= 3 && parse_long(w[2], value); }

// ---- Commands on the whole driver; they take the locks they need.

Outcome run_ping(DriverState&, const Words&, std::string*, bool*) { return Outcome::done; }

Outcome run_help(DriverState&, const Words&, std::string*, bool*) {
    print_commands(stderr);
    return Outcome::done;
}

Outcome run_quit(DriverState&, const Words&, std::string*, bool* quit) {
    *quit = true;
    return Outcome::done;
}

Outcome run_locks(DriverState& state, const Words&, std::string* reply, bool*) {
    for (const std::string& name : wake_locks_held(state)) *reply += " " + name;
    return Outcome::done;
}

Outcome run_node(DriverState& state, const Words& w, std::string*, bool*) {
    if (w.size() < 3 || (w[1] != "smd0" && w[1] != "sdiotty0")) return Outcome::usage;
    Locked locked(state);
    uint64_t& ready = state.node_ready_us[w[1] == "smd0" ? 0 : 1];
    long long ms = 0;
    if (w[2] == "ready") {
        ready = 0;
    } else if (w[2] == "never") {
        ready = UINT64_MAX;
    } else if (w[2] == "after" && w.size() == 4 && parse_long(w[3], &ms) && ms >= 0) {
        ready = monotonic_us() + static_cast<uint64_t>(ms) * 1000u;
    } else {
        return Outcome::usage;
    }
    return Outcome::done;
}

Outcome run_hangup(DriverState& state, const Words& w, std::string*, bool*) {
    if (w.size() != 2 || w[1] != "trace") return Outcome::usage;
    Locked locked(state);
    state.trace_hangup = true;
    poke_engine(state);
    return Outcome::done;
}

Outcome run_deaf(DriverState& state, const Words& w, std::string*, bool*) {
    if (w.size() != 2 || w[1] != "trace") return Outcome::usage;
    Locked locked(state);
    state.trace_deaf = true;
    poke_engine(state);
    return Outcome::done;
}

// ---- Commands on one device's stream, or on every stream for "all"; run
// with the state's lock held.

Outcome set_rate(DriverState&, Stream& s, const Words& w, std::string*) {
    long long value;
    if (!value_of(w, &value) || value < -1) return Outcome::bad_command;
    s.rate = value;
    s.was_delivering = false;
    return Outcome::done;
}

Outcome set_chunk(DriverState&, Stream& s, const Words& w, std::string*) {
    long long value;
    if (!value_of(w, &value)) return Outcome::bad_command;
    s.chunk = static_cast<size_t>(value < static_cast<long long>(min_chunk)   ? min_chunk
                                  : value > static_cast<long long>(max_chunk) ? max_chunk
                                                                              : value);
    s.was_delivering = false;
    return Outcome::done;
}

Outcome queue_sized(DriverState& state, Stream& s, const Words& w, std::string*) {
    long long value;
    if (!value_of(w, &value) || value < static_cast<long long>(min_sized_run) ||
        value > static_cast<long long>(sized_chunk_limit(state, s))) {
        return Outcome::bad_command;
    }
    queue_sized_chunk(state, s, static_cast<size_t>(value));
    return Outcome::done;
}

Outcome queue_signalling_samples(DriverState& state, Stream& s, const Words& w, std::string*) {
    if (w.size() != 2) return Outcome::bad_command;
    queue_signalling(state, s);
    return Outcome::done;
}

Outcome set_header(DriverState&, Stream& s, const Words& w, std::string*) {
    long long value;
    if (!value_of(w, &value) || (value != 0 && value != 4)) return Outcome::bad_command;
    s.header = static_cast<int>(value);
    return Outcome::done;
}

Outcome queue_burst(DriverState& state, Stream& s, const Words& w, std::string*) {
    long long value;
    if (!value_of(w, &value) || value < 0) return Outcome::bad_command;
    for (long long i = 0; i < value; ++i) queue_chunk(state, s);
    return Outcome::done;
}

Outcome pause_stream(DriverState&, Stream& s, const Words&, std::string*) {
    s.paused = true;
    return Outcome::done;
}

Outcome resume_stream(DriverState& state, Stream& s, const Words&, std::string*) {
    s.paused = false;
    // A reader that drained the external modem while it was held back
    // waits for news on the control device; what was held is news.
    if (s.device == Device::extdiag && !s.queue.empty()) announce_external(state);
    wake_stream_readers(state, s);
    return Outcome::done;
}

Outcome set_response(DriverState& state, Stream& s, const Words& w, std::string*) {
    long long value;
    if (w.size() < 3) return Outcome::bad_command;
    if (w[2] == "normal") {
        s.response = ResponseMode::normal;
        release_responses(state, s);
    } else if (w[2] == "never") {
        s.response = ResponseMode::never;
    } else if (w[2] == "delay" && w.size() == 4 && parse_long(w[3], &value) && value >= 0) {
        s.response = ResponseMode::delayed;
        s.response_delay_ms = static_cast<int>(value);
    } else {
        return Outcome::usage;
    }
    return Outcome::done;
}

Outcome set_failure(int* slot, const Words& w) {
    long long value;
    if (!value_of(w, &value) || value < 0) return Outcome::bad_command;
    *slot = static_cast<int>(value);
    return Outcome::done;
}
Outcome fail_read(DriverState&, Stream& s, const Words& w, std::string*) { return set_failure(&s.fail_read, w); }
Outcome fail_write(DriverState&, Stream& s, const Words& w, std::string*) { return set_failure(&s.fail_write, w); }
Outcome fail_ioctl(DriverState&, Stream& s, const Words& w, std::string*) { return set_failure(&s.fail_ioctl, w); }

Outcome set_poll_fault(DriverState& state, Stream& s, const Words& w, std::string*) {
    if (w.size() < 3) return Outcome::bad_command;
    if (w[2] == "none") {
        s.poll_fault = 0;
    } else if (w[2] == "err") {
        s.poll_fault = POLLERR;
    } else if (w[2] == "hup") {
        s.poll_fault = POLLHUP;
    } else {
        return Outcome::usage;
    }
    wake_stream_readers(state, s);
    return Outcome::done;
}

Outcome add_stats(DriverState&, Stream& s, const Words&, std::string* reply) {
    char text[256];
    snprintf(text, sizeof text,
             " queued=%zu handed_bytes=%llu handed_chunks=%llu overruns=%llu to_usb=%llu next_sequence=%u ", s.queued,
             s.handed_bytes, s.handed_chunks, s.overruns, s.to_usb, s.sequence);
    *reply += text;
    return Outcome::done;
}

struct Command {
    const char* name;
    const char* arguments;
    const char* help;
    // Exactly one of the two is set.
    Outcome (*on_driver)(DriverState&, const Words&, std::string* reply, bool* quit);
    Outcome (*on_stream)(DriverState&, Stream&, const Words&, std::string* reply);
};

const Command commands[] = {
    {"rate", "<dev> <bytes/s>", "timed stream; 0 = bursts only; -1 = a chunk for every read", nullptr, set_rate},
    {"chunk", "<dev> <bytes>", "chunk size (512 to 32768; a named generation's buffers hold less)", nullptr, set_chunk},
    {"header", "<dev> 0|4", "4 = every chunk starts with a 4-byte type word", nullptr, set_header},
    {"burst", "<dev> <count>", "queue count chunks now", nullptr, queue_burst},
    {"sized", "<dev> <bytes>", "queue one chunk of exactly this size (up to the apps buffer's 32771 on diag)", nullptr,
     queue_sized},
    {"signalling", "<dev>", "queue the signalling samples: real-shaped LTE/NR/WCDMA/GSM messages", nullptr,
     queue_signalling_samples},
    {"pause", "<dev>", "hold back the stream", nullptr, pause_stream},
    {"resume", "<dev>", "release the stream", nullptr, resume_stream},
    {"response", "<dev> normal|never|delay <ms>", "when requests are answered", nullptr, set_response},
    {"fail_read", "<dev> <errno>", "the next read fails", nullptr, fail_read},
    {"fail_write", "<dev> <errno>", "the next write fails", nullptr, fail_write},
    {"fail_ioctl", "<dev> <errno>", "the next ioctl fails", nullptr, fail_ioctl},
    {"poll_fault", "<dev> none|err|hup", "what every poll reports besides", nullptr, set_poll_fault},
    {"stats", "<dev>", "the stream's figures", nullptr, add_stats},
    {"hangup", "trace", "the terminal's far side goes away for good", run_hangup, nullptr},
    {"deaf", "trace", "the terminal's far side reads nothing more", run_deaf, nullptr},
    {"node", "smd0|sdiotty0 ready|never|after <ms>", "when the modem node opens", run_node, nullptr},
    {"locks", "", "the wake locks held", run_locks, nullptr},
    {"ping", "", "answers ok", run_ping, nullptr},
    {"help", "", "this list, on standard error", run_help, nullptr},
    {"quit", "", "unmounts and ends", run_quit, nullptr},
};

Outcome on_streams(DriverState& state, const Command& command, const Words& w, std::string* reply) {
    if (w.size() < 2) {
        *reply = "err missing device";
        return Outcome::done;
    }
    Locked locked(state);
    Outcome outcome = Outcome::done;
    Device device;
    if (w[1] == "all") {
        for (Stream& s : state.streams) {
            outcome = command.on_stream(state, s, w, reply);
            if (outcome != Outcome::done) return outcome;
        }
    } else if (parse_device(w[1], &device)) {
        outcome = command.on_stream(state, state.streams[static_cast<int>(device)], w, reply);
        if (outcome != Outcome::done) return outcome;
    } else {
        *reply = "err unknown device " + w[1];
        return Outcome::done;
    }
    poke_engine(state);
    return Outcome::done;
}

}  // namespace

std::string run_command(DriverState& state, const std::string& line, bool* quit) {
    std::istringstream in(line);
    Words w;
    for (std::string word; in >> word;) w.push_back(word);
    if (w.empty()) return "err empty command";
    for (const Command& command : commands) {
        if (w[0] != command.name) continue;
        std::string reply = "ok";
        const Outcome outcome = command.on_driver != nullptr ? command.on_driver(state, w, &reply, quit)
                                                             : on_streams(state, command, w, &reply);
        if (outcome == Outcome::usage) return std::string("err usage: ") + command.name + " " + command.arguments;
        if (outcome == Outcome::bad_command) return "err bad command: " + line;
        return reply;
    }
    return "err bad command: " + line;
}

void print_commands(FILE* out) {
    fputs("commands (device: diag, diag_mdm, extdiag, trace, all):\n", out);
    for (const Command& command : commands) {
        const std::string usage = std::string(command.name) + " " + command.arguments;
        fprintf(out, "  %-44s %s\n", usage.c_str(), command.help);
    }
}

}  // namespace simphone
