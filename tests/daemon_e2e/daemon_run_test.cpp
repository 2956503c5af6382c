// The daemon doing its whole job on the simulated phone: all four tasks,
// rotation under load, the mask traffic, the status report and the stop.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../simphone/phone_fixture.h"
#include "log_capture.h"
#include "mask_files.h"

using namespace simphone;

namespace {

const std::string trace_mask_bytes = std::string(3000, 'T');

std::vector<std::string> files_with(const std::vector<std::string>& files, const std::string& prefix) {
    std::vector<std::string> out;
    for (const std::string& name : files) {
        const std::string base = name.substr(name.rfind('/') + 1);
        if (base.rfind(prefix, 0) == 0) out.push_back(name);
    }
    return out;
}

class DaemonRun : public PhoneTest {
protected:
    void start_logging(const std::string& extra_config, const PhoneOptions& base = PhoneOptions()) {
        PhoneOptions options = base;
        options.properties["debugtool.anrhistory"] = "1";
        start(options);
        if (HasFatalFailure() || IsSkipped()) return;
        ASSERT_TRUE(phone->write_file("/sdcard/mask.cfg", mask_bytes));
        ASSERT_TRUE(phone->write_file("/sdcard/null.cfg", null_mask_bytes));
        ASSERT_TRUE(phone->write_file("/sdcard/trace.cfg", trace_mask_bytes));
        ASSERT_TRUE(
            phone->write_config("StoragePath=EXTERNAL_STORAGE\n"
                                "qxdm7k:Mask=mask.cfg\nqxdm7k:NullMask=null.cfg\n"
                                "qxdm9k:Mask=mask.cfg\nqxdm9k:NullMask=null.cfg\n"
                                "qxdmExt:Mask=mask.cfg\nqxdmExt:NullMask=null.cfg\n"
                                "tiTrace:Mask=trace.cfg\ntiTrace:NullMask=null.cfg\n" +
                                extra_config));
        RunResult started = phone->zarnorlith({});
        ASSERT_TRUE(started.ok()) << started.err;
        ASSERT_TRUE(wait_until([&] { return phone->daemon_pids().size() == 1; }, 5000));
    }

    // -q, then waits for the daemon to be gone; returns the milliseconds.
    double stop_daemon() {
        const uint64_t before = monotonic_us();
        EXPECT_TRUE(phone->zarnorlith({"-q"}).ok());
        EXPECT_TRUE(wait_until([&] { return phone->daemon_pids().empty(); }, 10000));
        return (monotonic_us() - before) / 1000.0;
    }

    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (const LogRecord& record : phone->log_records()) {
            if (record.tag == "ORLITH:zarnorlith") out.push_back(record.text);
        }
        return out;
    }
    bool logged(const std::string& text) const { return ::logged(phone->log_records(), text, daemon_line); }
};

