#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <sstream>

#include "platform/fd_io.h"
#include "simphone.h"

namespace simphone {

bool get_file(const std::string& path, std::string* content) {
    content->clear();
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buffer[65536];
    for (;;) {
        ssize_t got = read_retrying(fd, buffer, sizeof buffer);
        if (got < 0) {
            close(fd);
            return false;
        }
        if (got == 0) break;
        content->append(buffer, static_cast<size_t>(got));
    }
    close(fd);
    return true;
}

namespace {

std::string context_at(const std::string& bytes, size_t at) {
    size_t begin = at >= 8 ? at - 8 : 0;
    size_t end = at + 8 < bytes.size() ? at + 8 : bytes.size();
    return hex_encode(bytes.substr(begin, end - begin));
}

}  // namespace

const DaemonTask daemon_tasks[device_count] = {
    {"qxdm7k", Device::diag, "qxdm_7k_"},
    {"qxdm9k", Device::diag_mdm, "qxdm_9k_"},
    {"qxdmExt", Device::extdiag, "qxdm_ext_"},
    {"tiTrace", Device::trace, "ti_trace_"},
};

bool is_task_file(const std::string& path, const DaemonTask& task) {
    return path.compare(path.rfind('/') + 1, strlen(task.prefix), task.prefix) == 0;
}

bool parse_events(const std::string& content, std::vector<Event>* events, std::string* error) {
    std::istringstream in(content);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        Event e;
        unsigned long long time = 0;
        std::string data;
        if (!(fields >> time >> e.kind >> e.device >> e.handle >> e.a >> e.b >> e.result >> data)) {
            *error = "bad event line '" + line + "'";
            return false;
        }
        e.time_us = time;
        if (data != "-" && !hex_decode(data, &e.data)) {
            *error = "bad event data in '" + line + "'";
            return false;
        }
        events->push_back(e);
    }
    return true;
}

Journal read_journal(const std::string& run_dir) {
    std::string index, data;
    get_file(run_dir + "/" + journal_index_name, &index);
    get_file(run_dir + "/" + journal_data_name, &data);
    Journal journal;
    for (size_t at = 0; at + journal_record_size <= index.size(); at += journal_record_size) {
        Chunk chunk;
        chunk.record = decode_journal_record(reinterpret_cast<const uint8_t*>(index.data() + at));
        if (chunk.record.offset + chunk.record.length > data.size()) break;
        chunk.bytes = data.substr(static_cast<size_t>(chunk.record.offset), chunk.record.length);
        journal.push_back(std::move(chunk));
    }
    return journal;
}

std::vector<const Chunk*> stream_chunks(const Journal& journal, Device device) {
    std::vector<const Chunk*> chunks;
    for (const Chunk& chunk : journal) {
        if (chunk.record.device == device && chunk.record.kind == ChunkKind::stream) chunks.push_back(&chunk);
    }
    return chunks;
}

namespace {

int32_t le32_at(const std::string& bytes, size_t at) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<uint8_t>(bytes[at + static_cast<size_t>(i)]);
    return static_cast<int32_t>(value);
}

}  // namespace

DiagRead parse_diag_read(const Chunk& chunk) {
    DiagRead read;
    read.chunk = &chunk;
    const std::string& b = chunk.bytes;
    if (b.size() >= 4) read.type = static_cast<uint32_t>(le32_at(b, 0));
    if (!read.log_data() || b.size() < 8) return read;
    read.count_word = le32_at(b, 4);
    size_t at = 8;
    while (at + 4 <= b.size()) {
        ReadEntry entry;
        int32_t word = le32_at(b, at);
        at += 4;
        if (word < 0) {
            entry.token = word;
            if (at + 4 > b.size()) break;
            word = le32_at(b, at);
            at += 4;
        }
        if (word < 0 || at + static_cast<size_t>(word) > b.size()) break;
        entry.data = b.substr(at, static_cast<size_t>(word));
        at += static_cast<size_t>(word);
        read.entries.push_back(std::move(entry));
    }
    return read;
}

std::vector<DiagRead> diag_reads(const Journal& journal, Device device) {
    std::vector<DiagRead> reads;
    for (const Chunk& chunk : journal) {
        const ChunkKind kind = chunk.record.kind;
        if (chunk.record.device == device && (kind == ChunkKind::stream || kind == ChunkKind::control))
            reads.push_back(parse_diag_read(chunk));
    }
    return reads;
}

std::vector<const Chunk*> read_chunks(const std::vector<DiagRead>& reads, bool log_data_only) {
    std::vector<const Chunk*> chunks;
    for (const DiagRead& read : reads) {
        if (!log_data_only || read.log_data()) chunks.push_back(read.chunk);
    }
    return chunks;
}

ModemFrames modem_frames(const std::vector<DiagRead>& reads) {
    ModemFrames frames;
    for (const DiagRead& read : reads) {
        for (const ReadEntry& entry : read.entries) {
            if (entry.token == 0) frames.local += entry.data;
            if (entry.token == -1) frames.external += entry.data;
        }
    }
    return frames;
}

std::string expected_capture(const std::vector<const Chunk*>& chunks, int header_bytes, const Grouping& grouping) {
    // The chunks laid end to end stand for the journal's data file.
    std::string all;
    std::vector<soak::Span> spans;
    for (const Chunk* chunk : chunks) {
        spans.push_back({all.size(), static_cast<uint32_t>(chunk->bytes.size())});
        all += chunk->bytes;
    }
    std::vector<soak::Buffer> buffers = grouping.buffers;
    if (grouping.kind != Grouping::explicit_buffers) {
        const soak::Writes writes =
            grouping.kind == Grouping::per_chunk ? soak::Writes::per_chunk : soak::Writes::batched;
        buffers = soak::group_chunks(spans, writes, grouping.batch_limit);
    }
    const soak::Expected expected = soak::expect_buffers(spans, header_bytes, buffers);
    const soak::ReadAt from_all = [&all](uint64_t offset, char* out, size_t n) {
        all.copy(out, n, static_cast<size_t>(offset));
        return true;
    };
    std::string out(static_cast<size_t>(expected.total), '\0');
    soak::read_expected(expected, from_all, 0, &out[0], out.size());
    return out;
}

CaptureCheck compare_capture(const std::string& actual, const std::string& expected, size_t chunks) {
    CaptureCheck check;
    check.expected_bytes = expected.size();
    check.actual_bytes = actual.size();
    check.chunks = chunks;
    size_t common = actual.size() < expected.size() ? actual.size() : expected.size();
    size_t at = 0;
    while (at < common && actual[at] == expected[at]) ++at;
    if (at == common && actual.size() == expected.size()) {
        check.ok = true;
        return check;
    }
    std::ostringstream message;
    message << "capture holds " << actual.size() << " bytes, the journal's " << chunks << " chunks demand "
            << expected.size() << "; first difference at offset " << at;
    if (at < actual.size()) message << "; capture there: " << context_at(actual, at);
    if (at < expected.size()) message << "; expected there: " << context_at(expected, at);
    check.message = message.str();
    return check;
}

}  // namespace simphone
