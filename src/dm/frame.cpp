#include "dm/frame.h"

#include <string.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "dm/packet.h"

namespace dm {

namespace {

// Sixteen tables, so that the CRC takes sixteen bytes a step, read as two
// words: a capture is checked at close to the speed it is read.
struct CrcTables {
    uint16_t t[16][256];
    constexpr CrcTables() : t() {
        for (unsigned i = 0; i < 256; ++i) {
            unsigned crc = i;
            for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0x8408u : crc >> 1;
            t[0][i] = static_cast<uint16_t>(crc);
        }
        for (unsigned i = 0; i < 256; ++i) {
            for (int k = 1; k < 16; ++k) t[k][i] = static_cast<uint16_t>((t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF]);
        }
    }
};
constexpr CrcTables crc_tables;

uint16_t crc_update(uint16_t crc, const uint8_t* data, size_t length) {
    const auto& t = crc_tables.t;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    while (length >= 16) {
        uint64_t a, b;
        memcpy(&a, data, sizeof a);
        memcpy(&b, data + 8, sizeof b);
        a ^= crc;
        crc = static_cast<uint16_t>(t[15][a & 0xFF] ^ t[14][(a >> 8) & 0xFF] ^ t[13][(a >> 16) & 0xFF] ^
                                    t[12][(a >> 24) & 0xFF] ^ t[11][(a >> 32) & 0xFF] ^ t[10][(a >> 40) & 0xFF] ^
                                    t[9][(a >> 48) & 0xFF] ^ t[8][a >> 56] ^ t[7][b & 0xFF] ^ t[6][(b >> 8) & 0xFF] ^
                                    t[5][(b >> 16) & 0xFF] ^ t[4][(b >> 24) & 0xFF] ^ t[3][(b >> 32) & 0xFF] ^
                                    t[2][(b >> 40) & 0xFF] ^ t[1][(b >> 48) & 0xFF] ^ t[0][b >> 56]);
        data += 16;
        length -= 16;
    }
#endif
    while (length-- > 0) crc = static_cast<uint16_t>((crc >> 8) ^ t[0][(crc ^ *data++) & 0xFF]);
    return crc;
}

void append_escaped(uint8_t byte, std::string* out) {
    if (byte == flag_byte || byte == escape_byte) {
        out->push_back(static_cast<char>(escape_byte));
        out->push_back(static_cast<char>(byte ^ escape_xor));
    } else {
        out->push_back(static_cast<char>(byte));
    }
}

// The first flag or escape byte at or after p, many bytes a step.
const uint8_t* find_special(const uint8_t* p, const uint8_t* end) {
#if defined(__SSE2__)
    const __m128i flags = _mm_set1_epi8(static_cast<char>(flag_byte));
    const __m128i escapes = _mm_set1_epi8(static_cast<char>(escape_byte));
    while (end - p >= 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const int hits = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(bytes, flags), _mm_cmpeq_epi8(bytes, escapes)));
        if (hits != 0) return p + __builtin_ctz(static_cast<unsigned>(hits));
        p += 16;
    }
#else
    constexpr uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
    while (end - p >= 8) {
        uint64_t word;
        memcpy(&word, p, sizeof word);
        const uint64_t flags = word ^ (ones * flag_byte), escapes = word ^ (ones * escape_byte);
        if ((((flags - ones) & ~flags) | ((escapes - ones) & ~escapes)) & highs) break;
        p += 8;
    }
#endif
    while (p < end && *p != flag_byte && *p != escape_byte) ++p;
    return p;
}

bool crc_matches(const uint8_t* frame, size_t size) {
    if (size < crc_size + 1) return false;
    const size_t body = size - crc_size;
    const uint16_t stored = static_cast<uint16_t>(frame[body] | frame[body + 1] << 8);
    return crc16_x25(frame, body) == stored;
}

void push_byte(FrameParser* p, uint8_t byte, bool escaped) {
    if (p->fill >= p->max_frame) {
        p->overlong = true;
        return;
    }
    if (escaped) {
        p->escaped[p->fill / 64] |= uint64_t{1} << (p->fill % 64);
        ++p->escapes;
    }
    p->frame[p->fill++] = byte;
}

