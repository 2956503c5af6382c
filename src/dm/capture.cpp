#include "dm/capture.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <numeric>

#include "dm/mask.h"
#include "dm/packet.h"
#include "msg/error_text.h"
#include "platform/fd_io.h"

namespace dm {

namespace {

constexpr size_t read_block = 1 << 20;
// Text output lists this many entries of each list; --json lists all kept.
constexpr size_t text_listed = 20;

int open_input(const char* path, std::string* error) {
    const int fd = open_retrying(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        *error = std::string(path) + ": cannot open: " + error_text(errno).text;
        return -1;
    }
    struct stat info;
    if (fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
        *error = std::string(path) + ": is a directory";
        close(fd);
        return -1;
    }
    return fd;
}

std::string json_string(const char* text) {
    std::string out = "\"";
    for (const char* c = text; *c != '\0'; ++c) {
        const unsigned char byte = static_cast<unsigned char>(*c);
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += static_cast<char>(byte);
        } else if (byte < 0x20) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out += static_cast<char>(byte);
        }
    }
    return out + "\"";
}

unsigned long long ull(uint64_t value) { return static_cast<unsigned long long>(value); }

void keep(std::vector<Span>* list, const ParseEvent& event) {
    if (list->size() < max_listed) list->push_back(Span{event.offset, event.size});
}

const FrameStatus bad_statuses[] = {FrameStatus::bad_crc, FrameStatus::bad_escape, FrameStatus::too_short,
                                    FrameStatus::overlong};

}  // namespace

bool read_file_blocks(const char* path, BlockFeed feed, void* state, std::string* error) {
    const int fd = open_input(path, error);
    if (fd < 0) return false;
    std::vector<uint8_t> block(read_block);
    uint64_t done = 0;
    for (;;) {
        const ssize_t got = read_retrying(fd, block.data(), block.size());
        if (got < 0) {
            *error =
                std::string(path) + ": read failed at offset " + std::to_string(done) + ": " + error_text(errno).text;
            close(fd);
            return false;
        }
        if (got == 0) break;
        feed(state, block.data(), static_cast<size_t>(got));
        done += static_cast<uint64_t>(got);
    }
    close(fd);
    return true;
}

bool scan_file(const char* path, FrameParser* parser, ParseHandler handler, void* context, std::string* error) {
    struct Feed {
        FrameParser* parser;
        ParseHandler handler;
        void* context;
    } feed{parser, handler, context};
    const BlockFeed to_parser = [](void* state, const uint8_t* data, size_t size) {
        const Feed* f = static_cast<const Feed*>(state);
        parser_feed(f->parser, data, size, f->handler, f->context);
    };
    if (!read_file_blocks(path, to_parser, &feed, error)) return false;
    parser_finish(parser, handler, context);
    return true;
}

void check_add(CheckResult* r, const ParseEvent& event) {
    switch (event.kind) {
        case ParseEvent::frame:
            ++r->frames;
            if (event.modem < modem_count) ++r->reads.frames_by_modem[event.modem];
            if (event.size > r->largest.size) r->largest = Span{event.offset, event.size};
            if (event.status == FrameStatus::good) {
                ++r->good;
            } else {
                ++r->bad;
                ++r->bad_by_status[static_cast<int>(event.status)];
                if (r->bad_frames.size() < max_listed)
                    r->bad_frames.push_back(CheckResult::BadFrame{Span{event.offset, event.size}, event.status});
            }
            break;
        case ParseEvent::header_word:
            ++r->header_words;
            break;
        case ParseEvent::outside:
            ++r->outside_runs;
            r->outside_bytes += event.size;
            keep(&r->outside, event);
            break;
        case ParseEvent::tail:
            r->has_tail = true;
            r->tail = Span{event.offset, event.size};
            break;
    }
    r->bytes = std::max(r->bytes, event.offset + event.size);
}

