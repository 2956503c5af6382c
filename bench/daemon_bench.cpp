// Figures of the whole daemon on the simulated phone: throughput against a
// plain reader of the same device, CPU per GB, an idle daemon's system calls,
// stop and status latency, resident memory. Prints figures; asserts nothing.
//   daemon_bench [seconds of load, default 5] [seconds idle, default 60]
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "simphone.h"

using namespace simphone;

namespace {

const std::string mask = std::string("\x4B\x12\x00\x00\x7E", 5);

// utime + stime of a process, in seconds.
double cpu_seconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) utime = std::stoull(field);
        if (i == 15) stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long rss_kib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

size_t captured_bytes(const Phone& phone) {
    size_t total = 0;
    for (const std::string& file : phone.dm_files()) {
        std::string content;
        if (phone.read_file(file, &content)) total += content.size();
    }
    return total;
}

std::unique_ptr<Phone> phone_with(bool four_tasks, const std::string& config_extra) {
    PhoneOptions options;
    options.diag_mdm = options.extdiag = options.trace = four_tasks;
    std::string error;
    std::unique_ptr<Phone> phone = Phone::start(options, &error);
    if (!phone) {
        fprintf(stderr, "daemon_bench: %s\n", error.c_str());
        exit(1);
    }
    phone->write_file("/sdcard/mask.cfg", mask);
    phone->write_config(
        "StoragePath=/sdcard\nqxdm7k:Mask=mask.cfg\nqxdm9k:Mask=mask.cfg\n"
        "qxdmExt:Mask=mask.cfg\ntiTrace:Mask=mask.cfg\n" +
        config_extra);
    return phone;
}

pid_t start_daemon(Phone& phone) {
    phone.zarnorlith({});
    wait_until([&] { return phone.daemon_pids().size() == 1; }, 5000);
    std::vector<pid_t> pids = phone.daemon_pids();
    return pids.empty() ? -1 : pids[0];
}

double stop_ms(Phone& phone) {
    const uint64_t before = monotonic_us();
    phone.zarnorlith({"-q"});
    wait_until([&] { return phone.daemon_pids().empty(); }, 10000);
    return (monotonic_us() - before) / 1000.0;
}

}  // namespace

int main(int argc, char* argv[]) {
    // NOLINTNEXTLINE(cert-err34-c): a bad argument shows as 0 s in the figures
    const int load_seconds = argc > 1 ? atoi(argv[1]) : 5;
    // NOLINTNEXTLINE(cert-err34-c): a bad argument shows as 0 s in the figures
    const int idle_seconds = argc > 2 ? atoi(argv[2]) : 60;
    std::string why;
    if (!phone_supported(&why)) {
        fprintf(stderr, "daemon_bench: %s\n", why.c_str());
        return 1;
    }

    // 1. One qxdm7k task at the full offered rate (a chunk for every read).
    {
        auto phone = phone_with(false, "RotateSizeMB=64\nRotateCount=2\n");
        phone->control("chunk diag 32768");
        const pid_t daemon = start_daemon(*phone);
        phone->control("rate diag -1");
        const double cpu_before = cpu_seconds(daemon);
        const uint64_t before = monotonic_us();
        sleep(static_cast<unsigned>(load_seconds));
        double status_worst = 0;
        for (int i = 0; i < 10; ++i) {
            const uint64_t asked = monotonic_us();
            phone->zarnorlith({"-l"});
            status_worst = std::max(status_worst, (monotonic_us() - asked) / 1000.0);
        }
        const double cpu = cpu_seconds(daemon) - cpu_before;
        const double stop = stop_ms(*phone);
        const double seconds = (monotonic_us() - before) / 1e6;
        // Every chunk handed out was read by the daemon; rotation may have
        // deleted some of them from the disk since.
        size_t bytes = 0;
        for (const Chunk& chunk : phone->journal()) {
            if (chunk.record.kind == ChunkKind::stream) bytes += chunk.record.length;
        }
        printf("qxdm7k at full rate: %.1f MB/s over %.1f s (%zu bytes read, %zu on disk, RotateCount 2)\n",
               bytes / seconds / 1e6, seconds, bytes, captured_bytes(*phone));
        printf("daemon CPU: %.2f s per GB captured\n", bytes > 0 ? cpu / (bytes / 1e9) : 0.0);
        printf("-l under load: worst of 10 %.1f ms; -q to exit: %.1f ms\n", status_worst, stop);
    }
    // The same device read by a plain reader into the same directory. The
    // driver streams only to memory-device readers, so the reader switches
    // the mode itself (ioctl 7, 2) before it copies with 32 KiB reads.
    {
        auto phone = phone_with(false, "");
        phone->control("chunk diag 32768");
        phone->control("rate diag -1");
        const std::string script =
            "exec python3 -c 'import fcntl,os,time\n"
            "fd=os.open(\"/dev/diag\",os.O_RDWR); fcntl.ioctl(fd,7,2)\n"
            "out=os.open(\"/sdcard/plain.dm\",os.O_WRONLY|os.O_CREAT|os.O_TRUNC)\n"
            "end=time.time()+" +
            std::to_string(load_seconds) +
            "; n=0\n"
            "while time.time()<end:\n"
            "  b=os.read(fd,32768)\n"
            "  if b: os.write(out,b); n+=len(b)\n"
            "print(n)'";
        const uint64_t before = monotonic_us();
        RunResult plain = phone->run({"/bin/sh", "-c", script}, (load_seconds + 10) * 1000);
        const double seconds = (monotonic_us() - before) / 1e6;
        // NOLINTNEXTLINE(cert-err34-c): the byte count printed by the phone's own script
        const double bytes = plain.ok() ? atof(plain.out.c_str()) : 0;
        printf("plain 32 KiB reader of the same device: %.1f MB/s%s\n", bytes / seconds / 1e6,
               plain.ok() ? "" : " (reader failed)");
    }
    // 2. Four tasks: resident memory; then the idle daemon's system calls.
    {
        auto phone = phone_with(true, "");
        const pid_t daemon = start_daemon(*phone);
        phone->control("rate all 200000");
        sleep(2);
        printf("resident memory with four tasks logging: %ld KiB\n", rss_kib(daemon));
        phone->control("rate all 0");
        sleep(1);
        char seconds_text[16];
        snprintf(seconds_text, sizeof seconds_text, "%d", idle_seconds);
        char pid_text[16];
        snprintf(pid_text, sizeof pid_text, "%d", daemon);
        printf("system calls of the idle daemon (4 tasks, no data) over %d s:\n", idle_seconds);
        fflush(stdout);
        pid_t tracer = fork();
        if (tracer == 0) {
            execlp("timeout", "timeout", "-s", "INT", seconds_text, "strace", "-c", "-f", "-p", pid_text,
                   static_cast<char*>(nullptr));
            _exit(127);
        }
        waitpid(tracer, nullptr, 0);
        printf("(strace prints no table when the daemon made no system call at all)\n");
        stop_ms(*phone);
    }
    return 0;
}
