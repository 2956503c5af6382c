// Captures built by the library itself, and the tool run in-process.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

#include "dm/frame.h"
#include "dm/packet.h"
#include "dm/reads.h"
#include "dm/tool.h"

inline std::string bytes_of(std::initializer_list<int> values) {
    std::string out;
    for (int v : values) out.push_back(static_cast<char>(v));
    return out;
}

inline std::string framed(const std::string& payload) {
    std::string out;
    dm::append_frame(payload, &out);
    return out;
}

// A log packet whose data holds a flag and an escape byte, so that its frame
// is escaped.
inline std::string log_payload(uint16_t code, uint64_t timestamp, size_t data_size = 20) {
    std::string data(data_size, '\x11');
    if (data_size >= 2) {
        data[0] = '\x7E';
        data[1] = '\x7D';
    }
    std::string payload;
    dm::append_log_packet(code, timestamp, reinterpret_cast<const uint8_t*>(data.data()), data.size(), &payload);
    return payload;
}

// ---- signalling log packets and what pcap makes of them

// LTE NAS (0xB0E0-0xB0ED): version 1, a release triple, the PDU.
inline std::string lte_nas_packet(uint16_t code, uint64_t timestamp, const std::string& pdu) {
    const std::string data = bytes_of({1, 15, 0, 0}) + pdu;
    std::string out;
    dm::append_log_packet(code, timestamp, reinterpret_cast<const uint8_t*>(data.data()), data.size(), &out);
    return out;
}
// An EMM identity request (IMSI), plain, as 0xB0EC holds it.
inline std::string nas_identity_request() { return bytes_of({0x07, 0x55, 0x01}); }

// 5GS NAS (0xB800-0xB814): u32 version 1, three release bytes, the PDU.
inline std::string nas_5gs_packet(uint16_t code, uint64_t timestamp, const std::string& pdu) {
    const std::string data = bytes_of({1, 0, 0, 0, 15, 0, 0}) + pdu;
    std::string out;
    dm::append_log_packet(code, timestamp, reinterpret_cast<const uint8_t*>(data.data()), data.size(), &out);
    return out;
}

// LTE RRC (0xB0C0) of version 19: 19 bytes of header (EARFCN u32, SIB mask),
// then the message; PDU number 1 is BCCH-BCH, whose MIB is any 3 bytes.
inline std::string lte_rrc_packet(uint64_t timestamp, uint8_t pdu_number = 1,
                                  const std::string& message = bytes_of({0x78, 0xA8, 0x00}), uint8_t version = 19) {
    std::string data = bytes_of({version, 15, 0, 0});
    dm::put_le(301, 2, &data);   // PCI
    dm::put_le(1850, 4, &data);  // EARFCN
    dm::put_le(0x1230, 2, &data);
    data.push_back(static_cast<char>(pdu_number));
    dm::put_le(0, 4, &data);
    dm::put_le(message.size(), 2, &data);
    data += message;
    std::string out;
    dm::append_log_packet(0xB0C0, timestamp, reinterpret_cast<const uint8_t*>(data.data()), data.size(), &out);
    return out;
}

// A .dlf record: the log packet without its command, "more" byte and outer
// length.
inline std::string dlf_record(const std::string& log_packet) { return log_packet.substr(4); }

struct PcapngPacket {
    uint32_t interface;
    std::string data;
};
struct Pcapng {
    bool whole = false;  // every block's lengths agree and it ends at a block's end
    uint32_t first_word = 0;
    std::vector<uint16_t> link_types;  // by interface
    std::vector<PcapngPacket> packets;
};
// The interfaces and enhanced packets of a pcapng file of one section.
inline Pcapng read_pcapng(const std::string& bytes) {
    Pcapng f;
    const uint8_t* p = reinterpret_cast<const uint8_t*>(bytes.data());
    if (bytes.size() >= 4) f.first_word = dm::get_le32(p);
    size_t at = 0;
    while (at + 12 <= bytes.size()) {
        const uint32_t type = dm::get_le32(p + at), length = dm::get_le32(p + at + 4);
        if (length < 12 || length % 4 != 0 || length > bytes.size() - at || dm::get_le32(p + at + length - 4) != length)
            return f;
        if (type == 1 && length >= 20) f.link_types.push_back(dm::get_le16(p + at + 8));
        if (type == 6 && length >= 32) {
            const uint32_t captured = dm::get_le32(p + at + 20);
            if (captured > length - 32) return f;
            f.packets.push_back({dm::get_le32(p + at + 8), bytes.substr(at + 28, captured)});
        }
        at += length;
    }
    f.whole = at == bytes.size();
    return f;
}

