// The daemon's log as the tests look at it: one search for a line in any
// capture (the host log sink's records or the simulated phone's: any record
// type with a tag and a text), its echo on a terminal, and the fixture of the
// cases that run against the daemon's records in this process.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "msg/log_msg.h"
#include "test_support.h"

// How a record must match: its whole text or a part of it, and of one tag
// or (tag null) of any.
struct LogMatch {
    bool part;
    const char* tag;
};

constexpr LogMatch any_line{false, nullptr};
constexpr LogMatch any_line_part{true, nullptr};
// The daemon's own lines, not those of its configuration or storage tags.
constexpr LogMatch daemon_line{false, log_tag};

template <typename Record>
int count_logged(const std::vector<Record>& records, const std::string& text, LogMatch match) {
    int count = 0;
    for (const Record& record : records) {
        if (match.tag != nullptr && record.tag != match.tag) continue;
        if (match.part ? record.text.find(text) != std::string::npos : record.text == text) ++count;
    }
    return count;
}

template <typename Record>
bool logged(const std::vector<Record>& records, const std::string& text, LogMatch match) {
    return count_logged(records, text, match) > 0;
}

// The daemon's echo on a terminal: what its master side reads until the
// other side closes (EIO) or writes nothing more for timeout_ms.
inline std::string read_terminal(int master, int timeout_ms) {
    std::string out;
    char buffer[4096];
    while (poll(std::vector<pollfd>{{master, POLLIN, 0}}.data(), 1, timeout_ms) > 0) {
        const ssize_t got = read(master, buffer, sizeof buffer);
        if (got <= 0) break;
        out.append(buffer, static_cast<size_t>(got));
    }
    return out;
}

// A case run in this process against the daemon's records: they start and
// end at their initial values, and the host log (and the properties) live in
// a scratch directory. debug_level, when not negative, turns messages on.
struct RecordsTest : ::testing::Test {
    explicit RecordsTest(int debug_level = -1) {
        reset_records();
        if (debug_level >= 0) enable_messages(debug_level);
    }
    ~RecordsTest() override { reset_records(); }
    bool logged(const std::string& text, LogMatch match = daemon_line) const {
        return ::logged(log.records(), text, match);
    }
    int count_logged(const std::string& text, LogMatch match = daemon_line) const {
        return ::count_logged(log.records(), text, match);
    }
    TempDir dir;
    ScopedLogCapture log{dir};
};
