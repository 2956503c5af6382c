// orlith-dm's reading of a capture as the driver's reads, on any bytes: the
// reads and the bytes in no read tile the input in order, every frame lies
// inside the input and a good one checks again on its own, and a file that
// is not taken for reads gives what the frame parser gives. The same bytes
// as .dlf records, in two blocks: records and the tail tile the input, and
// each record's log packet holds the record's own bytes.
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "dm/packet.h"
#include "dm/reads.h"
#include "dm/records.h"
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

struct Records {
    const uint8_t* input;
    size_t size;
    uint64_t tiled = 0;
};

void take_record(void* context, const dm::ParseEvent& event) {
    Records* r = static_cast<Records*>(context);
    FUZZ_CHECK(event.offset == r->tiled && event.size > 0 && event.offset + event.size <= r->size);
    r->tiled = event.offset + event.size;
    if (event.kind != dm::ParseEvent::frame) return;
    dm::LogPacket packet;
    FUZZ_CHECK(dm::parse_log_packet(event.payload, event.payload_size, &packet));
    FUZZ_CHECK(dm::log_header_size - 4 + packet.data_size == event.size);
    FUZZ_CHECK(memcmp(packet.data, r->input + event.offset + dm::record_header_size, packet.data_size) == 0);
}

void check_records(const uint8_t* data, size_t size) {
    Records r{data, size};
    dm::RecordScanner scanner;
    const size_t split = size == 0 ? 0 : data[0] % (size + 1);
    dm::records_feed(&scanner, data, split, take_record, &r);
    dm::records_feed(&scanner, data + split, size - split, take_record, &r);
    dm::records_finish(&scanner, take_record, &r);
    FUZZ_CHECK(r.tiled == size);
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
    check_records(data, size);
    return 0;
}
