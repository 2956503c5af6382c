#include "daemon_output.h"

#include <stdio.h>

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
