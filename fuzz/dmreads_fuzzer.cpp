// orlith-dm's reading of a capture as the driver's reads, on any bytes: the
// reads and the bytes in no read tile the input in order, every frame lies
// inside the input and a good one checks again on its own, and a file that
// is not taken for reads gives what the frame parser gives.
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "dm/reads.h"
#include "fuzz_support.h"

namespace {

struct Run {
    const uint8_t* input;
    size_t size;
    uint64_t tiled = 0;  // where the next read must start
    uint64_t frames = 0;
};

void take_frame(void* context, const dm::ParseEvent& event) {
    Run* run = static_cast<Run*>(context);
    FUZZ_CHECK(event.size > 0 && event.offset + event.size <= run->size);
    FUZZ_CHECK(event.modem < dm::modem_count);
    if (event.kind == dm::ParseEvent::frame && event.status == dm::FrameStatus::good) {
        std::string again;
        FUZZ_CHECK(dm::unframe(run->input + event.offset, event.size, &again) == dm::FrameStatus::good);
        FUZZ_CHECK(again.size() == event.payload_size && memcmp(again.data(), event.payload, again.size()) == 0);
    }
    ++run->frames;
}

void take_read(void* context, const dm::ReadEvent& event) {
    Run* run = static_cast<Run*>(context);
    FUZZ_CHECK(event.offset == run->tiled);
    FUZZ_CHECK(event.size > 0 && event.word_bytes <= event.size);
    run->tiled = event.offset + event.size;
    FUZZ_CHECK(run->tiled <= run->size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Run run{data, size};
    dm::CaptureHandlers handlers;
    handlers.frames = take_frame;
    handlers.reads = take_read;
    handlers.context = &run;
    const bool as_reads = dm::scan_capture_bytes(data, size, handlers);
    if (as_reads) {
        FUZZ_CHECK(run.tiled == size);
    } else {
        FUZZ_CHECK(run.tiled == 0);
    }
    return 0;
}