void check_add_read(CheckResult* r, const ReadEvent& event) {
    ReadSummary& s = r->reads;
    s.present = true;
    r->bytes = std::max(r->bytes, event.offset + event.size);
    if (event.kind == ReadEvent::no_read) {
        s.no_read_bytes += event.size;
        ++s.no_read_runs;
        if (s.no_read.size() < max_listed) s.no_read.push_back(Span{event.offset, event.size});
        return;
    }
    ++s.reads;
    ++s.by_kind[event.kind];
    if (!event.typed) ++s.untyped;
    s.word_bytes += event.word_bytes;
    if (event.kind == ReadEvent::mask_table) s.mask_table_bytes += event.size - event.word_bytes;
}

void print_by_modem(const ReadSummary& s, FILE* out) {
    const uint64_t all = std::accumulate(s.frames_by_modem, s.frames_by_modem + modem_count, uint64_t{0});
    if (s.frames_by_modem[modem_local] == all) return;
    fprintf(out, "  by modem:       %s %llu frames", modem_name(modem_local), ull(s.frames_by_modem[modem_local]));
    for (int modem = modem_local + 1; modem < modem_count; ++modem) {
        if (s.frames_by_modem[modem] != 0)
            fprintf(out, ", %s %llu frames", modem_name(modem), ull(s.frames_by_modem[modem]));
    }
    fprintf(out, "\n");
}

namespace {

const char* const read_kind_names[] = {"data",        "short",  "cut by the end of the file",
                                       "mask tables", "deinit", "HDLC setting"};

void print_reads(const ReadSummary& s, FILE* out) {
    fprintf(out, "  reads:          %llu", ull(s.reads));
    const char* separator = ": ";
    for (int kind = 0; kind < ReadEvent::no_read; ++kind) {
        if (s.by_kind[kind] == 0 && kind != ReadEvent::data) continue;
        fprintf(out, "%s%llu %s", separator, ull(s.by_kind[kind]), read_kind_names[kind]);
        separator = ", ";
    }
    if (s.untyped != 0) fprintf(out, "; %llu without their type word (a batch's first)", ull(s.untyped));
    fprintf(out, "\n  read words:     %llu bytes (type, count, token and length words; not errors)\n",
            ull(s.word_bytes));
    if (s.mask_table_bytes != 0)
        fprintf(out, "  mask tables:    %llu bytes (the driver's tables, not log data)\n", ull(s.mask_table_bytes));
    if (s.no_read_bytes != 0) {
        fprintf(out, "  in no read:     %llu bytes", ull(s.no_read_bytes));
        for (size_t i = 0; i < s.no_read.size() && i < text_listed; ++i)
            fprintf(out, "%s%llu at offset %llu", i == 0 ? ": " : ", ", ull(s.no_read[i].size),
                    ull(s.no_read[i].offset));
        if (s.no_read_runs > text_listed) fprintf(out, ", ... (%llu runs)", ull(s.no_read_runs));
        fprintf(out, " (a batch's first read without its type word that is no data, or damage)\n");
    }
    print_by_modem(s, out);
}

void print_reads_json(const ReadSummary& s, FILE* out) {
    fprintf(out,
            ",\"reads\":{\"count\":%llu,\"data\":%llu,\"short\":%llu,\"cut\":%llu,\"mask_tables\":%llu,"
            "\"deinit\":%llu,\"hdlc\":%llu,\"untyped\":%llu,\"word_bytes\":%llu,\"mask_table_bytes\":%llu,"
            "\"no_read_bytes\":%llu,\"no_read\":[",
            ull(s.reads), ull(s.by_kind[ReadEvent::data]), ull(s.by_kind[ReadEvent::short_data]),
            ull(s.by_kind[ReadEvent::cut_data]), ull(s.by_kind[ReadEvent::mask_table]),
            ull(s.by_kind[ReadEvent::deinit]), ull(s.by_kind[ReadEvent::hdlc]), ull(s.untyped), ull(s.word_bytes),
            ull(s.mask_table_bytes), ull(s.no_read_bytes));
    for (size_t i = 0; i < s.no_read.size(); ++i)
        fprintf(out, "%s{\"offset\":%llu,\"size\":%llu}", i == 0 ? "" : ",", ull(s.no_read[i].offset),
                ull(s.no_read[i].size));
    fprintf(out, "],\"frames_by_modem\":{");
    for (int modem = 0; modem < modem_count; ++modem)
        fprintf(out, "%s\"%s\":%llu", modem == 0 ? "" : ",", modem == 0 ? "local" : modem_suffix(modem),
                ull(s.frames_by_modem[modem]));
    fprintf(out, "}}");
}

}  // namespace

