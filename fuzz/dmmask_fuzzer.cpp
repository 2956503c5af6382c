// orlith-dm's mask decoder: any file is read the way the daemon splits it,
// every packet accounted for inside the file; any bytes decode as a request
// and as a response without reading past them; and a mask built from the
// input's codes reads back as exactly those codes, nothing flagged.
#include <stdint.h>
#include <string.h>

#include <string>

#include "dm/mask.h"
#include "fuzz_support.h"

namespace {

void check_file(const uint8_t* data, size_t size) {
    const char* path = fuzz_file_with(data, size);
    dm::MaskFile mask;
    std::string error;
    FUZZ_CHECK(dm::read_mask_file(path, &mask, &error));
    FUZZ_CHECK(mask.entries.size() <= mask.packets && mask.flagged <= mask.packets);
    FUZZ_CHECK(mask.unsent <= size);
    uint64_t end = 0;
    for (const dm::MaskEntry& entry : mask.entries) {
        FUZZ_CHECK(entry.offset >= end && entry.size > 0 && entry.offset + entry.size <= size);
        FUZZ_CHECK(data[entry.offset + entry.size - 1] == 0x7E);
        FUZZ_CHECK(!entry.good || !entry.dropped);
        FUZZ_CHECK(entry.good || !entry.problem.empty());
        end = entry.offset + entry.size;
    }
}

void check_decoders(const uint8_t* data, size_t size) {
    const dm::MaskRequest request = dm::decode_request(data, size);
    FUZZ_CHECK(!dm::request_text(request).empty());
    if (request.kind == dm::RequestKind::log_set_mask && request.problem == nullptr) {
        FUZZ_CHECK(request.mask == data + 16);
        FUZZ_CHECK((size - 16) * 8 >= request.item_count);
    }
    std::string text;
    bool rejected = false;
    if (dm::describe_response(data, size, &text, &rejected)) FUZZ_CHECK(!text.empty());
}

void check_round_trip(const uint8_t* data, size_t size) {
    dm::MaskSpec spec;
    for (size_t i = 0; i + 4 <= size; i += 4) {
        uint16_t first = static_cast<uint16_t>(data[i] | data[i + 1] << 8);
        uint16_t last = static_cast<uint16_t>(data[i + 2] | data[i + 3] << 8);
        if (last < first) last = first;
        if (last - first > 64) last = static_cast<uint16_t>(first + 64);  // ranges, not the whole space
        dm::codes_add_range(&spec.codes, first, last);
    }
    spec.disable_first = size % 2 == 1;
    std::string file, error;
    if (!dm::build_mask(spec, &file, &error)) return;  // a request the daemon could not send
    const char* path = fuzz_file_with(reinterpret_cast<const uint8_t*>(file.data()), file.size());
    dm::MaskFile mask;
    FUZZ_CHECK(dm::read_mask_file(path, &mask, &error));
    FUZZ_CHECK(mask.flagged == 0 && mask.unsent == 0);
    FUZZ_CHECK(dm::codes_equal(mask.codes, spec.codes));
}

}  // namespace

// Input: one byte chooses the check, the rest is the file or the bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    switch (data[0] % 3) {
        case 0:
            check_file(data + 1, size - 1);
            break;
        case 1:
            check_decoders(data + 1, size - 1);
            break;
        default:
            check_round_trip(data + 1, size - 1);
            break;
    }
    return 0;
}
