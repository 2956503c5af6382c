#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <sstream>

#include "simphone.h"

namespace simphone {

bool get_file(const std::string& path, std::string* content) {
    content->clear();
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buffer[65536];
    for (;;) {
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
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

int header_for_kernel(const std::string& kernel_version) {
    const std::string line = "Linux version " + kernel_version + " (builder@simphone) #1";
    int a = -1, b = -1, c = -1, d = -1;
    char suffix[256];
    // NOLINTNEXTLINE(cert-err34-c): the kernel writes these numbers; only their pattern decides
    if (sscanf(line.c_str(), "%*s %*s %d.%d.%d.%d-%255s %*s", &a, &b, &c, &d, suffix) == 5) return c == 32 ? 0 : 4;
    // NOLINTNEXTLINE(cert-err34-c): the kernel writes these numbers; only their pattern decides
    if (sscanf(line.c_str(), "%*s %*s %d.%d.%d-%255s %*s", &a, &b, &c, suffix) == 4) return a == 3 ? 4 : 0;
    return 0;
}

bool parse_log_records(const std::string& content, std::vector<LogRecord>* records, std::string* error) {
    size_t at = 0;
    while (at < content.size()) {
        const size_t line_end = content.find('\n', at);
        if (line_end == std::string::npos) {
            *error = "record header without a line end at offset " + std::to_string(at);
            return false;
        }
        int priority = 0;
        unsigned long tag_length = 0, text_length = 0;
        char tail = 0;
        const std::string header = content.substr(at, line_end - at);
        // NOLINTNEXTLINE(cert-err34-c): the header line the host log sink wrote
        if (sscanf(header.c_str(), "%d %lu %lu%c", &priority, &tag_length, &text_length, &tail) != 3) {
            *error = "bad record header '" + header + "'";
            return false;
        }
        const size_t body = line_end + 1;
        if (body + tag_length + text_length + 1 > content.size() || content[body + tag_length + text_length] != '\n') {
            *error = "record at offset " + std::to_string(at) + " is cut short or not closed by a line end";
            return false;
        }
        LogRecord record;
        record.priority = priority;
        record.tag = content.substr(body, tag_length);
        record.text = content.substr(body + tag_length, text_length);
        records->push_back(record);
        at = body + tag_length + text_length + 1;
    }
    return true;
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

std::string expected_capture(const std::vector<const Chunk*>& chunks, int header_bytes, const Grouping& grouping) {
    std::string out;
    const size_t header = header_bytes > 0 ? static_cast<size_t>(header_bytes) : 0;
    auto emit = [&](size_t from, size_t to, bool written) {
        if (!written || from >= to) return;
        std::string buffer;
        for (size_t i = from; i < to; ++i) buffer += chunks[i]->bytes;
        // A buffer shorter than the header is outside what the writer is
        // given; nothing of it is expected in the file.
        if (buffer.size() > header) out.append(buffer, header, std::string::npos);
    };
    size_t next = 0;
    if (grouping.kind == Grouping::explicit_buffers) {
        for (const Grouping::Buffer& buffer : grouping.buffers) {
            const size_t end = next + buffer.chunks < chunks.size() ? next + buffer.chunks : chunks.size();
            emit(next, end, buffer.written);
            next = end;
        }
        return out;
    }
    if (grouping.kind == Grouping::per_chunk) {
        for (; next < chunks.size(); ++next) emit(next, next + 1, true);
        return out;
    }
    size_t start = next, fill = 0;
    for (size_t i = next; i < chunks.size(); ++i) {
        const size_t n = chunks[i]->bytes.size();
        if (fill + n > grouping.batch_limit) {
            emit(start, i, true);
            start = i;
            fill = 0;
        }
        fill += n;
    }
    emit(start, chunks.size(), true);
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
