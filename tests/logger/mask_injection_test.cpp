#include "logger/mask_injection.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "log_capture.h"
#include "logger/diag_device.h"
#include "msg/log_msg.h"
#include "test_support.h"

namespace {

const std::string type_word("\x20\x00\x00\x00", 4);

// The far side of a diag device: takes one packet per read and answers each
// with "R<n>", unless told to stay silent or to shut its reading side after
// the first packet.
struct FakeModem {
    enum Mode { answer, silent, answer_then_refuse, reset_on_first };
    int fds[2] = {-1, -1};  // [0] the daemon's descriptor, [1] the modem's
    Mode mode;
    int answer_delay_ms;
    std::vector<std::string> packets;
    std::atomic<bool> quit{false};
    std::thread thread;

    explicit FakeModem(Mode mode_, int answer_delay_ms_ = 0) : mode(mode_), answer_delay_ms(answer_delay_ms_) {
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
        thread = std::thread([this] { run(); });
    }
    // Lets the last packet arrive, then ends the modem's thread.
    void stop() {
        usleep(30000);
        quit = true;
        if (thread.joinable()) thread.join();
    }
    ~FakeModem() {
        quit = true;
        if (thread.joinable()) thread.join();
        close(fds[0]);
        if (fds[1] >= 0) close(fds[1]);
    }
    void run() {
        char buffer[4096];
        while (!quit) {
            struct pollfd entry = {fds[1], POLLIN, 0};
            if (poll(&entry, 1, 20) <= 0) continue;
            if (mode == reset_on_first) {
                // Leaving the packet unread makes the daemon's read fail.
                close(fds[1]);
                fds[1] = -1;
                return;
            }
            ssize_t got = read(fds[1], buffer, sizeof buffer);
            if (got <= 0) return;
            packets.emplace_back(buffer, static_cast<size_t>(got));
            if (mode == silent) continue;
            if (mode == answer_then_refuse) shutdown(fds[1], SHUT_RD);
            if (answer_delay_ms > 0) usleep(answer_delay_ms * 1000);
            std::string reply = "R" + std::to_string(packets.size());
            if (write(fds[1], reply.data(), reply.size()) < 0) return;
            if (mode == answer_then_refuse) return;
        }
    }
};

struct MaskInjectionTest : RecordsTest {
    std::string mask = dir.file("mask.bin");
    std::vector<char> response = std::vector<char>(diag_read_size);
    TaskEntry* task = &task_table[0];

    MaskInjectionTest() : RecordsTest(2) { signal(SIGPIPE, SIG_IGN); }
    int inject() { return inject_mask(task, mask.c_str(), response.data(), response.size()); }
    // Runs the injection against a modem and gives back what it received.
    std::vector<std::string> inject_into(FakeModem::Mode mode, const std::string& content, int* result = nullptr) {
        write_file(mask, content);
        FakeModem modem(mode);
        task->device_fd = modem.fds[0];
        int got = inject();
        if (result != nullptr) *result = got;
        modem.stop();
        task->device_fd = -1;
        return modem.packets;
    }
};

TEST_F(MaskInjectionTest, FileIsSplitIntoPacketsAtTheFlagByte) {
    int result = -2;
    EXPECT_EQ(inject_into(FakeModem::answer, "\x7EPQR\x7E\x7EST\x7E", &result),
              (std::vector<std::string>{type_word + "PQR\x7E", type_word + "ST\x7E"}));
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(logged("qxdm7k: inject 8: [20( ),00(.),00(.),00(.),50(P),51(Q),52(R),7E(~)]\n"));
    EXPECT_TRUE(logged("qxdm7k: response 2: [52(R),31(1)]\n"));
    EXPECT_TRUE(logged("qxdm7k: response 2: [52(R),32(2)]\n"));

    // No opening flag, a trailing partial packet, a doubled flag.
    EXPECT_EQ(inject_into(FakeModem::answer,
                          "PQR\x7E"
                          "XY"),
              (std::vector<std::string>{type_word + "PQR\x7E"}));
    EXPECT_EQ(inject_into(FakeModem::answer, "\x7E\x7E"), (std::vector<std::string>{type_word + "\x7E"}));
    EXPECT_TRUE(inject_into(FakeModem::answer, "no flag at all", &result).empty());
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(inject_into(FakeModem::answer, "", &result).empty());
    EXPECT_EQ(result, 0);
}

TEST_F(MaskInjectionTest, MissingMaskFileFails) {
    EXPECT_EQ(inject(), -1);
    EXPECT_TRUE(logged("qxdm7k: open " + mask + " failed: No such file or directory\n"));
}

// Mask names come from a file the app writes; what they name is read only
// when it is a regular file, and the open never waits.
TEST_F(MaskInjectionTest, OnlyARegularFileIsReadAndTheOpenNeverBlocks) {
    write_file(dir.file("secret"), "S\x7E");
    ASSERT_EQ(symlink(dir.file("secret").c_str(), mask.c_str()), 0);
    FakeModem modem(FakeModem::answer);
    task->device_fd = modem.fds[0];
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string directory = dir.file("sub");
    ASSERT_EQ(mkdir(directory.c_str(), 0700), 0);
    for (const std::string& path : {mask, fifo, directory, std::string("/dev/null")}) {
        // A reader stuck in the FIFO's open is let go, so that a failure shows
        // as a slow open rather than a hung test.
        std::atomic<bool> returned{false};
        std::thread rescue([&] {
            for (int i = 0; i < 100 && !returned; ++i) usleep(20000);
            if (returned) return;
            const int writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (writer >= 0) close(writer);
        });
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(inject_mask(task, path.c_str(), response.data(), response.size()), -1) << path;
        returned = true;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1)) << path;
        rescue.join();
        EXPECT_TRUE(logged("qxdm7k: open " + path + " failed: not a regular file\n")) << path;
    }
    modem.stop();
    task->device_fd = -1;
    EXPECT_TRUE(modem.packets.empty());
}