void push_run(FrameParser* p, const uint8_t* data, size_t size) {
    size_t room = p->max_frame - p->fill;
    if (size > room) p->overlong = true;
    if (size < room) room = size;
    memcpy(p->frame.data() + p->fill, data, room);
    p->fill += room;
}

// Bytes of the input that the first `index` unescaped bytes came from.
uint64_t input_bytes_before(const FrameParser* p, size_t index) {
    uint64_t escapes = 0;
    if (p->escapes != 0) {
        for (size_t word = 0; word < index / 64; ++word)
            escapes += static_cast<uint64_t>(__builtin_popcountll(p->escaped[word]));
        if (index % 64 != 0)
            escapes += static_cast<uint64_t>(
                __builtin_popcountll(p->escaped[index / 64] & ((uint64_t{1} << (index % 64)) - 1)));
    }
    return index + escapes;
}

bool any_escaped_before(const FrameParser* p, size_t index) { return input_bytes_before(p, index) != index; }

// The register a good frame, its CRC included, leaves behind.
constexpr uint16_t good_residue = 0xF0B8;

// One step of the register over a zero byte, and back: the register is
// linear in its bits, and this step is a bijection (the table's high bytes
// are all different), so it can be undone.
uint16_t zero_step(uint16_t r) { return static_cast<uint16_t>((r >> 8) ^ crc_tables.t[0][r & 0xFF]); }

struct ZeroStepInverse {
    uint8_t low_of_high[256];
    constexpr ZeroStepInverse() : low_of_high() {
        for (unsigned i = 0; i < 256; ++i) low_of_high[crc_tables.t[0][i] >> 8] = static_cast<uint8_t>(i);
    }
};
constexpr ZeroStepInverse zero_step_inverse;

uint16_t zero_step_back(uint16_t r) {
    const uint8_t low = zero_step_inverse.low_of_high[r >> 8];
    return static_cast<uint16_t>((r ^ crc_tables.t[0][low]) << 8 | low);
}

// Which suffixes of a frame check, each in constant time, so that trying
// every split point is linear in the frame. With A(s) the register after
// the frame's first s bytes and Z one zero byte's step, the suffix from s
// leaves A(fill) ^ Z^m(A(s) ^ 0xFFFF), m = fill - s: it checks when
// A(s) ^ 0xFFFF equals Z^-m(A(fill) ^ residue), and both sides move on by
// one step a byte.
struct SuffixCheck {
    const uint8_t* frame;
    size_t fill;
    size_t at;
    uint16_t prefix;  // A(at)
    uint16_t wanted;  // Z^-(fill - at)(A(fill) ^ residue)
};

SuffixCheck suffix_check_from(const uint8_t* frame, size_t fill, size_t from) {
    SuffixCheck c{frame, fill, from, crc_update(0xFFFF, frame, from), 0};
    c.wanted = static_cast<uint16_t>(crc_update(c.prefix, frame + from, fill - from) ^ good_residue);
    for (size_t m = fill - from; m > 0; --m) c.wanted = zero_step_back(c.wanted);
    return c;
}

// Whether the bytes from `s` on are a good frame; s only grows from one
// call to the next.
bool suffix_checks(SuffixCheck* c, size_t s) {
    for (; c->at < s; ++c->at) {
        c->prefix = static_cast<uint16_t>((c->prefix >> 8) ^ crc_tables.t[0][(c->prefix ^ c->frame[c->at]) & 0xFF]);
        c->wanted = zero_step(c->wanted);
    }
    return c->fill - s >= crc_size + 1 && (c->prefix ^ 0xFFFF) == c->wanted;
}

// A frame's own lengths, where its command has them, agree with its size.
bool lengths_agree(const uint8_t* payload, size_t size) {
    const uint8_t* inner = payload;
    size_t inner_size = size;
    skip_dual_sim(&inner, &inner_size);
    return inner_size == 0 || inner[0] != cmd_log || has_consistent_lengths(payload, size);
}

// A bad frame may be a good one behind bytes of no frame: device header
// words, or the cut end of a frame whose start the file does not hold. Only
// a split that leaves a frame which checks and whose own lengths agree is
// taken, so damage inside a frame is never passed off as a good frame.
enum class Split { none, header_words, outside };

