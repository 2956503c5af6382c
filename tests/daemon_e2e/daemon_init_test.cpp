// The daemon started as init starts a service from Android 11 on: the whole
// service is killed once the process init started ends (simphone_init).
#include <signal.h>

#include <future>
#include <string>
#include <vector>

#include "fault_fixture.h"

using namespace simphone;

namespace {

class InitService : public fault::Fault {
protected:
    void SetUp() override {
        Fault::SetUp();
        if (HasFatalFailure() || IsSkipped()) return;
        start_diag(200000);
    }
    // The service runs for as long as the daemon lives; its report comes
    // when it ends.
    std::future<RunResult> start_service(const std::vector<std::string>& args) {
        return std::async(std::launch::async, [this, args] { return phone->service(args, 60000); });
    }
    static std::string report(std::future<RunResult>& service) {
        if (service.wait_for(std::chrono::seconds(20)) != std::future_status::ready) return "(still running)";
        const RunResult result = service.get();
        return result.ok() ? result.out : "(failed: " + result.err + ")";
    }
    std::string pid_printed() const { return phone->zarnorlith({"-p"}).out; }
    std::string qxdm7k_logging() const { return phone->log_root() + "/qxdm_7k_"; }
};

// The started process forks the daemon and ends: init takes the daemon with
// it, before it can log, and nothing is left to stop.
TEST_F(InitService, ForkedDaemonDiesWithTheProcessInitStarted) {
    std::future<RunResult> service = start_service({});
    EXPECT_EQ(report(service), "exit 0\nkilled 1\n");
    EXPECT_TRUE(phone->daemon_pids().empty());
    EXPECT_FALSE(logged("daemon end."));
    EXPECT_EQ(pid_printed(), "0\n");
}

// With -f the process init started is the daemon: it logs, answers -l and
// -p, refuses a second start, and the stop service's -q ends it in order
// (null mask, switch back) with its exit status going to init. A daemon
// killed outright leaves nothing that keeps the next one from starting.
TEST_F(InitService, ForegroundDaemonLogsAnswersAndStopsThroughTheStopService) {
    std::future<RunResult> service = start_service({"-f"});
    ASSERT_TRUE(wait_until([&] { return phone->dm_files().size() == 1; }, 5000)) << status();
    const std::vector<pid_t> pids = phone->daemon_pids();
    ASSERT_EQ(pids.size(), 1u);
    EXPECT_NE(status().find("/dev/diag: logging to " + qxdm7k_logging()), std::string::npos) << status();
    EXPECT_NE(pid_printed(), "0\n");
    const RunResult second = phone->service({"-f"});
    EXPECT_EQ(second.out, "exit 255\nkilled 0\n");
    EXPECT_TRUE(logged("daemon is already running ("));

    const RunResult stop = phone->service({"-q"});
    EXPECT_EQ(stop.out, "exit 0\nkilled 0\n");
    EXPECT_EQ(report(service), "exit 0\nkilled 0\n");
    EXPECT_TRUE(logged("daemon end."));
    EXPECT_EQ(mode_switches("diag"), (std::vector<long long>{2, 1}));
    EXPECT_EQ(pid_printed(), "0\n");
    if (phone->profile().name == std::string("vendor")) {
        EXPECT_EQ(phone->states(), (std::vector<std::string>{"running", "stopped"}));
    }

    service = start_service({"-f"});
    ASSERT_TRUE(wait_until([&] { return phone->daemon_pids().size() == 1; }, 5000));
    ASSERT_TRUE(wait_until([&] { return pid_printed() != "0\n"; }, 5000));
    kill(phone->daemon_pids()[0], SIGKILL);
    EXPECT_EQ(report(service), "signal 9\nkilled 0\n");
    EXPECT_EQ(pid_printed(), "0\n");
    service = start_service({"-f"});
    EXPECT_TRUE(wait_until([&] { return pid_printed() != "0\n"; }, 5000));
    EXPECT_EQ(phone->service({"-q"}).out, "exit 0\nkilled 0\n");
    EXPECT_EQ(report(service), "exit 0\nkilled 0\n");
}

}  // namespace