void print_check(const char* name, const CheckResult& r, FILE* out) {
    fprintf(out, "%s: %s\n", name,
            r.bad != 0         ? "BAD FRAMES"
            : !capture_good(r) ? "NO GOOD FRAME (not a capture, or an empty one)"
                               : "every frame good");
    fprintf(out, "  bytes:          %llu\n", ull(r.bytes));
    fprintf(out, "  frames:         %llu (%llu good, %llu bad", ull(r.frames), ull(r.good), ull(r.bad));
    for (FrameStatus status : bad_statuses) {
        const uint64_t count = r.bad_by_status[static_cast<int>(status)];
        if (count != 0) fprintf(out, ", %llu %s", ull(count), frame_status_name(status));
    }
    fprintf(out, ")\n");
    if (r.frames != 0)
        fprintf(out, "  largest frame:  %llu bytes at offset %llu\n", ull(r.largest.size), ull(r.largest.offset));
    if (r.reads.present) print_reads(r.reads, out);
    if (r.header_words != 0)
        fprintf(out, "  header words:   %llu (the driver's words in front of buffers; not errors)\n",
                ull(r.header_words));
    fprintf(out, "  outside frames: %llu bytes", ull(r.outside_bytes));
    for (size_t i = 0; i < r.outside.size() && i < text_listed; ++i)
        fprintf(out, "%s%llu at offset %llu", i == 0 ? ": " : ", ", ull(r.outside[i].size), ull(r.outside[i].offset));
    if (r.outside_runs > text_listed) fprintf(out, ", ... (%llu runs)", ull(r.outside_runs));
    fprintf(out, "\n");
    if (r.has_tail) {
        fprintf(out, "  truncated tail: %llu bytes at offset %llu (a frame without its closing 0x7E)\n",
                ull(r.tail.size), ull(r.tail.offset));
    } else {
        fprintf(out, "  truncated tail: none\n");
    }
    for (size_t i = 0; i < r.bad_frames.size() && i < text_listed; ++i) {
        const CheckResult::BadFrame& bad = r.bad_frames[i];
        fprintf(out, "  bad frame at offset %llu: %llu bytes, %s\n", ull(bad.span.offset), ull(bad.span.size),
                frame_status_name(bad.status));
    }
    if (r.bad > text_listed)
        fprintf(out, "  ... %llu more bad frames (--json lists %zu)\n", ull(r.bad - text_listed), max_listed);
}

