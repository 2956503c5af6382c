// Helpers shared by the test suites: scratch directories, the records of the
// host log sink, and a way back to the records' initial values.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "daemon_output.h"

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
struct TempDir {
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string path;
    std::string file(const std::string& name) const { return path + "/" + name; }
};

void write_file(const std::string& path, const std::string& content);
std::string read_file(const std::string& path);

// Parses a log file written with ORLITH_LOG; a malformed file fails the test.
std::vector<LogRecord> read_log_records(const std::string& path);

// Points ORLITH_LOG (and optionally ORLITH_PROPERTIES) at files of a scratch
// directory for the life of the object, and puts the previous values back.
struct ScopedLogCapture {
    explicit ScopedLogCapture(const TempDir& dir);
    ~ScopedLogCapture();
    std::vector<LogRecord> records() const { return read_log_records(log_path); }
    std::vector<std::string> texts(const std::string& tag) const;
    void set_properties(const std::string& content);
    std::string log_path;
    std::string properties_path;
    std::string saved_log;
    std::string saved_properties;
    bool had_log;
    bool had_properties;
};

// Sets an environment variable for the life of the object (unset when value
// is null).
struct ScopedEnv {
    ScopedEnv(const char* name, const char* value);
    ~ScopedEnv();
    std::string name;
    std::string saved;
    bool had;
};

// Releases what the records own and puts every field back to its initial
// value, so that each test starts from a daemon that has just begun.
void reset_records();

// Messages on, at the given debug level.
void enable_messages(int debug_level);

// A child process of a given name (as /proc shows it) that runs until it is
// killed or a signal ends it. It is a shell script of that name, so its
// command line is the shell's, the script's path, then args.
struct NamedChild {
    explicit NamedChild(const char* name, const std::vector<std::string>& args = {});
    ~NamedChild();
    NamedChild(const NamedChild&) = delete;
    NamedChild& operator=(const NamedChild&) = delete;
    // Waits for the child to end; returns its wait status, or -1 after the
    // time-out.
    int wait_for_end(int timeout_ms);
    TempDir dir;
    pid_t pid = -1;
    bool reaped = false;
    int input = -1;  // the script runs until its standard input ends
};

// Runs the binary with the arguments, standard input from /dev/null and
// standard output and error captured, and waits for it (10 s at most).
RunResult run_binary(const std::vector<std::string>& args);
