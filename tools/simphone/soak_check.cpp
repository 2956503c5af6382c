#include "soak_check.h"

#include <string.h>

#include <algorithm>
#include <memory>

namespace soak {

namespace {

constexpr size_t block_size = 1u << 20;
// Enough bytes to tell the one place a file's start can come from.
constexpr size_t probe_size = 4096;

std::string number(uint64_t value) { return std::to_string(static_cast<unsigned long long>(value)); }

// Compares n bytes of two readers a block at a time; on a difference *at is
// its offset from the starts, and on a failed read it is n.
bool same_bytes(const ReadAt& a, uint64_t a_offset, const ReadAt& b, uint64_t b_offset, uint64_t n, uint64_t* at,
                bool* read_failed) {
    std::unique_ptr<char[]> left(new char[block_size]), right(new char[block_size]);
    *read_failed = false;
    for (uint64_t done = 0; done < n;) {
        const size_t step = static_cast<size_t>(std::min<uint64_t>(block_size, n - done));
        if (!a(a_offset + done, left.get(), step) || !b(b_offset + done, right.get(), step)) {
            *read_failed = true;
            *at = n;
            return false;
        }
        if (memcmp(left.get(), right.get(), step) != 0) {
            size_t i = 0;
            while (left[i] == right[i]) ++i;
            *at = done + i;
            return false;
        }
        done += step;
    }
    return true;
}

// Reads [offset, offset + n) of the files taken as one run.
bool read_files(const std::vector<LogFile>& files, uint64_t offset, char* out, size_t n) {
    for (const LogFile& file : files) {
        if (n == 0) break;
        if (offset >= file.size) {
            offset -= file.size;
            continue;
        }
        const size_t step = static_cast<size_t>(std::min<uint64_t>(n, file.size - offset));
        if (!file.read(offset, out, step)) return false;
        out += step;
        n -= step;
        offset = 0;
    }
    return n == 0;
}

bool is_buffer_start(const Expected& expected, uint64_t at, size_t* index) {
    auto found = std::lower_bound(expected.buffer_starts.begin(), expected.buffer_starts.end(), at);
    if (found == expected.buffer_starts.end() || *found != at) return false;
    *index = static_cast<size_t>(found - expected.buffer_starts.begin());
    return true;
}

// Fills *check with the fault when bytes differ; true when they are the same.
bool compare_part(const LogFile& file, uint64_t file_offset, const ReadAt& source, uint64_t source_offset, uint64_t n,
                  const char* what, TailCheck* check) {
    uint64_t at = 0;
    bool read_failed = false;
    if (same_bytes(file.read, file_offset, source, source_offset, n, &at, &read_failed)) return true;
    check->message = read_failed ? "cannot read " + file.name + " or the journal"
                                 : file.name + " differs from " + what + " at file offset " + number(file_offset + at);
    return false;
}

TailCheck contiguous_tail(const Expected& expected, const ReadAt& journal, const std::vector<LogFile>& files,
                          const RotationRule& rule, uint64_t max_unread) {
    TailCheck check;
    uint64_t stored = 0;
    for (const LogFile& file : files) stored += file.size;
    if (stored > expected.total) {
        check.message = "the files hold " + number(stored) + " bytes, more than the " + number(expected.total) +
                        " the journal accounts for";
        return check;
    }
    const ReadAt capture = [&](uint64_t at, char* out, size_t n) {
        return read_expected(expected, journal, at, out, n);
    };
    // Where the run can start: the trace terminal may still have held bytes
    // at the stop, so its run may end before the capture does.
    const uint64_t latest = expected.total - stored;
    const uint64_t earliest = latest > max_unread ? latest - max_unread : 0;
    std::vector<uint64_t> candidates;
    if (earliest == latest || stored == 0) {
        candidates.push_back(latest);
    } else {
        const size_t probe = static_cast<size_t>(std::min<uint64_t>(stored, probe_size));
        std::string head(probe, '\0');
        std::string window(static_cast<size_t>(latest - earliest) + probe, '\0');
        if (!read_files(files, 0, &head[0], probe) || !capture(earliest, &window[0], window.size())) {
            check.message = "cannot read the start of the files or the journal";
            return check;
        }
        for (size_t at = window.find(head); at != std::string::npos; at = window.find(head, at + 1)) {
            candidates.push_back(earliest + at);
        }
        if (candidates.empty()) {
            check.message = "the start of " + files.front().name + " is nowhere in the last " +
                            number(stored + max_unread) + " bytes of the capture";
            return check;
        }
    }
    for (const uint64_t start : candidates) {
        check.message.clear();
        uint64_t at = start;
        bool ok = true;
        for (size_t i = 0; ok && i < files.size(); ++i) {
            const LogFile& file = files[i];
            size_t buffer = 0;
            if (rule.files_start_at_buffers && !is_buffer_start(expected, at, &buffer)) {
                check.message = file.name + " does not start where a write started (capture offset " + number(at) + ")";
                ok = false;
            } else if (i + 1 < files.size() &&
                       (file.size < rule.threshold || file.size >= rule.threshold + rule.largest_write)) {
                check.message = file.name + " was rotated at " + number(file.size) + " bytes";
                ok = false;
            } else {
                ok = compare_part(file, 0, capture, at, file.size, "the capture", &check);
            }
            at += file.size;
        }
        if (ok) {
            check.ok = true;
            check.start = start;
            check.end = start + stored;
            return check;
        }
    }
    return check;
}

// The external modem's full file also gets the head of the buffer that
// starts the next file, so the files are walked from the newest back.
TailCheck copying_tail(const Expected& expected, const ReadAt& journal, const std::vector<LogFile>& files,
                       const RotationRule& rule) {
    TailCheck check;
    const ReadAt capture = [&](uint64_t at, char* out, size_t n) {
        return read_expected(expected, journal, at, out, n);
    };
    uint64_t next = expected.total;  // where the newer file starts
    for (size_t i = files.size(); i-- > 0;) {
        const LogFile& file = files[i];
        const bool current = i + 1 == files.size();
        uint64_t copied = 0;
        Span head;
        if (!current) {
            size_t buffer = 0;
            if (!is_buffer_start(expected, next, &buffer)) {
                check.message = files[i + 1].name + " does not start where a write started";
                return check;
            }
            head = expected.buffer_heads[buffer];
            copied = std::min<uint64_t>(head.length, rule.copy_limit);
        }
        if (file.size < copied || file.size - copied > next) {
            check.message = file.name + " holds " + number(file.size) + " bytes, which no run of the capture fits";
            return check;
        }
        const uint64_t body = file.size - copied;
        const uint64_t start = next - body;
        size_t buffer = 0;
        if (!is_buffer_start(expected, start, &buffer)) {
            check.message = file.name + " does not start where a write started (capture offset " + number(start) + ")";
            return check;
        }
        if (!current && (body < rule.threshold || body >= rule.threshold + rule.largest_write)) {
            check.message = file.name + " was rotated at " + number(body) + " bytes";
            return check;
        }
        if (!compare_part(file, 0, capture, start, body, "the capture", &check) ||
            !compare_part(file, body, journal, head.offset, copied, "the head of the next buffer", &check)) {
            return check;
        }
        check.duplicated += copied;
        next = start;
    }
    check.ok = true;
    check.start = next;
    check.end = expected.total;
    return check;
}

}  // namespace

std::vector<Buffer> group_chunks(const std::vector<Span>& chunks, Writes writes, size_t batch_limit) {
    std::vector<Buffer> buffers;
    size_t start = 0, fill = 0;
    for (size_t i = 0; i < chunks.size(); ++i) {
        if (writes == Writes::per_chunk) {
            buffers.push_back({1, true});
            continue;
        }
        // The daemon's rule: a chunk that would overflow the batch first sends
        // the batch to the writer.
        if (i > start && fill + chunks[i].length > batch_limit) {
            buffers.push_back({i - start, true});
            start = i;
            fill = 0;
        }
        fill += chunks[i].length;
    }
    if (writes == Writes::batched && start < chunks.size()) buffers.push_back({chunks.size() - start, true});
    return buffers;
}

Expected expect_buffers(const std::vector<Span>& chunks, int header_bytes, const std::vector<Buffer>& buffers) {
    Expected expected;
    const uint64_t header = header_bytes > 0 ? static_cast<uint64_t>(header_bytes) : 0;
    for (const Span& chunk : chunks) expected.offered += chunk.length;
    size_t next = 0;
    for (const Buffer& buffer : buffers) {
        const size_t from = next;
        next = std::min(chunks.size(), next + buffer.chunks);
        if (!buffer.written || from == next) continue;
        expected.buffer_starts.push_back(expected.total);
        expected.buffer_heads.push_back(chunks[from]);
        uint64_t skip = header;
        for (size_t i = from; i < next; ++i) {
            const Span& chunk = chunks[i];
            const uint64_t dropped = std::min<uint64_t>(skip, chunk.length);
            skip -= dropped;
            expected.header_dropped += dropped;
            if (dropped == chunk.length) continue;
            const uint32_t length = chunk.length - static_cast<uint32_t>(dropped);
            expected.pieces.push_back({expected.total, chunk.offset + dropped, length});
            expected.total += length;
        }
    }
    return expected;
}

Expected expect_capture(const std::vector<Span>& chunks, int header_bytes, Writes writes, size_t batch_limit) {
    return expect_buffers(chunks, header_bytes, group_chunks(chunks, writes, batch_limit));
}

bool read_expected(const Expected& expected, const ReadAt& journal, uint64_t at, char* out, size_t n) {
    if (n == 0) return true;
    if (at + n > expected.total) return false;
    auto piece = std::upper_bound(expected.pieces.begin(), expected.pieces.end(), at,
                                  [](uint64_t offset, const Expected::Piece& p) { return offset < p.at; });
    --piece;  // at < total, so some piece starts at or before it
    while (n > 0) {
        const uint64_t into = at - piece->at;
        const size_t step = static_cast<size_t>(std::min<uint64_t>(n, piece->length - into));
        if (!journal(piece->source + into, out, step)) return false;
        out += step;
        at += step;
        n -= step;
        ++piece;
    }
    return true;
}

TailCheck check_tail(const Expected& expected, const ReadAt& journal, const std::vector<LogFile>& files,
                     const RotationRule& rule, uint64_t max_unread) {
    if (files.empty()) {
        TailCheck check;
        check.message = "no log file";
        return check;
    }
    if (rule.copy_limit > 0) return copying_tail(expected, journal, files, rule);
    return contiguous_tail(expected, journal, files, rule, max_unread);
}

}  // namespace soak