void print_check_json(const char* name, const CheckResult& r, FILE* out) {
    fprintf(out, "{\"file\":%s,\"bytes\":%llu,\"frames\":%llu,\"good\":%llu,\"bad\":%llu", json_string(name).c_str(),
            ull(r.bytes), ull(r.frames), ull(r.good), ull(r.bad));
    fprintf(out, ",\"bad_crc\":%llu,\"bad_escape\":%llu,\"too_short\":%llu,\"too_long\":%llu",
            ull(r.bad_by_status[static_cast<int>(FrameStatus::bad_crc)]),
            ull(r.bad_by_status[static_cast<int>(FrameStatus::bad_escape)]),
            ull(r.bad_by_status[static_cast<int>(FrameStatus::too_short)]),
            ull(r.bad_by_status[static_cast<int>(FrameStatus::overlong)]));
    fprintf(out, ",\"header_words\":%llu,\"outside_bytes\":%llu,\"outside\":[", ull(r.header_words),
            ull(r.outside_bytes));
    for (size_t i = 0; i < r.outside.size(); ++i)
        fprintf(out, "%s{\"offset\":%llu,\"size\":%llu}", i == 0 ? "" : ",", ull(r.outside[i].offset),
                ull(r.outside[i].size));
    fprintf(out, "],\"truncated_tail\":");
    if (r.has_tail) {
        fprintf(out, "{\"offset\":%llu,\"size\":%llu}", ull(r.tail.offset), ull(r.tail.size));
    } else {
        fprintf(out, "null");
    }
    fprintf(out, ",\"largest_frame\":");
    if (r.frames != 0) {
        fprintf(out, "{\"offset\":%llu,\"size\":%llu}", ull(r.largest.offset), ull(r.largest.size));
    } else {
        fprintf(out, "null");
    }
    fprintf(out, ",\"bad_frames\":[");
    for (size_t i = 0; i < r.bad_frames.size(); ++i)
        fprintf(out, "%s{\"offset\":%llu,\"size\":%llu,\"reason\":\"%s\"}", i == 0 ? "" : ",",
                ull(r.bad_frames[i].span.offset), ull(r.bad_frames[i].span.size),
                frame_status_name(r.bad_frames[i].status));
    fprintf(out, "]");
    if (r.reads.present) print_reads_json(r.reads, out);
    fprintf(out, ",\"ok\":%s}\n", capture_good(r) ? "true" : "false");
}

void stats_add(Stats* s, const ParseEvent& event) {
    check_add(&s->check, event);
    if (event.kind != ParseEvent::frame || event.status != FrameStatus::good || event.payload_size == 0) return;
    decode_signalling(&s->signalling, event.payload, event.payload_size, &s->pdu);
    const uint8_t* p = event.payload;
    size_t size = event.payload_size;
    ++s->by_command[p[0]];
    uint32_t subscription;
    if (skip_dual_sim(&p, &size, &subscription)) {
        auto found = s->subscriptions.find(subscription);
        if (found != s->subscriptions.end()) {
            ++found->second;
        } else if (s->subscriptions.size() < max_subscriptions) {
            s->subscriptions[subscription] = 1;
        } else {
            ++s->other_subscriptions;
        }
    }
    if (p[0] == cmd_log) {
        LogPacket packet;
        if (!parse_log_packet(p, size, &packet)) {
            ++s->malformed_logs;
            return;
        }
        ++s->log_packets;
        ++s->by_code[packet.code];
        ++s->by_equipment[equipment_of(packet.code)];
        if (!s->has_time) {
            s->has_time = true;
            s->first_time = s->min_time = s->max_time = packet.timestamp;
        }
        s->last_time = packet.timestamp;
        s->min_time = std::min(s->min_time, packet.timestamp);
        s->max_time = std::max(s->max_time, packet.timestamp);
        return;
    }
    std::string text;
    bool rejected = false;
    if (!describe_response(p, size, &text, &rejected)) return;
    const bool error = is_error_response(p[0]);
    std::vector<Stats::Note>& list = error ? s->errors : s->mask_responses;
    ++(error ? s->error_count : s->mask_response_count);
    if (rejected) ++s->rejected;
    if (list.size() < max_listed) list.push_back(Stats::Note{event.offset, text, rejected});
}

void stats_finish(Stats* s) { signalling_finish(&s->signalling); }

namespace {

void print_times(const Stats& s, FILE* out) {
    char first[40], last[40], earliest[40], latest[40];
    format_utc(unix_us_from_diag_time(s.first_time), first, sizeof first);
    format_utc(unix_us_from_diag_time(s.last_time), last, sizeof last);
    format_utc(unix_us_from_diag_time(s.min_time), earliest, sizeof earliest);
    format_utc(unix_us_from_diag_time(s.max_time), latest, sizeof latest);
    const double span = static_cast<double>(((s.max_time >> 16) - (s.min_time >> 16)) * 1250) / 1e6;
    fprintf(out, "  log time stamps (APPROXIMATE: 1.25 ms ticks since 1980-01-06 UTC; modems differ):\n");
    fprintf(out, "    first %s, last %s UTC\n", first, last);
    fprintf(out, "    span %.3f s, from %s to %s UTC\n", span, earliest, latest);
}

void print_signalling(const SignallingDecoder& d, FILE* out) {
    if (!d.decoded.empty()) {
        fprintf(out, "  signalling messages by channel (as pcap writes them):\n");
        for (const auto& [channel, count] : d.decoded) fprintf(out, "    %-42s %12llu\n", channel.c_str(), ull(count));
    }
    if (d.skipped_packets != 0) {
        fprintf(out, "  log packets skipped: %llu (layout not known; counted by code and version):\n",
                ull(d.skipped_packets));
        fputs(skipped_text(d, "    ").c_str(), out);
    }
}

}  // namespace

