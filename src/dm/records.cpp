#include "dm/records.h"

#include <string.h>
#include <strings.h>

#include <algorithm>

#include "dm/capture.h"
#include "dm/packet.h"

namespace dm {

namespace {

void hand_on(RecordScanner* s, const uint8_t* record, size_t size, uint64_t offset, ParseHandler handler,
             void* context) {
    s->payload.clear();
    append_log_packet(get_le16(record + 2), get_le64(record + 4), record + record_header_size,
                      size - record_header_size, &s->payload);
    ParseEvent event;
    event.kind = ParseEvent::frame;
    event.status = FrameStatus::good;
    event.offset = offset;
    event.size = size;
    event.payload = reinterpret_cast<const uint8_t*>(s->payload.data());
    event.payload_size = s->payload.size();
    handler(context, event);
}

// Tops up the held start of a record from data; how many bytes it took.
size_t fill_held(RecordScanner* s, const uint8_t* data, size_t size, ParseHandler handler, void* context) {
    size_t used = 0;
    if (s->held.size() < 2) {
        used = std::min(size, 2 - s->held.size());
        s->held.insert(s->held.end(), data, data + used);
    }
    if (s->held.size() < 2) return used;
    const size_t length = get_le16(s->held.data());
    if (length < record_header_size) {
        s->broken = true;
        s->broken_at = s->at - s->held.size() + used;
        s->held.clear();
        return used;
    }
    const size_t take = std::min(size - used, length - s->held.size());
    s->held.insert(s->held.end(), data + used, data + used + take);
    used += take;
    if (s->held.size() == length) {
        hand_on(s, s->held.data(), length, s->at + used - length, handler, context);
        s->held.clear();
    }
    return used;
}

}  // namespace

bool is_record_file(const char* path) {
    const size_t length = strlen(path);
    return length >= 4 && strcasecmp(path + length - 4, ".dlf") == 0;
}

void records_feed(RecordScanner* s, const uint8_t* data, size_t size, ParseHandler handler, void* context) {
    while (size > 0 && !s->broken) {
        size_t used = 0;
        const size_t length = size < 2 ? 0 : get_le16(data);
        if (!s->held.empty() || size < 2 || (length >= record_header_size && length > size)) {
            // Not whole here: it waits in held for the next block.
            used = fill_held(s, data, size, handler, context);
            if (used == 0) break;  // a guard: a loop that takes nothing would never end
        } else if (length < record_header_size) {
            s->broken = true;
            s->broken_at = s->at;
            break;
        } else {
            hand_on(s, data, length, s->at, handler, context);
            used = length;
        }
        s->at += used;
        data += used;
        size -= used;
    }
    s->at += size;  // the rest of a broken input, kept for the tail's size
}

void records_finish(RecordScanner* s, ParseHandler handler, void* context) {
    if (!s->broken && s->held.empty()) return;
    ParseEvent event;
    event.kind = ParseEvent::tail;
    event.offset = s->broken ? s->broken_at : s->at - s->held.size();
    event.size = s->at - event.offset;
    s->held.clear();
    s->broken = true;
    s->broken_at = s->at;
    handler(context, event);
}

bool scan_records(const char* path, ParseHandler handler, void* context, uint64_t* size, std::string* error) {
    struct Feed {
        RecordScanner scanner;
        ParseHandler handler;
        void* context;
    } feed{RecordScanner(), handler, context};
    const BlockFeed to_scanner = [](void* state, const uint8_t* data, size_t size) {
        Feed* f = static_cast<Feed*>(state);
        records_feed(&f->scanner, data, size, f->handler, f->context);
    };
    if (!read_file_blocks(path, to_scanner, &feed, error)) return false;
    records_finish(&feed.scanner, handler, context);
    *size = feed.scanner.at;
    return true;
}

}  // namespace dm