Split find_split(const FrameParser* p, size_t* split) {
    const uint8_t* f = p->frame.data();
    // The words run up to where the frame behind them starts.
    size_t words = 0;
    while (words + header_word_size <= p->fill && memcmp(f + words, header_word, header_word_size) == 0)
        words += header_word_size;
    if (words != 0 && words >= p->clean_from && !any_escaped_before(p, words) &&
        crc_matches(f + words, p->fill - words) && lengths_agree(f + words, p->fill - words - crc_size)) {
        *split = words;
        return Split::header_words;
    }
    const size_t first = p->clean_from > 1 ? p->clean_from : 1;
    SuffixCheck check{};
    for (size_t s = first; s + crc_size + 1 <= p->fill; ++s) {
        if ((f[s] != cmd_log && f[s] != cmd_dual_sim) || !has_consistent_lengths(f + s, p->fill - s - crc_size))
            continue;
        if (check.frame == nullptr) check = suffix_check_from(f, p->fill, s);
        if (suffix_checks(&check, s)) {
            *split = s;
            return Split::outside;
        }
    }
    return Split::none;
}

void reset_frame(FrameParser* p) {
    if (p->escapes != 0) {
        const size_t words = (p->fill + 63) / 64;
        memset(p->escaped.data(), 0, words * sizeof(uint64_t));
    }
    p->fill = 0;
    p->escapes = 0;
    p->clean_from = 0;
    p->bad_escape = false;
    p->overlong = false;
    p->start = p->at;
}

void emit_frame(FrameParser* p, size_t from, ParseHandler handler, void* context) {
    ParseEvent event;
    event.kind = ParseEvent::frame;
    event.status = FrameStatus::good;
    event.offset = p->start + input_bytes_before(p, from);
    event.size = p->at - event.offset;
    event.payload = p->frame.data() + from;
    event.payload_size = p->fill - from - crc_size;
    handler(context, event);
}

// The bytes from p->start up to p->at, the closing flag included.
void close_frame(FrameParser* p, ParseHandler handler, void* context) {
    const uint64_t size = p->at - p->start;
    if (size == 1) {  // an empty frame: only the flag
        reset_frame(p);
        return;
    }
    ParseEvent event;
    event.kind = ParseEvent::frame;
    event.offset = p->start;
    event.size = size;
    if (p->overlong) {
        event.status = FrameStatus::overlong;
    } else if (!p->bad_escape && crc_matches(p->frame.data(), p->fill)) {
        emit_frame(p, 0, handler, context);
        reset_frame(p);
        return;
    } else {
        size_t split = 0;
        const Split kind = find_split(p, &split);
        if (kind == Split::header_words) {
            ParseEvent word;
            word.kind = ParseEvent::header_word;
            word.size = header_word_size;
            for (size_t s = 0; s < split; s += header_word_size) {
                word.offset = p->start + s;
                handler(context, word);
            }
        } else if (kind == Split::outside) {
            ParseEvent junk;
            junk.kind = ParseEvent::outside;
            junk.offset = p->start;
            junk.size = input_bytes_before(p, split);
            handler(context, junk);
        }
        if (kind != Split::none) {
            emit_frame(p, split, handler, context);
            reset_frame(p);
            return;
        }
        event.status = p->bad_escape            ? FrameStatus::bad_escape
                       : p->fill < crc_size + 1 ? FrameStatus::too_short
                                                : FrameStatus::bad_crc;
    }
    handler(context, event);
    reset_frame(p);
}

}  // namespace

uint16_t crc16_x25(const uint8_t* data, size_t length) {
    return static_cast<uint16_t>(~crc_update(0xFFFF, data, length));
}

void append_frame(const uint8_t* payload, size_t length, std::string* out) {
    for (size_t i = 0; i < length; ++i) append_escaped(payload[i], out);
    const uint16_t crc = crc16_x25(payload, length);
    append_escaped(static_cast<uint8_t>(crc & 0xFF), out);
    append_escaped(static_cast<uint8_t>(crc >> 8), out);
    out->push_back(static_cast<char>(flag_byte));
}