void print_stats(const char* name, const Stats& s, FILE* out) {
    const CheckResult& c = s.check;
    fprintf(out, "%s\n", name);
    fprintf(out, "  frames: %llu good, %llu bad%s\n", ull(c.good), ull(c.bad),
            c.bad != 0 ? " (orlith-dm check tells where)" : "");
    print_by_modem(c.reads, out);
    fprintf(out, "  by command:\n");
    for (int command = 0; command < 256; ++command) {
        if (s.by_command[command] == 0) continue;
        const char* label = command_name(static_cast<uint8_t>(command));
        fprintf(out, "    0x%02X %-26s %12llu\n", command, label != nullptr ? label : "", ull(s.by_command[command]));
    }
    if (s.log_packets != 0) {
        fprintf(out, "  by log code:\n");
        for (uint32_t code = 0; code < 65536; ++code) {
            if (s.by_code[code] == 0) continue;
            const char* label = log_code_name(static_cast<uint16_t>(code));
            fprintf(out, "    0x%04X %-42s %12llu\n", code, label != nullptr ? label : "", ull(s.by_code[code]));
        }
        fprintf(out, "  by equipment id:\n");
        for (unsigned equipment = 0; equipment < 16; ++equipment) {
            if (s.by_equipment[equipment] == 0) continue;
            const char* label = equipment_name(equipment);
            fprintf(out, "    0x%X %-10s %12llu\n", equipment, label != nullptr ? label : "",
                    ull(s.by_equipment[equipment]));
        }
    }
    if (s.malformed_logs != 0) fprintf(out, "  log packets whose lengths disagree: %llu\n", ull(s.malformed_logs));
    if (!s.subscriptions.empty()) {
        fprintf(out, "  dual-SIM subscriptions:");
        for (const auto& [id, count] : s.subscriptions) fprintf(out, " id %u: %llu;", id, ull(count));
        if (s.other_subscriptions != 0) fprintf(out, " others: %llu", ull(s.other_subscriptions));
        fprintf(out, "\n");
    }
    print_signalling(s.signalling, out);
    if (s.has_time) print_times(s, out);
    fprintf(out, "  mask responses: %llu\n", ull(s.mask_response_count));
    for (size_t i = 0; i < s.mask_responses.size(); ++i)
        fprintf(out, "    at offset %llu: %s\n", ull(s.mask_responses[i].offset), s.mask_responses[i].text.c_str());
    if (s.mask_response_count > s.mask_responses.size())
        fprintf(out, "    ... %llu more\n", ull(s.mask_response_count - s.mask_responses.size()));
    fprintf(out, "  error responses: %llu\n", ull(s.error_count));
    for (size_t i = 0; i < s.errors.size(); ++i)
        fprintf(out, "    at offset %llu: %s\n", ull(s.errors[i].offset), s.errors[i].text.c_str());
    if (s.error_count > s.errors.size()) fprintf(out, "    ... %llu more\n", ull(s.error_count - s.errors.size()));
    if (s.rejected != 0)
        fprintf(out,
                "  THE MODEM REJECTED %llu REQUEST%s of the mask (see above): this capture may lack the items the "
                "mask asked for\n",
                ull(s.rejected), s.rejected == 1 ? "" : "S");
}

