// The phone's plumbing on the host: files of its run directory, and the
// processes it starts (driver, sandbox, commands inside) and must end.
// Every wait takes a time-out, so that a stuck child cannot hang a test.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace simphone {

// The grace a process gets to end before it is killed.
constexpr int teardown_ms = 3000;

// Writes the whole file with that mode; false when any step fails.
bool put_file(const std::string& path, const std::string& content, mode_t mode);
// mkdir -p.
bool make_dirs(const std::string& path);
// rm -rf that stays on its file system and follows no link.
void remove_tree(const std::string& path);
// Mount points at or below dir, deepest first.
std::vector<std::string> mounts_under(const std::string& dir);

// Start time of a process (clock ticks since boot), so that a reused pid is
// not taken for the process we remember; empty when it does not exist.
std::string start_time_of(pid_t pid);

struct Spawn {
    int stdin_fd = -1, stdout_fd = -1, stderr_fd = -1;  // -1: /dev/null
    int extra_fd = -1;                                  // kept open in the child under the same number
    bool own_group = false;
};
// fork and exec; the child gets only the descriptors named in how (all of
// ours are close-on-exec). -1 when fork fails.
pid_t spawn(const std::vector<std::string>& argv, const Spawn& how);
// Waits for a child of ours; returns its wait status, or -1 at the time-out.
int wait_child(pid_t pid, int timeout_ms);
// Ends a child (and its process group, when it leads one) and reaps it.
void end_child(pid_t pid, int grace_ms, int first_signal);
// Reads one line from fd within the time-out, keeping what follows it in
// *pending for the next call.
bool read_line(int fd, std::string* pending, std::string* line, int timeout_ms);

}  // namespace simphone
