// Cost of one rotation against the number of unrelated files beside the log
// files (a phone's storage root can hold thousands), with RotateCount rotated
// files present. For comparison, the cost of RotateCount + 1 plain scans of
// the same directory, which is what a rotation that rescans per index pays.
// Then the cost of one 64 KiB append without MinFreeMB, with it (far above
// the reserve, where the free space is measured about once a second), and
// with a measurement before every append, in the same run.
//
//   rotation_bench [directory-for-scratch-files]
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "logger/log_writer.h"
#include "logger/task_table.h"

namespace {

double now_us() {
    struct timespec at;
    clock_gettime(CLOCK_MONOTONIC, &at);
    return at.tv_sec * 1e6 + at.tv_nsec / 1e3;
}

void touch(const std::string& path) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) close(fd);
}

// RotateCount + 1 passes over the directory, each testing every entry.
double rescanning_cost_us(const char* root, const char* stem_prefix, int rotate_count, int rounds) {
    const double start = now_us();
    size_t matched = 0;
    for (int round = 0; round < rounds; ++round) {
        DIR* dir = opendir(root);
        if (dir == nullptr) return 0;
        for (int index = rotate_count; index >= 0; --index) {
            char prefix[256];
            snprintf(prefix, sizeof prefix, index > 0 ? "%s.%d." : "%s.dm", stem_prefix, index);
            while (const struct dirent* entry = readdir(dir)) {
                char candidate[256];
                if (snprintf(candidate, sizeof candidate, "%s/%s", root, entry->d_name) >= 0 &&
                    strstr(candidate, prefix) != nullptr) {
                    ++matched;
                }
            }
            rewinddir(dir);
        }
        closedir(dir);
    }
    if (matched == 0) fprintf(stderr, "no match?\n");
    return (now_us() - start) / rounds;
}

// Microseconds per 64 KiB append for each way of keeping the reserve, the
// ways taking turns in groups of appends so that they share the medium's
// moods. The file is removed between groups: the medium never fills.
struct ReserveWay {
    const char* name;
    int min_free_mb;
    bool measure_each;
    double total_us;
};

void compare_append_costs(TaskEntry* task, const std::string& path, ReserveWay* ways, size_t way_count, int groups) {
    const std::string batch(65536, 'a');
    constexpr int group_size = 64;
    int refused = 0;
    for (int group = 0; group < groups; ++group) {
        for (size_t w = 0; w < way_count; ++w) {
            ReserveWay& way = ways[w];
            daemon_settings.min_free_mb = way.min_free_mb;
            forget_free_space();
            unlink(path.c_str());
            const double start = now_us();
            for (int i = 0; i < group_size; ++i) {
                if (way.measure_each) forget_free_space();
                refused += write_log_file(task, batch.data(), static_cast<int>(batch.size())) != 0;
            }
            way.total_us += now_us() - start;
        }
    }
    unlink(path.c_str());
    daemon_settings.min_free_mb = 0;
    for (size_t w = 0; w < way_count; ++w) {
        printf("%-40s %10.2f\n", ways[w].name, ways[w].total_us / (groups * group_size));
    }
    if (refused != 0) printf("(%d appends failed or were refused)\n", refused);
}

double statvfs_cost_us(const char* root, int rounds) {
    FreeSpace space;
    const double start = now_us();
    for (int i = 0; i < rounds; ++i) measure_free_space(root, &space);
    return (now_us() - start) / rounds;
}

}  // namespace

int main(int argc, char** argv) {
    char scratch[] = "/tmp/orlith-bench-XXXXXX";
    const char* base = argc > 1 ? argv[1] : nullptr;
    std::string root = base != nullptr ? std::string(base) : std::string(mkdtemp(scratch));
    runtime_state.log_root = root.c_str();
    daemon_settings.messages_enabled = 0;
    daemon_settings.rotate_size_mb = 0;  // every call rotates
    daemon_settings.rotate_count = 10;
    TaskEntry* task = &task_table[0];
    const std::string stem = root + "/qxdm_7k_20130405_093015_007";
    std::string path = stem + ".dm";
    task->log_path = &path[0];

    printf("RotateCount %d; microseconds per call\n", daemon_settings.rotate_count);
    printf("%12s %14s %22s\n", "other files", "rotation", "11 rescans (reference)");
    int present = 0;
    for (int others : {0, 100, 1000, 10000, 50000}) {
        for (; present < others; ++present) touch(root + "/IMG_" + std::to_string(100000 + present) + ".jpg");
        // Reach the steady state: RotateCount rotated files plus the current.
        for (int i = 0; i < 12; ++i) write_log_file(task, "x", 1);
        const int rounds = others >= 10000 ? 50 : 500;
        const double start = now_us();
        for (int i = 0; i < rounds; ++i) write_log_file(task, "x", 1);
        const double rotation = (now_us() - start) / rounds;
        const double rescans = rescanning_cost_us(root.c_str(), stem.c_str(), daemon_settings.rotate_count, rounds / 5);
        printf("%12d %14.1f %22.1f\n", others, rotation, rescans);
    }

    FreeSpace space{};
    measure_free_space(root.c_str(), &space);
    printf("\n64 KiB appends, no rotation; %lld MiB free; microseconds per append\n",
           static_cast<long long>(space.free_bytes >> 20));
    daemon_settings.rotate_size_mb = 64;
    std::string append_path = root + "/qxdm_7k_20130405_093016_008.dm";
    task->log_path = &append_path[0];
    ReserveWay ways[] = {
        {"no reserve (MinFreeMB 0)", 0, false, 0},
        {"MinFreeMB 1, free space far above it", 1, false, 0},
        {"MinFreeMB 1, measured before each", 1, true, 0},
    };
    compare_append_costs(task, append_path, ways, sizeof ways / sizeof ways[0], 40);
    printf("%-40s %10.2f\n", "one statvfs alone (reference)", statvfs_cost_us(root.c_str(), 20000));

    if (base == nullptr) {
        std::string command = "rm -rf '" + root + "'";
        // NOLINTNEXTLINE(cert-env33-c): rm -rf of the directory mkdtemp made
        if (system(command.c_str()) != 0) fprintf(stderr, "cannot remove %s\n", root.c_str());
    }
    task->log_path = nullptr;
    return 0;
}