bool qmdl_open(QmdlWriter* w, const char* path, std::string* error) {
    *w = QmdlWriter();
    w->fd = open_retrying(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0644);
    if (w->fd < 0) {
        *error = std::string(path) + ": cannot create: " + error_text(errno).text;
        return false;
    }
    return true;
}

// A good frame's escaping is the only one there is, so framing its payload
// again gives back the very bytes the capture holds.
void qmdl_add(QmdlWriter* w, const uint8_t* payload, size_t size) {
    append_frame(payload, size, &w->buffer);
    ++w->frames;
    if (w->buffer.size() < read_block) return;
    size_t written = 0;
    const int error = write_all(w->fd, w->buffer.data(), w->buffer.size(), &written);
    if (error != 0 && w->error == 0) w->error = error;
    w->buffer.clear();
}

bool qmdl_close(QmdlWriter* w, const char* path, std::string* error) {
    size_t written = 0;
    const int write_error = write_all(w->fd, w->buffer.data(), w->buffer.size(), &written);
    if (write_error != 0 && w->error == 0) w->error = write_error;
    if (close(w->fd) != 0 && w->error == 0) w->error = errno;
    w->fd = -1;
    if (w->error != 0) {
        *error = std::string(path) + ": write failed: " + error_text(w->error).text;
        return false;
    }
    return true;
}

// ---- join -------------------------------------------------------------------