TEST_F(MaskInjectionTest, NamesThatLeadOutOfTheLogRootAreRefused) {
    for (const char* name : {"mask.cfg", "masks/lte.cfg", "...", "..cfg", "cfg..", "a/..b/c", "./mask.cfg"}) {
        EXPECT_TRUE(mask_name_inside_root(name)) << name;
    }
    for (const char* name :
         {"/data/secret", "..", "../data/secret", "masks/../../data/secret", "masks/..", "a//../b"}) {
        EXPECT_FALSE(mask_name_inside_root(name)) << name;
    }
}

TEST_F(MaskInjectionTest, ExternalModemTalksThroughTheControlDevice) {
    task = &task_table[2];
    write_file(mask, "AB\x7E");
    FakeModem control(FakeModem::answer);
    FakeModem extdiag(FakeModem::answer);
    daemon_settings.ext_ctrl_fd = control.fds[0];
    task->device_fd = extdiag.fds[0];
    EXPECT_EQ(inject(), 0);
    control.stop();
    extdiag.stop();
    EXPECT_EQ(control.packets, (std::vector<std::string>{type_word + "AB\x7E"}));
    EXPECT_TRUE(extdiag.packets.empty());
    EXPECT_TRUE(logged("qxdmExt: response 2: [52(R),31(1)]\n"));
}

TEST_F(MaskInjectionTest, OverlongPacketIsDroppedWholeAndTheNextStillGoes) {
    const std::string fits(1019, 'f');
    const std::string too_long(1020, 'x');
    const auto packets = inject_into(FakeModem::answer, fits + "\x7E" + too_long + "\x7E" + "ok\x7E");
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0], type_word + fits + "\x7E");
    EXPECT_EQ(packets[0].size(), mask_packet_size);
    EXPECT_EQ(packets[1], type_word + "ok\x7E");
    EXPECT_TRUE(logged("qxdm7k: inject " + mask + ": packet longer than 1020 bytes dropped\n"));
}

TEST_F(MaskInjectionTest, FailedWriteEndsTheInjection) {
    int result = -2;
    const auto packets = inject_into(FakeModem::answer_then_refuse,
                                     "A\x7E"
                                     "B\x7E"
                                     "C\x7E",
                                     &result);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(packets, (std::vector<std::string>{type_word + "A\x7E"}));
    EXPECT_TRUE(logged("qxdm7k: response 2: [52(R),31(1)]\n"));
    EXPECT_TRUE(logged("qxdm7k: inject " + mask + " failed: count = 6: Broken pipe\n"));
}

TEST_F(MaskInjectionTest, FailedResponseReadGoesOnToTheNextPacket) {
    int result = -2;
    inject_into(FakeModem::reset_on_first,
                "A\x7E"
                "B\x7E",
                &result);
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(logged("qxdm7k: read response failed: Connection reset by peer\n"));
    // The next packet was tried, on a device that is gone by now.
    EXPECT_TRUE(logged("qxdm7k: inject " + mask + " failed: count = 6: Broken pipe\n"));
}

TEST_F(MaskInjectionTest, SlowModemIsWaitedForWhileRunning) {
    write_file(mask, "A\x7E");
    FakeModem modem(FakeModem::answer, 300);
    task->device_fd = modem.fds[0];
    EXPECT_EQ(inject(), 0);
    EXPECT_TRUE(logged("qxdm7k: response 2: [52(R),31(1)]\n"));
}

TEST_F(MaskInjectionTest, SilentModemDoesNotHoldUpAStop) {
    write_file(mask,
               "A\x7E"
               "B\x7E"
               "C\x7E");
    FakeModem modem(FakeModem::silent);
    task->device_fd = modem.fds[0];
    std::thread stopper([] {
        usleep(100000);
        runtime_state.done = 1;
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(inject(), 0);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    stopper.join();
    // One grace period for the whole mask, not one per packet.
    EXPECT_LT(elapsed, std::chrono::seconds(2));
    modem.stop();
    EXPECT_EQ(modem.packets.size(), 3u);
    EXPECT_TRUE(logged("qxdm7k: no response, stop requested\n"));
}

TEST_F(MaskInjectionTest, TraceTerminalTakesTheFileAsRawChunks) {
    task = &task_table[3];
    std::string content(3000, '\0');
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i % 251);
    write_file(mask, content);
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    int terminal = open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(terminal, 0);
    struct termios raw;
    ASSERT_EQ(tcgetattr(terminal, &raw), 0);
    cfmakeraw(&raw);
    ASSERT_EQ(tcsetattr(terminal, TCSANOW, &raw), 0);
    std::string received;
    std::thread reader([&] {
        char buffer[4096];
        while (received.size() < content.size()) {
            struct pollfd entry = {master, POLLIN, 0};
            if (poll(&entry, 1, 2000) <= 0) return;
            ssize_t got = read(master, buffer, sizeof buffer);
            if (got <= 0) return;
            received.append(buffer, static_cast<size_t>(got));
        }
    });
    task->device_fd = terminal;
    // Nothing answers on a terminal: a response wait would hang here.
    EXPECT_EQ(inject(), 0);
    reader.join();
    EXPECT_EQ(received, content);
    std::vector<std::string> chunks;
    for (const std::string& line : log.texts(log_tag)) {
        if (line.rfind("tiTrace: inject ", 0) == 0) chunks.push_back(line.substr(16, line.find(':', 16) - 16));
    }
    EXPECT_EQ(chunks, (std::vector<std::string>{"1024", "1024", "952"}));
    close(terminal);
    close(master);
}

}  // namespace
