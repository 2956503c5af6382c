#include "logger/device_wait.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "log_capture.h"
#include "msg/error_text.h"
#include "msg/log_msg.h"
#include "platform/platform.h"
#include "test_support.h"

namespace {

struct DeviceWaitTest : RecordsTest {
    int wake[2] = {-1, -1};
    int device[2] = {-1, -1};  // [0] is watched, [1] is the device's far side

    DeviceWaitTest() : RecordsTest(0) {
        EXPECT_EQ(pipe2(wake, O_CLOEXEC), 0);
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, device), 0);
    }
    ~DeviceWaitTest() override {
        for (int fd : {wake[0], wake[1], device[0], device[1]}) {
            if (fd >= 0) close(fd);
        }
    }
    static bool readable(int fd) {
        struct pollfd entry = {fd, POLLIN, 0};
        return poll(&entry, 1, 0) == 1 && (entry.revents & POLLIN);
    }
};

TEST_F(DeviceWaitTest, DataMakesTheDeviceReadable) {
    ASSERT_EQ(write(device[1], "d", 1), 1);
    EXPECT_EQ(wait_for_data(wake, device[0], -1), 1);
    EXPECT_EQ(wait_for_data(wake, device[0], -1), 1);  // the data is not taken
    EXPECT_TRUE(log.records().empty());
}

TEST_F(DeviceWaitTest, WakeByteWinsOverDataAndOnlyOneIsTaken) {
    ASSERT_EQ(write(device[1], "d", 1), 1);
    ASSERT_EQ(write(wake[1], "ww", 2), 2);
    EXPECT_EQ(wait_for_data(wake, device[0], -1), 0);
    EXPECT_EQ(wait_for_data(wake, device[0], -1), 0);
    EXPECT_FALSE(readable(wake[0]));
    EXPECT_TRUE(readable(device[0]));
    EXPECT_EQ(wait_for_data(wake, device[0], -1), 1);
}

TEST_F(DeviceWaitTest, TimeOutAndNullPipe) {
    EXPECT_EQ(wait_for_data(wake, device[0], 10), 0);
    EXPECT_EQ(wait_for_data(nullptr, device[0], -1), -1);
    EXPECT_TRUE(log.records().empty());
}

TEST_F(DeviceWaitTest, HangUpAloneIsAFailureTracedForTheDevice) {
    // A pipe whose writer is gone reports POLLHUP without POLLIN.
    int hung[2];
    ASSERT_EQ(pipe2(hung, O_CLOEXEC), 0);
    close(hung[1]);
    EXPECT_EQ(wait_for_data(wake, hung[0], -1), -1);
    const auto records = log.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].priority, log_priority_debug);
    EXPECT_EQ(records[0].tag, log_tag_poll);
    char expected[128];
    snprintf(expected, sizeof expected, "poll no valid data! fd[0]=%d revents=0x%04X\n", hung[0], POLLHUP);
    EXPECT_EQ(records[0].text, expected);
    close(hung[0]);
}

// What kept a logger thread spinning: a terminal whose far side has closed
// is readable, yet every read gives 0; only the hang-up tells it from a
// device that has nothing this once.
TEST_F(DeviceWaitTest, TerminalWhoseFarSideClosedIsHungUp) {
    ASSERT_EQ(write(device[1], "d", 1), 1);
    EXPECT_FALSE(device_hung_up(device[0]));
    // A terminal pair takes the place of the fixture's, which closes what is
    // left of it.
    close(device[0]);
    close(device[1]);
    device[0] = -1;
    device[1] = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(device[1], 0);
    ASSERT_EQ(grantpt(device[1]), 0);
    ASSERT_EQ(unlockpt(device[1]), 0);
    device[0] = open(ptsname(device[1]), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(device[0], 0);
    EXPECT_FALSE(device_hung_up(device[0]));
    close(device[1]);
    device[1] = -1;
    EXPECT_EQ(wait_for_data(wake, device[0], -1), 1);
    char byte;
    EXPECT_EQ(read(device[0], &byte, 1), 0);
    EXPECT_TRUE(device_hung_up(device[0]));
    EXPECT_TRUE(log.records().empty());
}

void ignore_signal(int) {}

// The stop handler's SIGALRM must end a wait whose wake byte got lost.
TEST_F(DeviceWaitTest, InterruptedPollIsAFailureReportedAtErrorPriority) {
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = ignore_signal;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
    // The wait runs on a thread of its own, as in the daemon, and the alarm is
    // repeated until it has ended it, so an alarm that comes before the poll
    // cannot leave the wait to its timeout.
    int result = 0;
    int error = 0;
    std::atomic<bool> waited{false};
    std::thread waiter([&] {
        errno = 0;
        result = wait_for_data(wake, device[0], 5000);
        error = errno;
        waited = true;
    });
    while (!waited) {
        pthread_kill(waiter.native_handle(), SIGALRM);
        usleep(20000);
    }
    waiter.join();
    sigaction(SIGALRM, &previous, nullptr);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(error, EINTR);
    const auto records = log.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].priority, log_priority_error);
    EXPECT_EQ(records[0].text, "poll: -1: " + std::string(error_text(EINTR).text) + "\n");
}

TEST_F(DeviceWaitTest, NothingIsLoggedWithMessagesOff) {
    daemon_settings.messages_enabled = 0;
    int hung[2];
    ASSERT_EQ(pipe2(hung, O_CLOEXEC), 0);
    close(hung[1]);
    EXPECT_EQ(wait_for_data(wake, hung[0], -1), -1);
    close(hung[0]);
    EXPECT_TRUE(log.records().empty());
}

}  // namespace