namespace {

bool all_digits(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// STEM.K.HHMMSS.dm: the stem and K; false for any other name.
bool parse_rotated(const std::string& name, std::string* stem, long* index) {
    if (name.size() < 3 || name.compare(name.size() - 3, 3, ".dm") != 0) return false;
    const std::string rest = name.substr(0, name.size() - 3);
    const size_t time_dot = rest.rfind('.');
    if (time_dot == std::string::npos || rest.size() - time_dot - 1 != 6 || !all_digits(rest.substr(time_dot + 1)))
        return false;
    const size_t index_dot = rest.rfind('.', time_dot - 1);
    if (time_dot == 0 || index_dot == std::string::npos) return false;
    const std::string digits = rest.substr(index_dot + 1, time_dot - index_dot - 1);
    if (!all_digits(digits) || digits.size() > 6) return false;
    *stem = rest.substr(0, index_dot);
    *index = strtol(digits.c_str(), nullptr, 10);
    return *index > 0;
}

bool read_at(int fd, uint64_t offset, size_t size, std::string* out) {
    out->assign(size, '\0');
    size_t done = 0;
    while (done < size) {
        const ssize_t got = pread_retrying(fd, &(*out)[done], size - done, offset + done);
        if (got <= 0) return false;
        done += static_cast<size_t>(got);
    }
    return true;
}

struct Input {
    int fd = -1;
    uint64_t size = 0;
};

}  // namespace

namespace {

// The regular files of the task in dir: rotated ones by age, and whether
// STEM.dm is there. False with *error for two of the same age, or with an
// empty *error and errno when the directory cannot be read.
bool list_task_files(const std::string& dir, const std::string& prefix, const std::string& stem,
                     std::map<long, std::string>* rotated, bool* current, std::string* error) {
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return false;
    std::string clash;
    // NOLINTNEXTLINE(concurrency-mt-unsafe): this thread's own directory stream
    while (const struct dirent* entry = readdir(d)) {
        const std::string name = entry->d_name;
        std::string entry_stem;
        long entry_index = 0;
        const bool is_current = name == stem + ".dm";
        if (!is_current && !(parse_rotated(name, &entry_stem, &entry_index) && entry_stem == stem)) continue;
        struct stat info;
        if (stat((prefix + name).c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
        if (is_current) {
            *current = true;
        } else if (!rotated->emplace(entry_index, name).second) {
            clash = name + " and " + (*rotated)[entry_index];
        }
    }
    closedir(d);
    if (clash.empty()) return true;
    *error = prefix + stem + ": two files of the same age: " + clash;
    return false;
}

}  // namespace

bool plan_join(const char* file_or_stem, JoinPlan* plan, std::string* error) {
    *plan = JoinPlan();
    const std::string arg = file_or_stem;
    const size_t slash = arg.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : arg.substr(0, slash);
    const std::string base = slash == std::string::npos ? arg : arg.substr(slash + 1);
    std::string stem;
    long index = 0;
    if (!parse_rotated(base, &stem, &index)) {
        stem = base.size() > 3 && base.compare(base.size() - 3, 3, ".dm") == 0 ? base.substr(0, base.size() - 3) : base;
    }
    if (stem.empty()) {
        *error = arg + ": no stem in this name";
        return false;
    }
    const std::string prefix = slash == std::string::npos ? "" : dir + "/";
    plan->stem = prefix + stem;
    plan->rotation_copies = stem.compare(0, sizeof external_modem_prefix - 1, external_modem_prefix) == 0;
    std::map<long, std::string> rotated;
    bool current = false;
    error->clear();
    if (!list_task_files(dir, prefix, stem, &rotated, &current, error)) {
        if (error->empty()) *error = dir + ": cannot read the directory: " + error_text(errno).text;
        return false;
    }
    if (rotated.empty() && !current) {
        *error = plan->stem + ": no file STEM.dm or STEM.K.HHMMSS.dm of this stem";
        return false;
    }
    const long oldest = rotated.empty() ? 0 : rotated.rbegin()->first;
    for (long k = oldest; k >= 1; --k) {
        auto found = rotated.find(k);
        if (found != rotated.end()) {
            plan->files.push_back(prefix + found->second);
        } else {
            plan->gaps.push_back("gap: " + stem + "." + std::to_string(k) +
                                 ".*.dm is missing (deleted or removed): the data it held is lost");
        }
    }
    if (current) {
        plan->files.push_back(prefix + stem + ".dm");
    } else {
        plan->gaps.push_back("gap: " + stem + ".dm is missing: the newest data is lost");
    }
    return true;
}

size_t rotation_copy_size(const std::string& older_tail, const std::string& newer_head) {
    // older_tail holds one byte more than a copy can be when it does not
    // start at the file's start, so that the byte before the copy is known.
    const bool from_file_start = older_tail.size() <= rotation_copy_limit;
    const uint8_t* tail = reinterpret_cast<const uint8_t*>(older_tail.data());
    const uint8_t* head = reinterpret_cast<const uint8_t*>(newer_head.data());
    const size_t n = older_tail.size();
    auto boundary = [&](size_t at) { return at == 0 ? from_file_start : tail[at - 1] == flag_byte; };
    for (size_t k = std::min(n, newer_head.size()); k >= 1; --k) {
        const size_t at = n - k;
        // A copy of header word and data, or of data alone (no header bytes).
        // In a file of reads the word is a read's type, and the count and a
        // length after it are enough to tell a copy: the read before it may
        // be a mask table, which ends with no flag, and so may the buffer.
        const bool with_word =
            at >= header_word_size && memcmp(tail + at - header_word_size, header_word, header_word_size) == 0;
        const bool read_words = with_word && k >= 2 * header_word_size;
        size_t copy = 0;
        if (with_word && (read_words || boundary(at - header_word_size))) {
            copy = k + header_word_size;
        } else if (boundary(at)) {
            copy = k;
        }
        // The copy is the limit, or the whole buffer, which ends a frame.
        if (copy == 0 || copy > rotation_copy_limit ||
            (copy != rotation_copy_limit && head[k - 1] != flag_byte && !read_words))
            continue;
        if (memcmp(tail + at, head, k) == 0) return copy;
    }
    return 0;
}

bool refuse_input_as_output(const char* out_path, const std::vector<FileId>& inputs, std::string* error) {
    struct stat info;
    if (stat(out_path, &info) != 0) return true;  // not there yet, so no input
    for (const FileId& input : inputs) {
        if (input.device == static_cast<uint64_t>(info.st_dev) && input.inode == static_cast<uint64_t>(info.st_ino)) {
            *error = std::string(out_path) + ": is one of the input files";
            return false;
        }
    }
    return true;
}

std::vector<FileId> input_ids(const std::vector<const char*>& paths) {
    std::vector<FileId> ids;
    for (const char* path : paths) {
        struct stat info;
        if (stat(path, &info) == 0)
            ids.push_back(FileId{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)});
    }
    return ids;
}

namespace {

bool open_inputs(const JoinPlan& plan, const char* out_path, std::vector<Input>* inputs, std::string* error) {
    std::vector<FileId> ids;
    for (size_t i = 0; i < plan.files.size(); ++i) {
        Input& input = (*inputs)[i];
        input.fd = open_input(plan.files[i].c_str(), error);
        if (input.fd < 0) return false;
        struct stat info;
        if (fstat(input.fd, &info) != 0) {
            *error = plan.files[i] + ": cannot stat: " + error_text(errno).text;
            return false;
        }
        input.size = static_cast<uint64_t>(info.st_size);
        ids.push_back(FileId{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)});
    }
    return refuse_input_as_output(out_path, ids, error);
}

// Of file i, the bytes that are not the rotation copy of the next file's head.
bool kept_size(const JoinPlan& plan, const std::vector<Input>& inputs, size_t i, uint64_t* duplicate,
               std::string* error) {
    *duplicate = 0;
    if (!plan.rotation_copies || i + 1 >= inputs.size()) return true;
    std::string tail, head;
    const uint64_t tail_size = std::min<uint64_t>(inputs[i].size, rotation_copy_limit + 1);
    const size_t head_size = static_cast<size_t>(std::min<uint64_t>(inputs[i + 1].size, rotation_copy_limit));
    if (!read_at(inputs[i].fd, inputs[i].size - tail_size, static_cast<size_t>(tail_size), &tail) ||
        !read_at(inputs[i + 1].fd, 0, head_size, &head)) {
        *error = plan.files[i] + ": cannot read the ends of it and of the next file";
        return false;
    }
    *duplicate = rotation_copy_size(tail, head);
    return true;
}

bool copy_head(const std::string& name, int in, uint64_t keep, const char* out_path, int out, std::string* error) {
    std::vector<char> block(read_block);
    for (uint64_t done = 0; done < keep;) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(keep - done, block.size()));
        const ssize_t got = pread_retrying(in, block.data(), want, done);
        if (got <= 0) {
            *error = name + ": read failed at offset " + std::to_string(done) + ": " +
                     (got < 0 ? error_text(errno).text : "the file got shorter");
            return false;
        }
        size_t written = 0;
        const int write_error = write_all(out, block.data(), static_cast<size_t>(got), &written);
        if (write_error != 0) {
            *error = std::string(out_path) + ": write failed: " + error_text(write_error).text;
            return false;
        }
        done += static_cast<uint64_t>(got);
    }
    return true;
}

}  // namespace

bool join_files(const JoinPlan& plan, const char* out_path, JoinReport* report, std::string* error) {
    *report = JoinReport();
    std::vector<Input> inputs(plan.files.size());
    bool ok = open_inputs(plan, out_path, &inputs, error);
    int out = -1;
    if (ok) {
        out = open_retrying(out_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0644);
        if (out < 0) {
            *error = std::string(out_path) + ": cannot create: " + error_text(errno).text;
            ok = false;
        }
    }
    for (size_t i = 0; i < inputs.size() && ok; ++i) {
        uint64_t duplicate = 0;
        ok = kept_size(plan, inputs, i, &duplicate, error);
        const uint64_t keep = inputs[i].size - duplicate;
        if (ok) ok = copy_head(plan.files[i], inputs[i].fd, keep, out_path, out, error);
        if (!ok) break;
        report->kept.push_back(keep);
        report->duplicates.push_back(duplicate);
        report->bytes += keep;
    }
    for (Input& input : inputs) {
        if (input.fd >= 0) close(input.fd);
    }
    if (out >= 0 && close(out) != 0 && ok) {
        *error = std::string(out_path) + ": write failed: " + error_text(errno).text;
        ok = false;
    }
    return ok;
}

}  // namespace dm
