// A named generation's capture against its reads: what orlith-dm finds in
// the task's files, frame by frame and modem by modem, against the frames
// of the reads the driver handed to the daemon's descriptors.
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <sstream>

#include "dm/capture.h"
#include "dm/reads.h"
#include "dm/tool.h"
#include "simphone.h"

namespace simphone {

namespace {

using Frames = std::vector<std::string>;

void keep_good(void* context, const dm::ParseEvent& event) {
    if (event.kind != dm::ParseEvent::frame || event.status != dm::FrameStatus::good) return;
    static_cast<Frames*>(context)->emplace_back(reinterpret_cast<const char*>(event.payload), event.payload_size);
}

// The payloads of an entry's whole frames.
void entry_frames(const std::string& data, Frames* out) {
    dm::FrameParser parser;
    dm::parser_init(&parser);
    dm::parser_feed(&parser, reinterpret_cast<const uint8_t*>(data.data()), data.size(), keep_good, out);
    dm::parser_finish(&parser, keep_good, out);
}

// The modem of a token as orlith-dm numbers it.
int modem_of(int32_t token) {
    switch (token) {
        case 0:
            return dm::modem_local;
        case -1:
            return dm::modem_mdm1;
        case -2:
            return dm::modem_mdm2;
        default:
            return dm::modem_qsc;
    }
}

struct Captured {
    Frames frames[dm::modem_count];
};

void keep_by_modem(void* context, const dm::ParseEvent& event) {
    if (event.kind != dm::ParseEvent::frame || event.status != dm::FrameStatus::good) return;
    static_cast<Captured*>(context)->frames[event.modem].emplace_back(reinterpret_cast<const char*>(event.payload),
                                                                      event.payload_size);
}

// What one open file of the device was handed, per modem: every frame of
// its log-data reads, and whether the daemon had to store it.
struct HandleFrames {
    uint32_t handle = 0;
    Frames frames[dm::modem_count];
    std::vector<bool> required[dm::modem_count];
    size_t reads = 0;  // log-data reads it had to store
};

// The daemon writes each request of a mask and takes the next read for its
// answer, whatever that read holds, and stores every other read. A request
// of another task on a descriptor they share may leave the read after it
// stored after all.
std::vector<HandleFrames> handed_frames(const Journal& journal, const std::vector<Event>& requests, Device device) {
    std::vector<HandleFrames> out;
    std::vector<std::vector<const Chunk*>> reads;
    for (const Chunk& chunk : journal) {
        if (chunk.record.device != device) continue;
        auto at = std::find_if(out.begin(), out.end(),
                               [&](const HandleFrames& h) { return h.handle == chunk.record.handle; });
        if (at == out.end()) {
            out.emplace_back();
            out.back().handle = chunk.record.handle;
            reads.emplace_back();
            at = out.end() - 1;
        }
        reads[static_cast<size_t>(at - out.begin())].push_back(&chunk);
    }
    for (size_t h = 0; h < out.size(); ++h) {
        HandleFrames& mine = out[h];
        std::vector<uint64_t> writes;
        for (const Event& event : requests) {
            // A request behind an external modem's token takes no answer
            // from this descriptor.
            if (event.handle == mine.handle && event.result >= 0 && event.a == 0) writes.push_back(event.time_us);
        }
        bool awaited = false;
        size_t next_write = 0;
        for (const Chunk* chunk : reads[h]) {
            for (; next_write < writes.size() && writes[next_write] <= chunk->record.time_us; ++next_write)
                awaited = true;
            const bool must = !awaited;
            awaited = false;
            const DiagRead read = parse_diag_read(*chunk);
            if (!read.log_data()) continue;
            if (must) ++mine.reads;
            for (const ReadEntry& entry : read.entries) {
                const int modem = modem_of(entry.token);
                entry_frames(entry.data, &mine.frames[modem]);
                mine.required[modem].resize(mine.frames[modem].size(), must);
            }
        }
    }
    return out;
}

// orlith-dm check over the files: its exit status and bad frames.
bool run_check(const std::vector<std::string>& paths, size_t* bad, std::string* report) {
    std::vector<const char*> argv = {"orlith-dm", "check", "--json"};
    for (const std::string& path : paths) argv.push_back(path.c_str());
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    if (out == nullptr) return false;
    FILE* err = fopen("/dev/null", "we");
    const int status = err != nullptr ? dm::tool_main(static_cast<int>(argv.size()), argv.data(), out, err) : -1;
    const bool closed = fclose(out) == 0;
    if (err != nullptr) (void)fclose(err);
    report->assign(text, size);
    free(text);
    *bad = 0;
    for (size_t at = report->find("\"bad\":"); at != std::string::npos; at = report->find("\"bad\":", at + 1))
        *bad += strtoull(report->c_str() + at + 6, nullptr, 10);
    return closed && (status == 0 || status == 1);
}

}  // namespace

CaptureCheck check_read_capture(const Journal& journal, const std::vector<Event>& requests, Device device,
                                const std::vector<std::string>& host_files, bool tail_only) {
    CaptureCheck check;
    std::ostringstream message;
    std::string report;
    if (!run_check(host_files, &check.bad, &report)) {
        check.message = "orlith-dm check could not read the files: " + report;
        return check;
    }
    Captured captured;
    for (const std::string& path : host_files) {
        dm::CaptureHandlers handlers;
        handlers.frames = keep_by_modem;
        handlers.context = &captured;
        bool as_reads = false;
        uint64_t size = 0;
        std::string error;
        if (!dm::scan_capture(path.c_str(), handlers, &as_reads, &size, &error)) {
            check.message = error;
            return check;
        }
        check.actual_bytes += size;
    }
    const std::vector<HandleFrames> handed = handed_frames(journal, requests, device);
    for (const HandleFrames& h : handed) check.chunks += h.reads;
    for (int modem = 0; modem < dm::modem_count; ++modem) {
        // Every file's frames one after the other, each marked when it had
        // to be stored and when the capture holds it.
        std::vector<const std::string*> handed_out;
        std::vector<bool> required, found;
        std::vector<uint32_t> handle_of;
        for (const HandleFrames& h : handed) {
            for (size_t i = 0; i < h.frames[modem].size(); ++i) {
                handed_out.push_back(&h.frames[modem][i]);
                required.push_back(h.required[modem][i]);
                handle_of.push_back(h.handle);
            }
        }
        found.assign(handed_out.size(), false);
        const Frames& got = captured.frames[modem];
        size_t next = 0, first_found = handed_out.size(), strays = 0;
        // Where the capture goes on: the next place from which the next few
        // captured frames follow one another as handed out. Answers to the
        // same requests are alike in every run; the log frames after them
        // tell the runs apart.
        auto goes_on_at = [&](size_t at, size_t c) {
            for (size_t k = 0; k < 4 && c + k < got.size(); ++k) {
                if (at + k >= handed_out.size() || *handed_out[at + k] != got[c + k]) return false;
            }
            return true;
        };
        for (size_t c = 0; c < got.size(); ++c) {
            size_t at = next;
            if (c == 0 || at >= handed_out.size() || *handed_out[at] != got[c]) {
                while (at < handed_out.size() && !goes_on_at(at, c)) ++at;
            }
            if (at == handed_out.size()) {
                if (strays++ == 0)
                    message << dm::modem_name(modem) << ": captured frame " << c
                            << " is none the driver handed out after the one before it; ";
                continue;
            }
            found[at] = true;
            first_found = std::min(first_found, at);
            next = at + 1;
        }
        // A tail begins wherever its first frame is: what came before it
        // was rotated away.
        const size_t from = tail_only ? first_found : 0;
        size_t lost = 0;
        for (size_t i = from; i < handed_out.size(); ++i) {
            if (!required[i]) continue;
            ++check.expected_bytes;  // counted in frames here
            if (found[i]) continue;
            if (lost++ == 0)
                message << dm::modem_name(modem) << ": frame " << i << " (of file " << handle_of[i]
                        << ") had to be stored and is not; ";
        }
        check.lost += lost + strays;
        check.frames += got.size();
    }
    check.ok = check.bad == 0 && check.lost == 0 && check.frames > 0;
    message << check.frames << " frames captured of the " << check.expected_bytes << " the reads had to give, "
            << check.lost << " lost, " << check.bad << " bad";
    if (check.bad != 0) message << "; orlith-dm check: " << report;
    check.message = message.str();
    return check;
}

}  // namespace simphone
