#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

#include "platform/fd_io.h"
#include "platform/platform.h"

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Cuts blanks from both ends of [begin, end) by moving the two bounds.
void trim(const char*& begin, const char*& end) {
    while (begin < end && is_blank(*begin)) ++begin;
    while (end > begin && is_blank(end[-1])) --end;
}

size_t copy_bounded(char* value, size_t size, const char* text, size_t length) {
    if (length >= size) length = size - 1;
    memcpy(value, text, length);
    value[length] = '\0';
    return length;
}

// Looks key up in a build.prop style file; the last assignment wins, as when
// such files are loaded in order. Returns the value's length, or -1 if unset.
long find_property(FILE* file, const char* key, char* value, size_t size) {
    const size_t key_length = strlen(key);
    long found = -1;
    char* line = nullptr;
    size_t capacity = 0;
    ssize_t length;
    while ((length = getline(&line, &capacity, file)) >= 0) {
        const char* begin = line;
        const char* end = line + length;
        trim(begin, end);
        if (begin == end || *begin == '#') continue;
        const char* equals = static_cast<const char*>(memchr(begin, '=', static_cast<size_t>(end - begin)));
        if (equals == nullptr) continue;
        const char* key_end = equals;
        trim(begin, key_end);
        if (static_cast<size_t>(key_end - begin) != key_length || memcmp(begin, key, key_length) != 0) continue;
        const char* value_begin = equals + 1;
        trim(value_begin, end);
        found = static_cast<long>(copy_bounded(value, size, value_begin, static_cast<size_t>(end - value_begin)));
    }
    free(line);
    return found;
}

// One record: a header line "<priority> <tag length> <text length>", then the
// tag and the text bytes, then a newline. Lengths make any text byte safe.
void append_record(const char* path, int priority, const char* tag, const char* text) {
    const size_t tag_length = strlen(tag);
    const size_t text_length = strlen(text);
    char header[64];
    int header_length = snprintf(header, sizeof header, "%d %zu %zu\n", priority, tag_length, text_length);
    const size_t total = static_cast<size_t>(header_length) + tag_length + text_length + 1;
    char* record = static_cast<char*>(malloc(total));
    if (record == nullptr) return;
    char* at = record;
    memcpy(at, header, static_cast<size_t>(header_length));
    at += header_length;
    memcpy(at, tag, tag_length);
    at += tag_length;
    memcpy(at, text, text_length);
    at += text_length;
    *at = '\n';
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        // One write per record, so records of several threads never interleave.
        size_t written = 0;
        write_all(fd, record, total, &written);
        close(fd);
    }
    free(record);
}

// syslog's ident is process-wide; the lock keeps each record under its tag.
pthread_mutex_t syslog_lock = PTHREAD_MUTEX_INITIALIZER;

}  // namespace

int platform_property_get(const char* key, char* value, size_t size, const char* default_value) {
    if (size == 0) return 0;
    const char* path = getenv("ORLITH_PROPERTIES");
    FILE* file = (path != nullptr && key != nullptr) ? fopen(path, "re") : nullptr;
    long length = -1;
    if (file != nullptr) {
        length = find_property(file, key, value, size);
        (void)fclose(file);
    }
    if (length > 0) return static_cast<int>(length);
    if (default_value == nullptr) default_value = "";
    return static_cast<int>(copy_bounded(value, size, default_value, strlen(default_value)));
}

// The property file stands for the property service: a setting is one more
// line, and the last assignment wins when it is read.
int platform_property_set(const char* key, const char* value) {
    const char* path = getenv("ORLITH_PROPERTIES");
    if (path == nullptr || key == nullptr || value == nullptr) return -1;
    char line[512];
    const int length = snprintf(line, sizeof line, "%s=%s\n", key, value);
    if (length < 0 || static_cast<size_t>(length) >= sizeof line) return -1;
    const int fd = open_retrying(path, O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) return -1;
    size_t written = 0;
    const int error = write_all(fd, line, static_cast<size_t>(length), &written);
    close(fd);
    return error == 0 ? 0 : -1;
}

void platform_log_write(int priority, const char* tag, const char* text) {
    const char* path = getenv("ORLITH_LOG");
    if (path != nullptr && *path != '\0') {
        append_record(path, priority, tag, text);
        return;
    }
    pthread_mutex_lock(&syslog_lock);
    openlog(tag, LOG_PID, LOG_DAEMON);
    syslog(priority == log_priority_error ? LOG_ERR : LOG_DEBUG, "%s", text);
    pthread_mutex_unlock(&syslog_lock);
}
