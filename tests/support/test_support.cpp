#include "test_support.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <new>
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
    std::string error;
    if (!parse_log_records(read_file(path), &records, &error)) ADD_FAILURE() << path << ": " << error;
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
    for (int i = 0; i < task_count; ++i) {
        TaskEntry& task = task_table[i];
        free(task.log_path);
        free(task.mask_file);
        free(task.null_mask_file);
        task = initial_task_table[i];
    }
    daemon_settings = initial_daemon_settings;
    forget_free_space();
    // Its atomics cannot be assigned; a fresh object starts as the daemon's
    // does, every field zero.
    new (&runtime_state) RuntimeState{};

    kv_list_destroy(loaded_config);
    loaded_config = nullptr;
}

void enable_messages(int debug_level) {
    daemon_settings.messages_enabled = 1;
    daemon_settings.debug_level = debug_level;
}
