// Start-up cost of the configuration file against its size: load_config on
// files of short lines, each a key of its own (the case in which every store
// adds an item), up to the largest file that is read. For comparison, in the
// same run, the cost of only reading the same bytes, and of loading a file of
// one line. A load that stays a fixed multiple of the read at every size is
// linear.
//
//   config_bench [directory-for-scratch-files]
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "config/config_file.h"
#include "logger/task_table.h"
#include "platform/fd_io.h"

namespace {

constexpr int rounds = 5;

double now_us() {
    struct timespec at;
    clock_gettime(CLOCK_MONOTONIC, &at);
    return at.tv_sec * 1e6 + at.tv_nsec / 1e3;
}

// Lines such as "k1a2b=1": short keys, all different, in base 36.
std::string short_lines(size_t size, size_t* lines) {
    // An absolute log root, so that no storage look-up is timed.
    std::string text = "StoragePath=/tmp\n";
    *lines = 1;
    char line[32];
    for (unsigned long key = 0;; ++key) {
        char digits[16];
        int length = 0;
        unsigned long rest = key;
        do {
            digits[length++] = "0123456789abcdefghijklmnopqrstuvwxyz"[rest % 36];
            rest /= 36;
        } while (rest != 0);
        int at = 0;
        line[at++] = 'k';
        while (length > 0) line[at++] = digits[--length];
        line[at++] = '=';
        line[at++] = '1';
        line[at++] = '\n';
        if (text.size() + static_cast<size_t>(at) > size) break;
        text.append(line, static_cast<size_t>(at));
        ++*lines;
    }
    return text;
}

bool write_whole(const std::string& path, const std::string& text) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    size_t written = 0;
    const bool ok = write_all(fd, text.data(), text.size(), &written) == 0;
    close(fd);
    return ok;
}

// The best of a few rounds, in microseconds.
double load_us(const std::string& path) {
    double best = 0;
    for (int round = 0; round < rounds; ++round) {
        const double start = now_us();
        load_config(path.c_str());
        const double took = now_us() - start;
        if (round == 0 || took < best) best = took;
        if (loaded_config == nullptr) fprintf(stderr, "%s was not loaded\n", path.c_str());
        kv_list_destroy(loaded_config);
        loaded_config = nullptr;
    }
    return best;
}

// Reading the same bytes in blocks of the size the loader reads, and nothing
// more.
double read_us(const std::string& path) {
    double best = 0;
    char block[4096];
    for (int round = 0; round < rounds; ++round) {
        const double start = now_us();
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        size_t total = 0;
        for (ssize_t got; fd >= 0 && (got = read_retrying(fd, block, sizeof block)) > 0;) {
            total += static_cast<size_t>(got);
        }
        if (fd >= 0) close(fd);
        const double took = now_us() - start;
        if (total == 0) fprintf(stderr, "%s read nothing\n", path.c_str());
        if (round == 0 || took < best) best = took;
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    char scratch[] = "/tmp/orlith-config-bench-XXXXXX";
    const char* base = argc > 1 ? argv[1] : mkdtemp(scratch);
    if (base == nullptr) {
        perror("mkdtemp");
        return 1;
    }
    daemon_settings.messages_enabled = 0;
    const std::string path = std::string(base) + "/orlith.conf";

    size_t lines = 0;
    if (!write_whole(path, short_lines(32, &lines))) {
        perror(path.c_str());
        return 1;
    }
    const double one_line = load_us(path);
    printf("load_config, best of %d; a file of one line loads in %.1f us\n", rounds, one_line);
    printf("%10s %9s %12s %12s %10s %12s\n", "bytes", "lines", "load (ms)", "read (ms)", "load/read", "ns per line");
    for (size_t size : {config_file_max_bytes / 64, config_file_max_bytes / 16, config_file_max_bytes / 4,
                        config_file_max_bytes / 2, config_file_max_bytes}) {
        const std::string text = short_lines(size, &lines);
        if (!write_whole(path, text)) {
            perror(path.c_str());
            return 1;
        }
        const double load = load_us(path);
        const double read = read_us(path);
        printf("%10zu %9zu %12.2f %12.3f %10.0f %12.0f%s\n", text.size(), lines, load / 1000, read / 1000,
               read > 0 ? load / read : 0.0, load * 1000 / static_cast<double>(lines),
               size == config_file_max_bytes ? "  (the largest file read)" : "");
    }
    unlink(path.c_str());
    if (argc <= 1) rmdir(base);
    return 0;
}