// A GSMTAP packet's type and sub-type and what follows its header, from an
// IPv4 packet of UDP to 4729; false for anything else.
inline bool gsmtap_of(const std::string& ip, uint8_t* type, uint8_t* subtype, std::string* payload) {
    if (ip.size() < 44 || ip[0] != '\x45' || ip[9] != '\x11' || ip.substr(22, 2) != bytes_of({0x12, 0x79}) ||
        ip[28] != 2)
        return false;
    *type = static_cast<uint8_t>(ip[30]);
    *subtype = static_cast<uint8_t>(ip[40]);
    *payload = ip.substr(28 + 4 * static_cast<uint8_t>(ip[29]));
    return true;
}

// tshark's fields of each packet of a file, one line each; false when
// tshark is not there or failed.
inline bool tshark_fields(const std::string& path, const std::string& fields, std::string* listing) {
    if (access("/usr/bin/tshark", X_OK) != 0) return false;
    const std::string command = "/usr/bin/tshark -r '" + path + "' -T fields " + fields + " 2>/dev/null";
    // NOLINTNEXTLINE(cert-env33-c): a fixed program on the test's own scratch file
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return false;
    char line[512];
    while (fgets(line, sizeof line, pipe) != nullptr) *listing += line;
    return pclose(pipe) == 0;
}

inline size_t occurrences(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t from = 0; (from = text.find(what, from)) != std::string::npos; from += what.size()) ++count;
    return count;
}

inline std::string header_word() { return std::string(reinterpret_cast<const char*>(dm::header_word), 4); }

// ---- the reads of a diag device in memory-device mode, as the daemon stores them

inline std::string le32_bytes(uint32_t value) {
    std::string out;
    dm::put_le(value, 4, &out);
    return out;
}

constexpr int32_t token_mdm1 = -1, token_mdm2 = -2, token_qsc = -5;

// One entry: an external modem's token (0: the local modem, no token), the
// length, and a run of frames.
inline std::string read_entry(const std::string& frames, int32_t token = 0) {
    return (token != 0 ? le32_bytes(static_cast<uint32_t>(token)) : "") +
           le32_bytes(static_cast<uint32_t>(frames.size())) + frames;
}

// A log-data read: type 32 (left out for a batch's first read, whose type
// word the daemon drops), its count (-1: the entries given) and entries.
inline std::string data_read(const std::vector<std::string>& entries, bool typed = true, int count = -1) {
    std::string out = typed ? le32_bytes(32) : "";
    out += le32_bytes(static_cast<uint32_t>(count < 0 ? static_cast<int>(entries.size()) : count));
    for (const std::string& entry : entries) out += entry;
    return out;
}

// A mask table of `type` (1 message, 2 log, 4 event, 0x100/0x200 DCI, which
// also count their clients). Its bytes are mostly 0 and 0xFF, as real ones
// are, with flags, escapes and words that pass for a type or a count.
inline std::string mask_table_read(uint32_t type, size_t size = 300, bool typed = true) {
    static const uint8_t pattern[] = {0x20, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x7E, 0x00, 0x00, 0x00,
                                      0xFF, 0xFF, 0x7D, 0x02, 0x00, 0x00, 0x00, 0x7E, 0x7E, 0x1F, 0x00};
    std::string out = typed ? le32_bytes(type) : "";
    if (type == 0x100 || type == 0x200) out += le32_bytes(1);
    for (size_t i = 0; i < size; ++i) out.push_back(static_cast<char>(pattern[i % sizeof pattern]));
    return out;
}
inline std::string deinit_read() { return le32_bytes(16); }
inline std::string hdlc_read(uint8_t disabled) {
    return le32_bytes(0x1000) + std::string(1, static_cast<char>(disabled));
}

// ---- whole captures as each kernel generation and the daemon leave them

// What tells the generations apart in a capture (docs: the diag driver).
struct Kernel {
    const char* name;
    int header_bytes;    // the daemon drops them from each buffer it writes
    bool whole_entries;  // else a short read stops anywhere, its count stale
    bool dci_tables;     // 0x100 and 0x200 follow the mask tables
    bool hdlc_read;      // [0x1000][u8] once a session starts
};
inline const std::vector<Kernel>& kernels() {
    static const std::vector<Kernel> k = {
        {"2.6.35", 4, false, false, false}, {"3.4", 4, false, false, false}, {"3.10", 4, true, true, false},
        {"3.18", 4, true, true, false},     {"4.4", 0, true, true, false},   {"4.9", 0, true, true, false},
        {"4.14", 0, true, true, true},
    };
    return k;
}

