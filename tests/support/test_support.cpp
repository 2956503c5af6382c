#include "test_support.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <sstream>

#include "config/config_file.h"
#include "logger/log_writer.h"
#include "logger/task_table.h"

TempDir::TempDir() {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/orlith-test-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
    path = buffer.data();
}

TempDir::~TempDir() {
    std::string command = "rm -rf '" + path + "'";
    // NOLINTNEXTLINE(cert-env33-c): rm -rf of the directory mkdtemp made
    if (system(command.c_str()) != 0) ADD_FAILURE() << "cannot remove " << path;
}

void write_file(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) ADD_FAILURE() << "cannot write " << path;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<LogRecord> read_log_records(const std::string& path) {
    std::vector<LogRecord> records;
    const std::string data = read_file(path);
    size_t at = 0;
    while (at < data.size()) {
        size_t line_end = data.find('\n', at);
        if (line_end == std::string::npos) {
            ADD_FAILURE() << "log record header without its end at " << at;
            break;
        }
        int priority = 0;
        size_t tag_length = 0;
        size_t text_length = 0;
        std::string header = data.substr(at, line_end - at);
        // NOLINTNEXTLINE(cert-err34-c): the header line the host log sink wrote
        if (sscanf(header.c_str(), "%d %zu %zu", &priority, &tag_length, &text_length) != 3) {
            ADD_FAILURE() << "bad log record header: " << header;
            break;
        }
        size_t body = line_end + 1;
        if (body + tag_length + text_length + 1 > data.size() || data[body + tag_length + text_length] != '\n') {
            ADD_FAILURE() << "log record body cut short at " << at;
            break;
        }
        records.push_back({priority, data.substr(body, tag_length), data.substr(body + tag_length, text_length)});
        at = body + tag_length + text_length + 1;
    }
    return records;
}

namespace {

void save_env(const char* name, std::string& saved, bool& had) {
    const char* value = getenv(name);
    had = value != nullptr;
    if (had) saved = value;
}

void restore_env(const char* name, const std::string& saved, bool had) {
    if (had) {
        setenv(name, saved.c_str(), 1);
    } else {
        unsetenv(name);
    }
}

}  // namespace

ScopedLogCapture::ScopedLogCapture(const TempDir& dir)
    : log_path(dir.file("orlith.log")), properties_path(dir.file("build.prop")) {
    save_env("ORLITH_LOG", saved_log, had_log);
    save_env("ORLITH_PROPERTIES", saved_properties, had_properties);
    setenv("ORLITH_LOG", log_path.c_str(), 1);
    setenv("ORLITH_PROPERTIES", properties_path.c_str(), 1);
}

ScopedLogCapture::~ScopedLogCapture() {
    restore_env("ORLITH_LOG", saved_log, had_log);
    restore_env("ORLITH_PROPERTIES", saved_properties, had_properties);
}

std::vector<std::string> ScopedLogCapture::texts(const std::string& tag) const {
    std::vector<std::string> out;
    for (const LogRecord& record : records()) {
        if (record.tag == tag) out.push_back(record.text);
    }
    return out;
}

void ScopedLogCapture::set_properties(const std::string& content) { write_file(properties_path, content); }

ScopedEnv::ScopedEnv(const char* name_, const char* value) : name(name_) {
    save_env(name_, saved, had);
    if (value != nullptr) {
        setenv(name_, value, 1);
    } else {
        unsetenv(name_);
    }
}

ScopedEnv::~ScopedEnv() { restore_env(name.c_str(), saved, had); }

void reset_records() {
    static const char* const static_device_paths[] = {"/dev/diag", "/dev/diag_mdm", "/dev/extdiag",
                                                      "ro.muxd.trace_pts_name"};
    for (int i = 0; i < task_count; ++i) {
        TaskEntry& task = task_table[i];
        free(task.log_path);
        free(task.mask_file);
        free(task.null_mask_file);
        task.excluded = 0;
        task.error = 0;
        task.device_fd = -1;
        task.wake_pipe[0] = task.wake_pipe[1] = -1;
        task.thread = no_thread;
        task.log_path = nullptr;
        task.device_path = static_device_paths[i];
        task.last_data_time = 0;
        task.mask_file = nullptr;
        task.null_mask_file = nullptr;
    }
    static const char* const default_candidates[] = {"/sdcard2", nullptr};
    memset(daemon_settings.tty_link, 0, sizeof daemon_settings.tty_link);
    daemon_settings.debug_level = 1;
    daemon_settings.rotate_size_mb = 64;
    daemon_settings.rotate_count = 10;
    daemon_settings.ext_ctrl_fd = -1;
    daemon_settings.messages_enabled = -1;
    memset(daemon_settings.storage_path, 0, sizeof daemon_settings.storage_path);
    daemon_settings.external_candidates = default_candidates;
    daemon_settings.min_free_mb = 0;
    forget_free_space();

    runtime_state.radio_flag = 0;
    runtime_state.done = 0;
    runtime_state.auto_start = 0;
    runtime_state.mfg_mode = 0;
    runtime_state.log_root = nullptr;
    runtime_state.header_bytes = 0;
    memset(&runtime_state.tty_attrs, 0, sizeof runtime_state.tty_attrs);
    runtime_state.echo_stdout = 0;
    runtime_state.own_pid = 0;
    runtime_state.next_sequence = 0;

    kv_list_destroy(loaded_config);
    loaded_config = nullptr;
}

void enable_messages(int debug_level) {
    daemon_settings.messages_enabled = 1;
    daemon_settings.debug_level = debug_level;
}
