// What a run of the daemon leaves for a test to read: the records its host
// log sink wrote, and how a process ended. Free of GoogleTest, so that the
// simulated phone's tools read them the same way the suites do.
#pragma once

#include <string>
#include <vector>

// One record written through the host log sink.
struct LogRecord {
    int priority = 0;
    std::string tag;
    std::string text;
};

// Records of an ORLITH_LOG file, appended to *records; false (with *error)
// at the first malformed one, the ones before it kept.
bool parse_log_records(const std::string& content, std::vector<LogRecord>* records, std::string* error);

// The outcome of one run of a command.
struct RunResult {
    bool finished = false;  // false: the time-out ended it (it was killed)
    int exit_status = -1;   // when it exited; -1 otherwise
    int signal = 0;         // when a signal ended it
    std::string out, err;
    bool ok() const { return finished && exit_status == 0; }
};
