#include "dm/reads.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "dm/capture.h"
#include "dm/packet.h"
#include "dm/records.h"
#include "msg/error_text.h"
#include "platform/fd_io.h"

namespace dm {

namespace {

constexpr uint32_t type_data = 32, type_deinit = 16, type_hdlc = 0x1000;
constexpr uint64_t word_size = 4;
// Far beyond what any driver hands out; they keep a misread word from
// sending a walk across the file.
constexpr uint32_t max_entries = 4096;
constexpr uint32_t max_entry = 1 << 20;
// How far the search for the next read goes before the bytes are given up.
constexpr uint64_t sync_span = 1 << 20;
constexpr size_t window_size = size_t{8} << 20;

bool is_mask_type(uint32_t type) { return type == 1 || type == 2 || type == 4 || type == 0x100 || type == 0x200; }

int modem_of_token(uint32_t word) {
    switch (word) {
        case 0xFFFFFFFFu:
            return modem_mdm1;
        case 0xFFFFFFFEu:
            return modem_mdm2;
        case 0xFFFFFFFBu:
            return modem_qsc;
        default:
            return -1;
    }
}

// The file from the earliest offset still needed on: a read, and the search
// for the next one, never need more than a few MiB of it at once.
class Bytes {
public:
    Bytes(const uint8_t* data, uint64_t size) : data_(data), size_(size) {}
    Bytes(int fd, uint64_t size) : fd_(fd), size_(size) {}
    uint64_t size() const { return size_; }
    int error() const { return error_; }
    // [offset, offset + n), or null when that passes the end or a read failed.
    const uint8_t* get(uint64_t offset, size_t n) {
        if (offset > size_ || n > size_ - offset) return nullptr;
        if (data_ != nullptr) return data_ + offset;
        if ((offset < base_ || offset + n > base_ + fill_) && !load(offset, offset + n)) return nullptr;
        return buffer_.data() + (offset - base_);
    }
    bool le32(uint64_t offset, uint32_t* value) {
        const uint8_t* p = get(offset, word_size);
        if (p == nullptr) return false;
        *value = get_le32(p);
        return true;
    }
    void keep_from(uint64_t offset) { keep_ = std::max(keep_, offset); }

private:
    bool load(uint64_t offset, uint64_t end) {
        if (offset < base_ || offset > base_ + fill_) {
            base_ = offset;
            fill_ = 0;
        } else if (keep_ > base_) {
            const size_t drop = static_cast<size_t>(std::min<uint64_t>(std::min(keep_, offset) - base_, fill_));
            memmove(buffer_.data(), buffer_.data() + drop, fill_ - drop);
            base_ += drop;
            fill_ -= drop;
        }
        const size_t need = static_cast<size_t>(end - base_);
        if (buffer_.size() < need) buffer_.resize(std::max(need, window_size));
        const size_t want = static_cast<size_t>(std::min<uint64_t>(buffer_.size(), size_ - base_));
        while (fill_ < need) {
            const ssize_t got = pread_retrying(fd_, buffer_.data() + fill_, want - fill_, base_ + fill_);
            if (got <= 0) {
                error_ = got < 0 ? errno : EIO;
                return false;
            }
            fill_ += static_cast<size_t>(got);
        }
        return true;
    }
    const uint8_t* data_ = nullptr;
    int fd_ = -1;
    uint64_t size_ = 0;
    std::vector<uint8_t> buffer_;
    uint64_t base_ = 0, keep_ = 0;
    size_t fill_ = 0;
    int error_ = 0;
};

struct Entry {
    int modem = modem_local;
    uint64_t data = 0;  // offset of its data
    uint32_t size = 0;
};
enum class Fit { whole, absent, bad_length, bad_data, past_end };

// The entry at `at`: whole when its length is sane and its data, in the
// file, ends a frame.
Fit entry_at(Bytes* b, uint64_t at, Entry* e) {
    if (at == b->size()) return Fit::absent;
    uint32_t word = 0;
    // Even when the end of the file cuts the first word, its data would
    // follow it: a cut entry gives no more than the bytes it has.
    e->modem = modem_local;
    e->data = at + word_size;
    if (!b->le32(at, &word)) return Fit::past_end;
    e->modem = modem_of_token(word);
    if (e->modem >= 0) {
        e->data += word_size;
        if (!b->le32(at + word_size, &word)) return Fit::past_end;
    } else {
        e->modem = modem_local;
    }
    e->size = word;
    if (word == 0 || word > max_entry) return Fit::bad_length;
    if (e->data + word > b->size()) return Fit::past_end;
    const uint8_t* last = b->get(e->data + word - 1, 1);
    return last != nullptr && *last == flag_byte ? Fit::whole : Fit::bad_data;
}

// Whether the entry's data starts and ends with a good frame: what a read
// looked for among other bytes must show beyond a length that lands on a
// flag. An entry holds whole frames, so its first one starts at its first
// byte; a length read from inside a frame stream lands its data mid-frame.
bool ends_with_good_frame(Bytes* b, const Entry& e) {
    const uint8_t* data = b->get(e.data, e.size);
    if (data == nullptr) return false;
    size_t lead = 0;  // an opening flag, where a peripheral writes one
    while (lead < e.size && data[lead] == flag_byte) ++lead;
    if (lead == e.size) return false;
    const uint8_t* first_end = static_cast<const uint8_t*>(memchr(data + lead, flag_byte, e.size - lead));
    size_t start = e.size - 1;
    while (start > lead && data[start - 1] != flag_byte) --start;
    std::string payload;
    return unframe(data + start, e.size - start, &payload) == FrameStatus::good &&
           (start == lead ||
            unframe(data + lead, static_cast<size_t>(first_end - data) - lead, &payload) == FrameStatus::good);
}

// A data read at some offset, read with or without its type word.
struct Walk {
    bool valid = false;  // the words before the entries make sense
    bool typed = false;
    uint32_t count = 0;
    uint32_t entries = 0;       // whole entries from the first
    uint64_t whole_end = 0;     // after the last of them
    uint64_t dangling_end = 0;  // after a length word that lacks its data; 0 when none
    bool complete = false;      // `count` whole entries
    bool cut = false;           // an entry runs past the end of the file
};

// An entry that is not whole ends the walk: cut when it runs past the end
// of the file; a length word without its data when a read may follow it,
// which for a short read's last word includes one whose data would pass
// the end.
void note_unwhole(Bytes* b, Fit fit, const Entry& e, Walk* w) {
    if (fit == Fit::past_end) w->cut = true;
    if ((fit == Fit::bad_data || fit == Fit::past_end) && e.size != 0 && e.data <= b->size()) w->dangling_end = e.data;
}

Walk walk_read(Bytes* b, uint64_t at, bool typed) {
    Walk w;
    w.typed = typed;
    uint32_t type = 0;
    if (typed && (!b->le32(at, &type) || type != type_data)) return w;
    if (typed) at += word_size;
    if (!b->le32(at, &w.count) || w.count > max_entries) return w;
    w.valid = true;
    w.whole_end = at += word_size;
    for (; w.entries < w.count; ++w.entries) {
        Entry e;
        const Fit fit = entry_at(b, at, &e);
        note_unwhole(b, fit, e, &w);
        if (fit != Fit::whole) break;
        w.whole_end = at = e.data + e.size;
    }
    w.complete = w.entries == w.count;
    return w;
}

// Past reads that bring no data, [32][0]: a kernel that copies only whole
// entries returns them while the first waiting one does not fit, maybe many
// in a row. One without its type word, a batch's first, is a zero word and
// must have a read with its type word behind it. They prove nothing alone,
// so what follows a read is looked for behind them.
uint64_t past_empty_reads(Bytes* b, uint64_t at) {
    uint32_t word = 0, next = 0;
    if (b->le32(at, &word) && word == 0 && b->le32(at + word_size, &next) && next == type_data) at += word_size;
    for (uint32_t n = 0; n < max_entries && b->le32(at, &word) && word == type_data; ++n) {
        if (!b->le32(at + word_size, &next) || next != 0) break;
        // Followed by an entry, it is a short read whose stale count is 0.
        Entry e;
        if (entry_at(b, at + 2 * word_size, &e) == Fit::whole && ends_with_good_frame(b, e)) break;
        at += 2 * word_size;
    }
    return at;
}

// Each whole entry of the walk from `at` ends with a good frame.
bool entries_ring_true(Bytes* b, uint64_t at, const Walk& w) {
    at += (w.typed ? 2 : 1) * word_size;
    for (uint32_t i = 0; i < w.entries; ++i) {
        Entry e;
        if (entry_at(b, at, &e) != Fit::whole || !ends_with_good_frame(b, e)) return false;
        at = e.data + e.size;
    }
    return true;
}

// The walk up to its first entry that does not start and end with a good
// frame: a short read's last length word whose data is missing may still
// land on a flag in the reads after it, which are no frames.
Walk ringing(Bytes* b, uint64_t at, Walk w) {
    at += (w.typed ? 2 : 1) * word_size;
    for (uint32_t i = 0; w.valid && i < w.entries; ++i) {
        Entry e;
        entry_at(b, at, &e);
        if (!ends_with_good_frame(b, e)) {
            w.entries = i;
            w.whole_end = at;
            w.dangling_end = e.data;
            w.complete = w.cut = false;
            break;
        }
        at = e.data + e.size;
    }
    return w;
}

// The walk carried on past its count: a short read of a kernel that leaves
// the count word stale may hold more entries than it says, each of which
// must end with a good frame.
Walk walk_on(Bytes* b, Walk w) {
    w.complete = false;
    for (uint64_t at = w.whole_end; w.entries < max_entries; ++w.entries) {
        Entry e;
        const Fit fit = entry_at(b, at, &e);
        note_unwhole(b, fit, e, &w);
        if (fit != Fit::whole || !ends_with_good_frame(b, e)) break;
        w.whole_end = at = e.data + e.size;
    }
    return w;
}

bool non_data_word(Bytes* b, uint64_t at) {
    uint32_t type = 0;
    if (!b->le32(at, &type)) return false;
    if (is_mask_type(type) || type == type_deinit) return true;
    const uint8_t* setting = b->get(at + word_size, 1);
    return type == type_hdlc && setting != nullptr && *setting <= 1;
}

// What the file holds of an entry it cuts starts as frames do: with a good
// one, or, unless `need_frame`, with no flag at all.
bool cut_entry_starts_well(Bytes* b, uint64_t at, bool need_frame = false) {
    Entry e;
    if (entry_at(b, at, &e) != Fit::past_end || e.data >= b->size()) return false;
    const size_t size = static_cast<size_t>(std::min<uint64_t>(b->size() - e.data, e.size));
    const uint8_t* data = b->get(e.data, size);
    const uint8_t* flag = data != nullptr ? static_cast<const uint8_t*>(memchr(data, flag_byte, size)) : nullptr;
    std::string payload;
    return data != nullptr &&
           (flag == nullptr ? !need_frame
                            : unframe(data, static_cast<size_t>(flag - data), &payload) == FrameStatus::good);
}

// The end of the file, or a read with its type word that the end cuts (the
// external modem's rotation copy of a buffer's head): after a whole entry,
// or in its first one.
bool ends_file(Bytes* b, uint64_t at) {
    at = past_empty_reads(b, at);
    if (at == b->size()) return true;
    const Walk w = walk_read(b, at, true);
    return w.valid && w.cut && (w.entries >= 1 || cut_entry_starts_well(b, w.whole_end));
}

// A read with its type word and a whole entry, complete or not, its count
// maybe stale, whose entries end with good frames.
bool typed_start(Bytes* b, uint64_t at) {
    at = past_empty_reads(b, at);
    const Walk w = ringing(b, at, walk_read(b, at, true));
    const Walk more = w.valid && w.complete ? walk_on(b, w) : w;
    return more.valid && more.entries >= 1;
}

// Where a search may take up the reads again: a read of log data whose
// entries start and end with good frames, with its type word or without,
// whole or short, its count stale above or below what it holds. Mask tables
// are full of words that pass for a type, a count and a length; they hold
// no run of good frames that a length word marks out.
bool sync_point(Bytes* b, uint64_t at) {
    for (bool typed : {true, false}) {
        const Walk w = ringing(b, at, walk_read(b, at, typed));
        if (!w.valid) continue;
        const Walk more = w.complete ? walk_on(b, w) : w;
        if (more.entries >= 1) return true;
        // The end of the file cuts its first entry after a good frame.
        if (w.cut && w.entries == 0 && cut_entry_starts_well(b, w.whole_end, true)) return true;
    }
    return false;
}

constexpr uint64_t none = ~uint64_t{0};

uint64_t find_sync(Bytes* b, uint64_t from) {
    const uint64_t limit = std::min(b->size(), from + sync_span);
    for (uint64_t at = from; at < limit; ++at) {
        if (sync_point(b, at)) return at;
    }
    return none;
}

// What may follow a read taken at a known boundary.
bool plausible_next(Bytes* b, uint64_t at) {
    at = past_empty_reads(b, at);
    if (ends_file(b, at) || non_data_word(b, at) || typed_start(b, at)) return true;
    for (bool typed : {true, false}) {
        const Walk w = walk_read(b, at, typed);
        if (w.valid && w.complete) return true;
    }
    return false;
}

struct Relay {
    const CaptureHandlers* handlers;
    uint8_t modem;
};

void relay(void* context, const ParseEvent& event) {
    const Relay* r = static_cast<const Relay*>(context);
    ParseEvent copy = event;
    copy.modem = r->modem;
    r->handlers->frames(r->handlers->context, copy);
}

struct ModemParser {
    FrameParser parser;
    Relay relay;
};

struct Walker {
    Bytes* b;
    const CaptureHandlers* handlers;
    std::unique_ptr<ModemParser> parsers[modem_count];
    std::unique_ptr<FrameParser> region;
};

ModemParser* parser_of(Walker* w, int modem) {
    std::unique_ptr<ModemParser>& p = w->parsers[modem];
    if (!p) {
        p.reset(new ModemParser());
        parser_init(&p->parser);
        p->relay = Relay{w->handlers, static_cast<uint8_t>(modem)};
    }
    return p.get();
}

void report(Walker* w, ReadEvent::Kind kind, bool typed, uint64_t offset, uint64_t size, uint64_t words,
            uint32_t entries) {
    if (w->handlers->reads == nullptr || size == 0) return;
    ReadEvent event;
    event.kind = kind;
    event.typed = typed;
    event.offset = offset;
    event.size = size;
    event.word_bytes = words;
    event.entries = entries;
    w->handlers->reads(w->handlers->context, event);
}

// The frames of a read's entries, each to its modem's parser; the last one,
// when the file cuts it, ends that parser's input with a tail.
uint64_t emit_entries(Walker* w, uint64_t at, uint32_t entries, bool cut) {
    uint64_t words = 0;
    for (uint32_t i = 0; i < entries + (cut ? 1 : 0); ++i) {
        Entry e;
        entry_at(w->b, at, &e);
        words += std::min(e.data, w->b->size()) - at;
        ModemParser* p = parser_of(w, e.modem);
        parser_seek(&p->parser, e.data);
        const uint64_t size = i < entries ? e.size : e.data < w->b->size() ? w->b->size() - e.data : 0;
        const uint8_t* data = size != 0 ? w->b->get(e.data, static_cast<size_t>(size)) : nullptr;
        if (data != nullptr) parser_feed(&p->parser, data, static_cast<size_t>(size), relay, &p->relay);
        if (i == entries) parser_finish(&p->parser, relay, &p->relay);
        at = e.data + size;
    }
    return words;
}

// A data read as walked: its end.
uint64_t take_data(Walker* w, uint64_t at, const Walk& walk, uint64_t end) {
    const ReadEvent::Kind kind = walk.cut        ? ReadEvent::cut_data
                                 : walk.complete ? ReadEvent::data
                                                 : ReadEvent::short_data;
    const uint64_t head = (walk.typed ? 2 : 1) * word_size;
    uint64_t words = head + emit_entries(w, at + head, walk.entries, walk.cut);
    if (walk.cut) {
        end = w->b->size();
    } else {
        words += end - walk.whole_end;  // a length word without its data
    }
    report(w, kind, walk.typed, at, end - at, std::min(words, end - at), walk.entries);
    return end;
}

// After a read whose count is stale, its count is no guide to where it
// ends: a read found anew is trusted, or one with its type word and a whole
// entry, or another kind's type word, or a batch's first read without its
// type word (itself maybe short, or holding more than its count) followed
// by one of those.
bool followed_well(Bytes* b, uint64_t at) {
    const auto next = [b](uint64_t end) {
        return ends_file(b, end) || non_data_word(b, past_empty_reads(b, end)) || typed_start(b, end);
    };
    if (next(at) || sync_point(b, at)) return true;
    const Walk u = walk_read(b, at, false);
    if (!u.valid || u.entries == 0) return false;
    const Walk more = u.complete ? walk_on(b, u) : u;  // its own count may be stale
    for (const Walk& w : {u, more}) {
        if (next(w.whole_end) || (w.dangling_end != 0 && next(w.dangling_end))) return true;
    }
    return false;
}

struct Found {
    Walk walk;
    uint64_t end = none;
};

// A walk that ends before what the end of the file cuts is not cut.
Found ended(Walk walk, uint64_t end) {
    walk.cut = false;
    return Found{walk, end};
}

// A complete walk carried on: more entries than counted, or as many and a
// length word without its data, up to what may follow a short read; or up
// to an entry that the end of the file cuts.
Found more_than_counted(Bytes* b, const Walk& walk) {
    const Walk more = walk_on(b, walk);
    // A word that starts a read of its own is no length.
    uint32_t word = 0;
    const bool own_read = b->le32(walk.whole_end, &word) && (word == type_data || non_data_word(b, walk.whole_end));
    if (more.entries == walk.entries && (more.dangling_end == 0 || own_read)) return {};
    if (more.entries > walk.entries && followed_well(b, more.whole_end)) return ended(more, more.whole_end);
    if (more.dangling_end != 0 && followed_well(b, more.dangling_end)) return ended(more, more.dangling_end);
    if (more.cut && (more.entries > walk.entries || (!own_read && cut_entry_starts_well(b, more.whole_end, true))))
        return {more, b->size()};
    return {};
}

// The data read at a known boundary, as the first rule that fits: whole and
// followed by what a read can be; holding more than counted; whole; fewer
// entries than counted; cut by the end of the file. Its end is `none` when
// none fits. A count that is also another kind's type word is taken for one
// only when each entry ends with a good frame.
Found data_read_at(Bytes* b, uint64_t at) {
    const Walk walks[2] = {walk_read(b, at, true), walk_read(b, at, false)};
    const bool other_kind = non_data_word(b, at);
    // A zero word is a read only in front of one with its type word, or as
    // a short read's stale count in front of an entry.
    uint32_t next = 0;
    Entry e;
    const bool lone_zero = walks[1].count == 0 && !(b->le32(at + word_size, &next) && next == type_data) &&
                           !(entry_at(b, at + word_size, &e) == Fit::whole && ends_with_good_frame(b, e));
    const auto trusted = [b, at, other_kind, lone_zero](const Walk& w) {
        if (!w.valid || (!w.typed && lone_zero)) return false;
        return w.typed || !other_kind || (w.entries >= 1 && entries_ring_true(b, at, w)) ||
               (w.cut && w.entries == 0 && cut_entry_starts_well(b, w.whole_end, true));
    };
    for (const Walk& walk : walks) {
        if (trusted(walk) && walk.complete && plausible_next(b, walk.whole_end)) return {walk, walk.whole_end};
    }
    for (const Walk& walk : walks) {
        const Found more = trusted(walk) && walk.complete ? more_than_counted(b, walk) : Found();
        if (more.end != none) return more;
    }
    // Short after all: its last entry is a length word without its data
    // that lands on a flag in the reads after it.
    for (const Walk& walk : walks) {
        if (!trusted(walk) || !walk.complete) continue;
        const Walk r = ringing(b, at, walk);
        if (!r.complete && r.dangling_end != 0 && followed_well(b, r.dangling_end)) return ended(r, r.dangling_end);
    }
    // Whole, though what follows is no read: the next batch's first read,
    // without its type word, is no data.
    for (const Walk& walk : walks) {
        if (trusted(walk) && walk.complete && (walk.typed || walk.count > 0)) return {walk, walk.whole_end};
    }
    // Short: after a count that is also another kind's type word, unless the
    // entries end with good frames, only a read found anew may follow.
    for (const Walk& walk : walks) {
        if (!walk.valid || walk.complete || (!walk.typed && walk.entries == 0)) continue;
        const bool trust = trusted(walk);
        const auto after = [b, trust](uint64_t end) {
            return trust ? followed_well(b, end) : ends_file(b, end) || sync_point(b, end) || typed_start(b, end);
        };
        if (after(walk.whole_end)) return ended(walk, walk.whole_end);
        if (walk.dangling_end != 0 && after(walk.dangling_end)) return ended(walk, walk.dangling_end);
    }
    for (const Walk& walk : walks) {
        if (trusted(walk) && walk.cut) return {walk, b->size()};
    }
    return {};
}

uint64_t take_data_read(Walker* w, uint64_t at) {
    const Found f = data_read_at(w->b, at);
    return f.end == none ? none : take_data(w, at, f.walk, f.end);
}

// Bytes where no read is found are scanned for frames on their own, so that
// they cannot run into the next read's, and only their good frames are
// kept: the rest of a read after a damaged word still gives its frames. A
// mask table gives none: reads are found again wherever a read's entries
// start and end with good frames, and a table's runs of 0xFF before a flag
// pass for a frame. Nor do the bytes before the first read, which are the
// first batch's first read without its type word, and no data: a table.
void take_region(Walker* w, ReadEvent::Kind kind, uint64_t from, uint64_t to) {
    const bool table = kind == ReadEvent::mask_table;
    report(w, kind, table, from, to - from, table ? word_size : 0, 0);
    if (table || from == 0) return;
    const uint8_t* data = w->b->get(from, static_cast<size_t>(to - from));
    if (data == nullptr) return;
    if (!w->region) {
        w->region.reset(new FrameParser());
        parser_init(w->region.get());
    }
    const ParseHandler good_only = [](void* context, const ParseEvent& event) {
        if (event.kind == ParseEvent::frame && event.status == FrameStatus::good) relay(context, event);
    };
    Relay to_local{w->handlers, modem_local};
    parser_seek(w->region.get(), from);
    parser_feed(w->region.get(), data, static_cast<size_t>(to - from), good_only, &to_local);
    parser_finish(w->region.get(), good_only, &to_local);
}

// The read at `at`, a boundary: its end.
uint64_t take_read(Walker* w, uint64_t at) {
    Bytes* b = w->b;
    const uint64_t end = take_data_read(w, at);
    if (end != none) return end;
    uint32_t type = 0;
    if (non_data_word(b, at) && b->le32(at, &type)) {
        if (type == type_deinit || type == type_hdlc) {
            const uint64_t size = type == type_hdlc ? word_size + 1 : word_size;
            report(w, type == type_hdlc ? ReadEvent::hdlc : ReadEvent::deinit, true, at, size, size, 0);
            return at + size;
        }
        const uint64_t next = find_sync(b, at + word_size);
        const uint64_t table_end = next != none ? next : std::min(b->size(), at + word_size + sync_span);
        take_region(w, ReadEvent::mask_table, at, table_end);
        return table_end;
    }
    const uint64_t next = find_sync(b, at + 1);
    const uint64_t gap_end = next != none ? next : std::min(b->size(), at + 1 + sync_span);
    take_region(w, ReadEvent::no_read, at, gap_end);
    return gap_end;
}

// From the first byte when it starts another kind's read (a file of a
// kernel whose header bytes are 0), else from the first read that made the
// file one of reads: the bytes before it are the first batch's first read
// without its type word, and no data.
void walk_reads(Walker* w, uint64_t first) {
    if (non_data_word(w->b, 0)) first = 0;
    if (first > 0) take_region(w, ReadEvent::no_read, 0, first);
    for (uint64_t at = first; at < w->b->size();) {
        w->b->keep_from(at);
        at = take_read(w, at);
    }
}

// A file starts at a batch: a first read without its type word whose
// entries start and end with good frames is one when it holds two or more,
// or when what follows it may follow a short read; so is one that the end
// of the file cuts in its first entry after a good frame.
bool starts_with_read(Bytes* b) {
    const Found f = data_read_at(b, 0);
    if (f.end == none) return false;
    if (f.walk.cut && f.walk.entries == 0) return cut_entry_starts_well(b, f.walk.whole_end, true);
    return f.walk.entries >= 1 && entries_ring_true(b, 0, f.walk) && (f.walk.entries >= 2 || followed_well(b, f.end));
}

// A file is taken for reads when they start at its first byte, or when a
// read is found further on: its entries start and end with good frames, and
// a frame stream holds no such run that a length word in front marks out,
// since the word's last byte would be the flag that ends the frame before.
bool made_of_reads(Bytes* b, uint64_t* first) {
    *first = starts_with_read(b) ? 0 : find_sync(b, 0);
    return *first != none;
}

}  // namespace

const char* modem_name(int modem) {
    static const char* const names[] = {"local modem", "external modem 1", "external modem 2", "QSC"};
    return modem >= 0 && modem < modem_count ? names[modem] : "?";
}

const char* modem_suffix(int modem) {
    static const char* const suffixes[] = {"", "mdm1", "mdm2", "qsc"};
    return modem >= 0 && modem < modem_count ? suffixes[modem] : "?";
}

std::string modem_output_path(const std::string& out, int modem) {
    if (modem == modem_local) return out;
    const size_t slash = out.rfind('/');
    const size_t dot = out.rfind('.');
    const size_t name = slash == std::string::npos ? 0 : slash + 1;
    // A leading dot names a hidden file, not an extension.
    const size_t at = dot == std::string::npos || dot <= name ? out.size() : dot;
    return out.substr(0, at) + "." + modem_suffix(modem) + out.substr(at);
}

bool scan_capture_bytes(const uint8_t* data, size_t size, const CaptureHandlers& handlers) {
    Bytes b(data, size);
    uint64_t first = 0;
    if (!made_of_reads(&b, &first)) {
        FrameParser parser;
        parser_init(&parser);
        parser_feed(&parser, data, size, handlers.frames, handlers.context);
        parser_finish(&parser, handlers.frames, handlers.context);
        return false;
    }
    Walker w{&b, &handlers, {}, nullptr};
    walk_reads(&w, first);
    return true;
}

bool scan_capture(const char* path, const CaptureHandlers& handlers, bool* as_reads, uint64_t* size,
                  std::string* error) {
    *as_reads = false;
    *size = 0;
    // Records carry no framing whose bytes could tell them: the name does.
    if (is_record_file(path)) return scan_records(path, handlers.frames, handlers.context, size, error);
    const int fd = open_retrying(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    struct stat info;
    if (fd >= 0 && fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        Bytes b(fd, static_cast<uint64_t>(info.st_size));
        uint64_t first = 0;
        if (made_of_reads(&b, &first)) {
            *as_reads = true;
            Walker w{&b, &handlers, {}, nullptr};
            walk_reads(&w, first);
            close(fd);
            if (b.error() != 0) {
                *error = std::string(path) + ": read failed: " + error_text(b.error()).text;
                return false;
            }
            *size = b.size();
            return true;
        }
    }
    if (fd >= 0) close(fd);
    // Not reads (or no regular file): the frame stream, as it always was.
    FrameParser parser;
    parser_init(&parser);
    if (!scan_file(path, &parser, handlers.frames, handlers.context, error)) return false;
    *size = parser.at;
    return true;
}

}  // namespace dm
