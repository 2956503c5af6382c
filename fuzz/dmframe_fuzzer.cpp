// orlith-dm's frame parser on any bytes, fed in blocks of any size: its
// events tile the input in order (flags of empty frames aside), each good
// frame's payload checks again on its own, and the blocks change nothing.
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "dm/frame.h"
#include "fuzz_support.h"

namespace {

struct Event {
    dm::ParseEvent::Kind kind;
    dm::FrameStatus status;
    uint64_t offset, size;
    std::string payload;
    bool operator==(const Event& o) const {
        return kind == o.kind && status == o.status && offset == o.offset && size == o.size && payload == o.payload;
    }
};

struct Run {
    const uint8_t* input;
    std::vector<Event> events;
};

void take(void* context, const dm::ParseEvent& event) {
    Run* run = static_cast<Run*>(context);
    FUZZ_CHECK(event.size > 0);
    if (event.kind == dm::ParseEvent::frame) {
        FUZZ_CHECK(run->input[event.offset + event.size - 1] == dm::flag_byte);
    } else {
        FUZZ_CHECK(event.status == dm::FrameStatus::good && event.payload == nullptr);
    }
    if (event.kind == dm::ParseEvent::header_word) {
        FUZZ_CHECK(event.size == dm::header_word_size);
        FUZZ_CHECK(memcmp(run->input + event.offset, dm::header_word, dm::header_word_size) == 0);
    }
    std::string payload;
    if (event.kind == dm::ParseEvent::frame && event.status == dm::FrameStatus::good) {
        FUZZ_CHECK(event.payload_size > 0);
        payload.assign(reinterpret_cast<const char*>(event.payload), event.payload_size);
        // The frame's own bytes: escaped, with a CRC that checks.
        std::string again;
        FUZZ_CHECK(dm::unframe(run->input + event.offset, event.size, &again) == dm::FrameStatus::good);
        FUZZ_CHECK(again == payload);
    }
    run->events.push_back(Event{event.kind, event.status, event.offset, event.size, payload});
}

std::vector<Event> parse(const uint8_t* data, size_t size, size_t block, size_t max_frame) {
    Run run{data, {}};
    dm::FrameParser parser;
    dm::parser_init(&parser, max_frame);
    for (size_t at = 0; at < size; at += block) {
        dm::parser_feed(&parser, data + at, size - at < block ? size - at : block, take, &run);
    }
    dm::parser_finish(&parser, take, &run);
    FUZZ_CHECK(parser.at == size);
    return run.events;
}

}  // namespace

// Input: one byte for the block size (0: all at once), one for the longest
// frame kept (in units of 16 bytes, 0: the default), then the stream.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint8_t* stream = data + 2;
    const size_t stream_size = size - 2;
    const size_t max_frame = data[1] == 0 ? dm::default_max_frame : data[1] * size_t{16};
    const std::vector<Event> whole = parse(stream, stream_size, stream_size == 0 ? 1 : stream_size, max_frame);
    if (data[0] != 0) FUZZ_CHECK(parse(stream, stream_size, data[0], max_frame) == whole);

    // In order, without overlap; only flags lie between them.
    uint64_t at = 0;
    for (const Event& event : whole) {
        FUZZ_CHECK(event.offset >= at);
        for (uint64_t gap = at; gap < event.offset; ++gap) FUZZ_CHECK(stream[gap] == dm::flag_byte);
        at = event.offset + event.size;
        FUZZ_CHECK(at <= stream_size);
        if (event.kind == dm::ParseEvent::tail) FUZZ_CHECK(at == stream_size);
    }
    for (uint64_t gap = at; gap < stream_size; ++gap) FUZZ_CHECK(stream[gap] == dm::flag_byte);
    return 0;
}
