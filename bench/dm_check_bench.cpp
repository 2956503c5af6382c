// orlith-dm check's and pcap's throughput on a 256 MiB capture, beside cksum
// on the same file in the same run as the reference: cksum reads every byte
// and does one table step per byte, which is about the least a check can do.
//
// The capture is made by the framing library like a batched task's file:
// log packets of 40 to 400 bytes, some escaped, and the driver's header word
// in front of every 32 KiB chunk but the batch's first. A quarter of them are
// signalling that pcap decodes and writes: LTE RRC (0xB0C0 version 19,
// DL-DCCH) and plain LTE NAS (0xB0EC), as a modem logging its RRC and NAS
// gives. Each program runs three times on the file from the page cache; the
// best run of each counts.
//
//   dm_check_bench [directory-for-the-capture] [MiB]
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "dm/frame.h"
#include "dm/packet.h"
#include "platform/fd_io.h"

extern char** environ;

namespace {

constexpr int rounds = 3;

double now_s() {
    struct timespec at;
    clock_gettime(CLOCK_MONOTONIC, &at);
    return static_cast<double>(at.tv_sec) + static_cast<double>(at.tv_nsec) / 1e9;
}

// The data as the log packet of `sequence`'s kind: one in eight LTE RRC,
// one in eight plain LTE NAS, the rest other log codes.
void log_packet(uint32_t sequence, const std::string& data, std::string* out) {
    std::string body = data;
    uint16_t code = static_cast<uint16_t>(0xB193 + sequence % 5);
    if (sequence % 8 == 0) {
        code = 0xB0C0;
        // version, releases, bearer, PCI, EARFCN, SFN, PDU number 9 (DL-DCCH), SIB mask, length
        body = std::string("\x13\x0F\x00\x01", 4);
        dm::put_le(sequence % 504, 2, &body);
        dm::put_le(1850, 4, &body);
        dm::put_le(sequence & 0xFFFF, 2, &body);
        body.push_back(9);
        dm::put_le(0, 4, &body);
        dm::put_le(data.size(), 2, &body);
        body += data;
    } else if (sequence % 8 == 4) {
        code = 0xB0EC;
        body = std::string("\x01\x0F\x00\x00\x07", 5) + data;  // version, release, EMM
    }
    dm::append_log_packet(code, uint64_t{sequence} << 16, reinterpret_cast<const uint8_t*>(body.data()), body.size(),
                          out);
}

// One 32 KiB chunk of frames after the other, as a task's batches hold them.
bool write_capture(const std::string& path, uint64_t size) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    std::string block, payload;
    uint32_t sequence = 0;
    uint64_t written = 0;
    bool ok = true;
    while (ok && written < size) {
        block.clear();
        for (int chunk = 0; block.size() < (size_t{1} << 20); ++chunk) {
            // Two chunks a 64 KiB batch; the daemon drops the first one's word.
            if (chunk % 2 == 1) block.append(reinterpret_cast<const char*>(dm::header_word), 4);
            const size_t chunk_end = block.size() + size_t{32} * 1024;
            while (block.size() < chunk_end) {
                const size_t length = 40 + static_cast<size_t>(sequence) * 7919u % 361u;
                std::string data(length, '\0');
                for (size_t i = 0; i < length; ++i)
                    data[i] = static_cast<char>(static_cast<size_t>(sequence) * 31u + i * 13u);
                payload.clear();
                log_packet(sequence, data, &payload);
                dm::append_frame(payload, &block);
                ++sequence;
            }
        }
        size_t done = 0;
        ok = write_all(fd, block.data(), block.size(), &done) == 0;
        written += block.size();
    }
    return close(fd) == 0 && ok;
}

// Runs argv with its output thrown away; the seconds it took, or -1 when it
// failed.
double timed_run(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    const double start = now_s();
    pid_t pid = 0;
    const int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return now_s() - start;
}

double best_of(const std::vector<std::string>& args) {
    double best = -1;
    for (int i = 0; i < rounds; ++i) {
        const double took = timed_run(args);
        if (took < 0) return -1;
        if (best < 0 || took < best) best = took;
    }
    return best;
}

}  // namespace

int main(int argc, char* argv[]) {
    const std::string dir = argc > 1 ? argv[1] : "/tmp";
    // NOLINTNEXTLINE(cert-err34-c): a bad size makes an empty run, which shows
    const uint64_t mib = argc > 2 ? strtoull(argv[2], nullptr, 10) : 256;
    const std::string path = dir + "/dm_check_bench.dm";
    printf("making a %llu MiB capture in %s ...\n", static_cast<unsigned long long>(mib), path.c_str());
    fflush(stdout);
    if (!write_capture(path, mib << 20)) {
        perror(path.c_str());
        return 1;
    }
    const double bytes = static_cast<double>(mib << 20);
    // The first run of each reads the file into the page cache for the rest.
    const std::string pcapng = dir + "/dm_check_bench.pcapng";
    const double check = best_of({ORLITH_DM_BINARY, "check", path});
    const double pcap = best_of({ORLITH_DM_BINARY, "pcap", path, "-o", pcapng});
    const double cksum = best_of({"/usr/bin/cksum", path});
    unlink(path.c_str());
    unlink(pcapng.c_str());
    if (check < 0 || pcap < 0 || cksum < 0) {
        fprintf(stderr, "dm_check_bench: %s failed\n",
                check < 0  ? "orlith-dm check"
                : pcap < 0 ? "orlith-dm pcap"
                           : "cksum");
        return 1;
    }
    printf("%-28s %8.3f s %8.0f MiB/s\n", "orlith-dm check", check, bytes / check / 1048576);
    printf("%-28s %8.3f s %8.0f MiB/s\n", "orlith-dm pcap", pcap, bytes / pcap / 1048576);
    printf("%-28s %8.3f s %8.0f MiB/s\n", "cksum (reference)", cksum, bytes / cksum / 1048576);
    printf("check takes %.2f times as long as cksum, pcap %.2f times\n", check / cksum, pcap / cksum);
    return 0;
}