// A frame where it lies in some bytes, and the modem it came from.
struct PlacedFrame {
    int modem;
    std::string payload;
    size_t offset, size;
};
// Bytes and the frames that lie whole in them, in order.
struct Piece {
    std::string bytes;
    std::vector<PlacedFrame> frames;
    // Appends from[skip, limit) and the frames that lie whole there.
    void add(const Piece& from, size_t skip = 0, size_t limit = std::string::npos) {
        limit = std::min(limit, from.bytes.size());
        if (skip >= limit) return;
        for (const PlacedFrame& f : from.frames) {
            if (f.offset >= skip && f.offset + f.size <= limit)
                frames.push_back({f.modem, f.payload, f.offset - skip + bytes.size(), f.size});
        }
        bytes.append(from.bytes, skip, limit - skip);
    }
};

// Files of one phone's capture: the reads of a session (tables, data reads
// of local and tokened entries, the deinit word), batched as the daemon does
// (64 KiB, a batch's first header bytes dropped), rotated at a batch, with
// the external task's copy of the next buffer's head, the last file maybe
// cut anywhere. A kernel without whole entries stops a read where its
// 32 KiB end, maybe after a length word, and leaves the count word of the
// last read it finished, as the simulated phone's driver does. Frames carry
// their number, so each is told from the others.
class CaptureGenerator {
public:
    CaptureGenerator(const Kernel& kernel, uint32_t seed) : k_(kernel), rng_(seed) {}

    std::vector<Piece> files(size_t count) {
        std::vector<Piece> out(1);
        Piece batch = next_batch();
        for (size_t rotate_at = pick(32768, 150000);;) {
            out.back().add(batch, static_cast<size_t>(k_.header_bytes));
            batch = next_batch();
            if (out.back().bytes.size() < rotate_at) continue;
            if (out.size() == count) break;
            if (chance(30)) out.back().add(batch, 0, 8192);  // the external task's head copy
            out.emplace_back();
            rotate_at = pick(32768, 150000);
        }
        if (chance(50)) {  // the last one cut anywhere
            Piece whole = std::move(out.back());
            out.back() = Piece();
            out.back().add(whole, 0, whole.bytes.size() - static_cast<size_t>(pick(1, 3000)));
        }
        return out;
    }

private:
    struct Entry {
        int modem;
        Piece frames;
    };
    size_t pick(size_t lo, size_t hi) { return std::uniform_int_distribution<size_t>(lo, hi)(rng_); }
    bool chance(int percent) { return pick(0, 99) < static_cast<size_t>(percent); }
    static void put32(Piece* p, uint32_t v) { dm::put_le(v, 4, &p->bytes); }