TEST_F(DaemonRun, AllFourTasksCaptureEveryByteAndStopCleanly) {
    // A terminal keeps no read boundaries, so which bytes a header drop
    // takes from the trace cannot be known outside; this kernel has none.
    PhoneOptions options;
    options.kernel_version = "2.6.32.9-perf";
    options.stream_header = 0;
    start_logging("", options);
    if (HasFatalFailure() || IsSkipped()) return;
    control("chunk all 4000");
    control("rate all 400000");
    const std::vector<std::string> prefixes = {"qxdm_7k_", "qxdm_9k_", "qxdm_ext_", "ti_trace_"};
    ASSERT_TRUE(wait_until(
        [&] {
            auto files = phone->dm_files();
            for (const std::string& prefix : prefixes) {
                if (files_with(files, prefix).empty()) return false;
            }
            return true;
        },
        5000))
        << "files:\n"
        << ::testing::PrintToString(phone->dm_files()) << "\nlog:\n"
        << ::testing::PrintToString(texts());
    // Some hundreds of kilobytes each, so that every batching task has
    // written several full batches before the stop.
    ASSERT_TRUE(wait_until([&] { return phone->journal().size() > 600; }, 10000));

    // A status request under load leaves every task logging.
    ASSERT_TRUE(phone->zarnorlith({"-l"}).ok());
    RunResult status = phone->zarnorlith({"-l"});
    ASSERT_TRUE(status.ok());
    EXPECT_NE(status.out.find("/dev/diag: logging to /sdcard/qxdm_7k_"), std::string::npos) << status.out;
    EXPECT_NE(status.out.find("/dev/diag_mdm: logging to /sdcard/qxdm_9k_"), std::string::npos) << status.out;
    EXPECT_NE(status.out.find(phone->trace_path() + ": logging to /sdcard/ti_trace_"), std::string::npos) << status.out;
    EXPECT_EQ(std::count(status.out.begin(), status.out.end(), '\n'), 4) << status.out;

    const double stop_ms = stop_daemon();
    printf("[ measured ] -q to daemon exit: %.1f ms\n", stop_ms);

    const auto files = phone->dm_files();
    struct Expect {
        Device device;
        const char* prefix;
        Grouping::Kind kind;
    } expects[] = {{Device::diag, "qxdm_7k_", Grouping::batched},
                   {Device::diag_mdm, "qxdm_9k_", Grouping::batched},
                   {Device::extdiag, "qxdm_ext_", Grouping::per_chunk}};
    for (const Expect& e : expects) {
        auto mine = files_with(files, e.prefix);
        ASSERT_EQ(mine.size(), 1u) << e.prefix;
        Grouping grouping;
        grouping.kind = e.kind;
        CaptureCheck check = phone->check_capture(e.device, mine, grouping);
        EXPECT_TRUE(check.ok) << e.prefix << ": " << check.message;
        EXPECT_GT(check.chunks, 20u) << e.prefix;
        printf("[ measured ] %s %zu chunks, %zu bytes captured\n", e.prefix, check.chunks, check.actual_bytes);
    }

    // The trace: what the daemon read of it, which is all of it but what was
    // still in the terminal at the stop.
    auto trace_files = files_with(files, "ti_trace_");
    ASSERT_EQ(trace_files.size(), 1u);
    std::string trace_capture;
    ASSERT_TRUE(phone->read_file(trace_files[0], &trace_capture));
    const Journal journal = phone->journal();
    const std::string trace_stream = expected_capture(stream_chunks(journal, Device::trace), 0, Grouping());
    EXPECT_GT(trace_capture.size(), trace_stream.size() * 9 / 10);
    EXPECT_TRUE(trace_stream.compare(0, trace_capture.size(), trace_capture) == 0) << "trace capture differs";

    // The mode switch: on at set-up, back to USB once per diag device, only
    // after the device's last chunk was handed out.
    for (const char* device : {"diag", "diag_mdm"}) {
        std::vector<Event> ioctls = phone->events("ioctl", device);
        std::vector<long long> args;
        for (const Event& event : ioctls) {
            if (event.a == 7) args.push_back(event.b);
        }
        EXPECT_EQ(args, (std::vector<long long>{2, 1})) << device;
        Device stream_device = std::string(device) == "diag" ? Device::diag : Device::diag_mdm;
        auto chunks = stream_chunks(journal, stream_device);
        ASSERT_FALSE(chunks.empty());
        EXPECT_LT(chunks.back()->record.time_us, ioctls.back().time_us) << device;
    }
    EXPECT_TRUE(phone->events("ioctl", "extdiag").empty());

    // Mask then null mask, each packet behind its type word and answered.
    std::vector<Event> requests = phone->events("request", "diag_mdm");
    ASSERT_EQ(requests.size(), 3u);
    const std::string type_word("\x20\0\0\0", 4);
    EXPECT_EQ(requests[0].data, type_word + mask_bytes.substr(0, 5));
    EXPECT_EQ(requests[1].data, type_word + mask_bytes.substr(5));
    EXPECT_EQ(requests[2].data, type_word + null_mask_bytes);
    // The external modem's requests go to its control device, /dev/diag,
    // beside qxdm7k's own.
    EXPECT_EQ(phone->events("request", "diag").size(), 6u);
    EXPECT_TRUE(phone->events("request", "extdiag").empty());
    // The trace terminal got the raw mask and no null mask.
    std::string raw;
    for (const Event& event : phone->events("trace_in")) raw += event.data;
    EXPECT_EQ(raw, trace_mask_bytes);

    // Every descriptor closed, every wake lock released.
    EXPECT_EQ(phone->control("locks"), "ok");
    for (const char* device : {"diag", "diag_mdm", "extdiag"}) {
        EXPECT_EQ(phone->events("open", device).size(), phone->events("close", device).size()) << device;
    }
    EXPECT_TRUE(logged("daemon end.\n"));
    EXPECT_TRUE(phone->broadcasts().empty());
}

TEST_F(DaemonRun, RotationUnderLoadKeepsTheCountAndTheContent) {
    PhoneOptions options;
    options.trace = false;
    options.extdiag = false;
    options.diag_mdm = false;
    start_logging("RotateSizeMB=1\nRotateCount=3\n", options);
    if (HasFatalFailure() || IsSkipped()) return;
    control("chunk diag 32768");
    control("rate diag 8000000");
    // Six full files' worth: more rotations than are kept.
    ASSERT_TRUE(wait_until(
        [&] {
            size_t bytes = 0;
            for (const Chunk& chunk : phone->journal()) bytes += chunk.record.length;
            return bytes > 6u * 1024 * 1024;
        },
        20000));
    stop_daemon();
    auto files = files_with(phone->dm_files(), "qxdm_7k_");
    // The current file and three rotated ones: STEM.1 newest, STEM.3 oldest.
    ASSERT_EQ(files.size(), 4u);
    std::vector<std::string> oldest_first;
    for (int k = 3; k >= 1; --k) {
        auto match = std::find_if(files.begin(), files.end(), [&](const std::string& name) {
            return name.find("." + std::to_string(k) + ".") != std::string::npos;
        });
        ASSERT_NE(match, files.end()) << k;
        oldest_first.push_back(*match);
    }
    auto current = std::find_if(files.begin(), files.end(), [&](const std::string& name) {
        return std::find(oldest_first.begin(), oldest_first.end(), name) == oldest_first.end();
    });
    ASSERT_NE(current, files.end());
    oldest_first.push_back(*current);
    // The survivors hold the newest data, contiguous and whole, ending with
    // the last chunk read.
    std::string joined;
    for (const std::string& name : oldest_first) {
        std::string part;
        ASSERT_TRUE(phone->read_file(name, &part));
        joined += part;
    }
    const Journal journal = phone->journal();
    std::vector<const Chunk*> chunks = stream_chunks(journal, Device::diag);
    const std::string all = expected_capture(chunks, phone->header_bytes(), Grouping());
    ASSERT_GE(all.size(), joined.size());
    EXPECT_TRUE(all.compare(all.size() - joined.size(), joined.size(), joined) == 0)
        << "survivors are not the tail of the stream";
    EXPECT_GE(joined.size(), 3u * 1024 * 1024);
}

}  // namespace