const char* frame_status_name(FrameStatus status) {
    switch (status) {
        case FrameStatus::good:
            return "good";
        case FrameStatus::bad_crc:
            return "bad CRC";
        case FrameStatus::bad_escape:
            return "bad escape";
        case FrameStatus::too_short:
            return "too short";
        case FrameStatus::overlong:
            return "too long";
    }
    return "?";
}

void parser_init(FrameParser* parser, size_t max_frame) {
    parser->max_frame = max_frame;
    parser->frame.assign(max_frame, 0);
    parser->escaped.assign((max_frame + 63) / 64, 0);
    parser->fill = 0;
    parser->escapes = 0;
    parser->clean_from = 0;
    parser->start = 0;
    parser->at = 0;
    parser->escape_pending = false;
    parser->bad_escape = false;
    parser->overlong = false;
}

void parser_feed(FrameParser* p, const uint8_t* data, size_t size, ParseHandler handler, void* context) {
    const uint8_t* at = data;
    const uint8_t* const end = data + size;
    while (at < end) {
        if (p->escape_pending) {
            p->escape_pending = false;
            if (*at == flag_byte) {
                // Nothing of this frame can be trusted as a split point.
                p->bad_escape = true;
                p->clean_from = p->max_frame + 1;
            } else {
                const uint8_t byte = *at++;
                ++p->at;
                if (byte != (flag_byte ^ escape_xor) && byte != (escape_byte ^ escape_xor)) {
                    p->bad_escape = true;
                    p->clean_from = p->fill + 1;
                }
                push_byte(p, byte ^ escape_xor, true);
                continue;
            }
        }
        const uint8_t* special = find_special(at, end);
        push_run(p, at, static_cast<size_t>(special - at));
        p->at += static_cast<uint64_t>(special - at);
        at = special;
        if (at == end) break;
        ++p->at;
        if (*at++ == escape_byte) {
            p->escape_pending = true;
            continue;
        }
        close_frame(p, handler, context);
    }
}

void parser_seek(FrameParser* p, uint64_t offset) {
    p->at = offset;
    p->start = offset;
}

void parser_finish(FrameParser* p, ParseHandler handler, void* context) {
    if (p->at == p->start) return;
    // Words in front of a cut frame are still words: the external modem's
    // rotation copy ends a file with one and the cut head of a buffer.
    ParseEvent event;
    event.kind = ParseEvent::header_word;
    event.offset = p->start;
    event.size = header_word_size;
    for (size_t end = header_word_size; end <= p->fill; end += header_word_size) {
        if (memcmp(p->frame.data() + end - header_word_size, header_word, header_word_size) != 0 ||
            any_escaped_before(p, end))
            break;
        handler(context, event);
        event.offset += header_word_size;
    }
    if (event.offset < p->at) {
        event.kind = ParseEvent::tail;
        event.size = p->at - event.offset;
        handler(context, event);
    }
    p->escape_pending = false;
    reset_frame(p);
}

FrameStatus unframe(const uint8_t* bytes, size_t size, std::string* payload) {
    struct Result {
        FrameStatus status = FrameStatus::too_short;
        int events = 0;
        std::string* payload;
    } result;
    result.payload = payload;
    payload->clear();
    FrameParser parser;
    parser_init(&parser, size + 1);
    const ParseHandler keep = [](void* context, const ParseEvent& event) {
        Result* r = static_cast<Result*>(context);
        ++r->events;
        r->status = event.kind == ParseEvent::frame ? event.status : FrameStatus::bad_crc;
        if (event.kind == ParseEvent::frame && event.status == FrameStatus::good)
            r->payload->assign(reinterpret_cast<const char*>(event.payload), event.payload_size);
    };
    if (size > 0 && bytes[size - 1] == flag_byte) --size;
    parser_feed(&parser, bytes, size, keep, &result);
    const uint8_t flag = flag_byte;
    parser_feed(&parser, &flag, 1, keep, &result);
    if (result.events != 1 && result.status == FrameStatus::good) {
        result.status = FrameStatus::bad_crc;  // a frame behind other bytes is no frame of its own
        payload->clear();
    }
    return result.status;
}

}  // namespace dm