    // A log packet with its number and data that escapes and passes for words.
    std::string payload() {
        static const uint8_t tricky[] = {0x7E, 0x7D, 0x20, 0x00, 0x01, 0x10, 0xFF, 0xFB, 0x5E};
        std::string data(chance(10) ? pick(300, 3000) : pick(0, 120), '\0');
        for (char& c : data) c = static_cast<char>(chance(40) ? tricky[pick(0, 8)] : pick(0, 255));
        std::string out;
        dm::append_log_packet(static_cast<uint16_t>(pick(0x1000, 0xB8FF)), ++number_,
                              reinterpret_cast<const uint8_t*>(data.data()), data.size(), &out);
        return out;
    }
    // A driver buffer of whole frames: the local modem's up to 16 KiB, an
    // external modem's up to 2 or 4 KiB.
    Entry entry() {
        static const int modems[] = {dm::modem_local, dm::modem_local, dm::modem_local,
                                     dm::modem_mdm1,  dm::modem_mdm2,  dm::modem_qsc};
        Entry e{modems[pick(0, 5)], Piece()};
        const size_t limit = e.modem == dm::modem_local ? 16384 : chance(50) ? 2048 : 4096;
        const size_t want = chance(30) ? 1 : pick(1, limit);
        do {
            Piece frame;
            frame.frames.push_back({e.modem, payload(), 0, 0});
            dm::append_frame(frame.frames[0].payload, &frame.bytes);
            frame.frames[0].size = frame.bytes.size();
            if (!e.frames.bytes.empty() && e.frames.bytes.size() + frame.bytes.size() > limit) break;
            e.frames.add(frame);
        } while (e.frames.bytes.size() < want);
        return e;
    }
    Piece table(uint32_t type) {
        static const uint8_t pattern[] = {0x20, 0, 0, 0, 1, 0, 0, 0, 0x7E, 0, 0, 0, 0xFF, 0xFF, 0x7D, 2, 0, 0, 0, 0x7E};
        Piece t;
        put32(&t, type);
        if (type >= 0x100) put32(&t, static_cast<uint32_t>(pick(0, 3)));  // clients
        for (size_t blocks = pick(1, 40); blocks > 0; --blocks) {
            const size_t n = pick(1, 64), kind = pick(0, 2);
            for (size_t i = 0; i < n; ++i)
                t.bytes.push_back(static_cast<char>(kind == 0 ? 0 : kind == 1 ? 0xFF : pattern[(i + n) % 20]));
        }
        return t;
    }
    // [32][count] and what fits of the waiting entries in a 32 KiB read.
    Piece data_read() {
        const size_t size = 32768;
        static const int32_t tokens[] = {0, token_mdm1, token_mdm2, token_qsc};
        Piece r;
        put32(&r, 32);
        put32(&r, 0);
        uint32_t count = 0;
        bool cut = false;
        for (; !waiting_.empty(); waiting_.pop_front(), ++count) {
            const Entry& e = waiting_.front();
            const size_t words = e.modem == dm::modem_local ? 4 : 8;
            if (k_.whole_entries ? r.bytes.size() + words + 4 + e.frames.bytes.size() >= size
                                 : r.bytes.size() + words > size) {
                cut = !k_.whole_entries;
                break;
            }
            if (e.modem != dm::modem_local) put32(&r, static_cast<uint32_t>(tokens[e.modem]));
            put32(&r, static_cast<uint32_t>(e.frames.bytes.size()));
            if (r.bytes.size() + e.frames.bytes.size() > size) {
                cut = true;  // a length word without its data
                break;
            }
            r.add(e.frames);
        }
        const uint32_t word = cut ? last_count_ : count;
        if (!cut) last_count_ = count;
        for (int i = 0; i < 4; ++i) r.bytes[4 + static_cast<size_t>(i)] = static_cast<char>(word >> (8 * i));
        return r;
    }
    // The session's next reads, up to a batch: tables first, data, now and
    // then the tables again, an empty read, or the deinit word.
    std::vector<Piece> next_reads() {
        std::vector<Piece> reads;
        if (!in_session_ || chance(3)) {
            for (uint32_t type : {1u, 2u, 4u, 0x100u, 0x200u}) {
                if (type < 0x100 || k_.dci_tables) reads.push_back(table(type));
            }
            if (k_.hdlc_read && !in_session_) {
                reads.emplace_back();
                put32(&reads.back(), 0x1000);
                reads.back().bytes.push_back(static_cast<char>(pick(0, 1)));
            }
            in_session_ = true;
        } else if (chance(2)) {
            reads.emplace_back();
            put32(&reads.back(), 16);
            in_session_ = false;
        } else if (k_.whole_entries && chance(3)) {
            reads.emplace_back();  // what waits does not fit: the two words
            put32(&reads.back(), 32);
            put32(&reads.back(), 0);
        } else {
            for (size_t n = pick(1, 5); n > 0; --n) waiting_.push_back(entry());
            reads.push_back(data_read());
        }
        return reads;
    }
    Piece next_batch() {
        Piece batch;
        for (;;) {
            if (held_.empty()) held_ = next_reads();
            if (!batch.bytes.empty() && (batch.bytes.size() + held_.front().bytes.size() > 65536 || chance(10))) break;
            batch.add(held_.front());
            held_.erase(held_.begin());
        }
        return batch;
    }

    Kernel k_;
    std::mt19937 rng_;
    std::deque<Entry> waiting_;
    std::vector<Piece> held_;  // reads made, not yet batched
    uint32_t last_count_ = 0;
    uint64_t number_ = 0;
    bool in_session_ = false;
};

struct ToolRun {
    int status = -1;
    std::string out, err;
};

// orlith-dm with these arguments (the command first), its output captured.
inline ToolRun run_tool(const std::vector<std::string>& args) {
    std::vector<const char*> argv = {"orlith-dm"};
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    char* out_text = nullptr;
    char* err_text = nullptr;
    size_t out_size = 0, err_size = 0;
    FILE* out = open_memstream(&out_text, &out_size);
    FILE* err = open_memstream(&err_text, &err_size);
    ToolRun run;
    run.status = dm::tool_main(static_cast<int>(argv.size()), argv.data(), out, err);
    const bool out_closed = fclose(out) == 0;
    const bool err_closed = fclose(err) == 0;
    if (!out_closed || !err_closed) run.status = -1;
    run.out.assign(out_text, out_size);
    run.err.assign(err_text, err_size);
    free(out_text);
    free(err_text);
    return run;
}
