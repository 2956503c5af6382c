// simphone_demo: what a newcomer sees first. A simulated phone streams on all
// four diag devices; the daemon runs against it with a sample configuration
// and masks built by orlith-dm's library; its task status is shown once a
// second; it is stopped, and its .dm files are checked byte for byte against
// what the driver handed out, and copied out for orlith-dm to read.
//
//   simphone_demo [seconds] [directory for the .dm files]   (default 5; root)
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "dm/mask.h"
#include "generation.h"
#include "platform/fd_io.h"
#include "simphone.h"

using simphone::Device;

namespace {

using simphone::daemon_tasks;
using simphone::DaemonTask;
using simphone::say;

// Bytes a second each task's simulated modem sends, in the daemon's task order.
const char* const rates[simphone::device_count] = {"200000", "100000", "50000", "20000"};

const char* const config =
    "# Sample configuration of the demo\n"
    "AutoStart=true\n"
    "RotateSizeMB=64\n"
    "RotateCount=10\n"
    "DebugLevel=1\n"
    "StoragePath=EXTERNAL_STORAGE\n"
    "qxdm7k:Mask=diag.mask\n"
    "qxdm7k:NullMask=null.mask\n"
    "qxdm9k:Mask=diag.mask\n"
    "qxdm9k:NullMask=null.mask\n"
    "qxdmExt:Mask=diag.mask\n"
    "qxdmExt:NullMask=null.mask\n"
    "tiTrace:Mask=trace.mask\n";

// Rotated files first (highest index is the oldest), the current file last.
int rotation_rank(const std::string& name) {
    const size_t dm = name.rfind(".dm");
    const size_t first_dot = name.find('.');
    if (first_dot == dm) return 0;
    // NOLINTNEXTLINE(cert-err34-c): the index digits that rotation wrote
    return -atoi(name.c_str() + first_dot + 1);
}

// The signalling a field engineer asks for first: LTE RRC and NAS, NR RRC,
// WCDMA RRC and GSM RR; messages and events off.
std::string demo_mask() {
    dm::MaskSpec spec;
    dm::codes_add_range(&spec.codes, 0xB0C0, 0xB0C2);
    for (uint16_t code : {0xB0E2, 0xB0E3, 0xB0EC, 0xB0ED, 0xB821, 0x412F, 0x512F}) dm::codes_add(&spec.codes, code);
    spec.msg = true;
    spec.events = 0;
    spec.disable_first = true;
    std::string mask, error;
    dm::build_mask(spec, &mask, &error);
    return mask;
}

bool copy_out(const std::string& content, const std::string& path) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    size_t written = 0;
    const bool ok = write_all(fd, content.data(), content.size(), &written) == 0;
    return close(fd) == 0 && ok;
}

std::string indent(const std::string& text) {
    std::string out;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) out += "    " + line + "\n";
    return out;
}

}  // namespace

int main(int argc, char* argv[]) {
    // NOLINTNEXTLINE(cert-err34-c): a bad argument runs a 0 s demo, which fails visibly
    const int seconds = argc > 1 ? atoi(argv[1]) : 5;
    const std::string keep_dir = argc > 2 ? argv[2] : "";
    std::string error;
    if (!simphone::phone_supported(&error)) {
        say("demo: %s\n", error.c_str());
        return 1;
    }
    simphone::PhoneOptions options;
    options.messages = true;  // the daemon's messages on, into its log
    // A kernel generation of the diag driver (2.6.35 ... 4.14); unset, the
    // simulated driver of old.
    const char* generation = getenv("SIMPHONE_DRIVER");
    if (generation != nullptr) options.driver = generation;
    std::unique_ptr<simphone::Phone> phone = simphone::Phone::start(options, &error);
    if (!phone) {
        say("demo: %s\n", error.c_str());
        return 1;
    }
    say("== A simulated phone is up (kernel %s: the daemon drops %d header bytes per buffer)\n",
        options.driver.empty() ? options.kernel_version.c_str() : options.driver.c_str(), phone->header_bytes());
    for (int i = 0; i < simphone::device_count; ++i) {
        const DaemonTask& task = daemon_tasks[i];
        phone->control_ok(std::string("rate ") + simphone::device_name(task.device) + " " + rates[i]);
        say("   %-8s %-15s modem sends %s bytes/s once logging is on\n", task.name,
            task.device == Device::trace ? phone->trace_path().c_str()
                                         : (std::string("/dev/") + simphone::device_name(task.device)).c_str(),
            rates[i]);
    }
    phone->write_config(config);
    phone->write_file("/sdcard/diag.mask", demo_mask());
    phone->write_file("/sdcard/null.mask", dm::null_mask());
    phone->write_file("/sdcard/trace.mask", "trace on\r\n");
    say("== Configuration %s/orlith.conf, masks in /sdcard: LTE, NR, WCDMA and GSM signalling codes "
        "(orlith-dm mask build); the simulated modems stream only those\n",
        phone->data_dir().c_str());

    simphone::RunResult started = phone->zarnorlith({});
    say("== $ zarnorlith          (exit status %d)\n", started.exit_status);
    for (int i = 0; i < seconds; ++i) {
        const uint64_t tick = simphone::monotonic_us();
        simphone::RunResult pid = phone->zarnorlith({"-p"});
        simphone::RunResult status = phone->zarnorlith({"-l"});
        say("-- %ds  $ zarnorlith -p: %s", i + 1, pid.out.empty() ? "\n" : pid.out.c_str());
        if (pid.out == "0\n") {
            say("   $ zarnorlith -l: (nothing to list: no daemon is running)\n");
        } else {
            say("   $ zarnorlith -l\n%s", indent(status.out).c_str());
        }
        const uint64_t spent = simphone::monotonic_us() - tick;
        if (spent < 1000000) {
            struct timespec rest = {0, static_cast<long>((1000000 - spent) * 1000)};
            nanosleep(&rest, nullptr);  // the demo's pace, not a wait for anything
        }
    }
    phone->zarnorlith({"-q"});
    const bool ended = simphone::wait_until([&] { return phone->daemon_pids().empty(); }, 10000);
    say("== $ zarnorlith -q       daemon %s\n", ended ? "ended" : "still running after 10 s");
    for (const DaemonTask& task : daemon_tasks)
        phone->control_ok(std::string("rate ") + simphone::device_name(task.device) + " 0");

    const std::vector<std::string> files = phone->dm_files("/sdcard");
    say("== .dm files in /sdcard: %zu\n", files.size());
    bool copied = true;
    for (const std::string& file : files) {
        std::string content;
        phone->read_file(file, &content);
        say("   %10zu  %s\n", content.size(), file.c_str());
        if (!keep_dir.empty()) copied = copy_out(content, keep_dir + file.substr(file.rfind('/'))) && copied;
    }
    if (!keep_dir.empty()) say("   copied to %s%s\n", keep_dir.c_str(), copied ? "" : ": SOME COPIES FAILED");
    const simphone::Journal journal = phone->journal();
    size_t captured = 0;
    bool all_ok = true;
    say("== Loss check against the driver's journal\n");
    for (const DaemonTask& task : daemon_tasks) {
        std::vector<std::string> own;
        for (const std::string& file : files) {
            if (simphone::is_task_file(file, task)) own.push_back(file);
        }
        std::stable_sort(own.begin(), own.end(), [](const std::string& a, const std::string& b) {
            return rotation_rank(a) < rotation_rank(b);
        });
        simphone::Grouping grouping;
        if (task.device == Device::extdiag) grouping.kind = simphone::Grouping::per_chunk;
        // A driver that takes the mode switch as a record gets reads and
        // batches twice the size.
        const simphone::Generation* generation = simphone::find_generation(options.driver);
        if (generation != nullptr && generation->mode_argument != 0) grouping.batch_limit *= 2;
        const simphone::CaptureCheck check = phone->check_capture(task.device, own, grouping);
        captured += check.actual_bytes;
        if (check.chunks == 0 && check.actual_bytes == 0) {
            say("   %-8s the driver handed out no stream data and nothing was stored: nothing lost\n", task.name);
        } else if (check.ok) {
            say("   %-8s %zu chunks handed out, %zu bytes stored: all there, none lost\n", task.name, check.chunks,
                check.actual_bytes);
        } else {
            all_ok = false;
            say("   %-8s MISMATCH: %s\n", task.name, check.message.c_str());
        }
    }
    say("== %zu bytes captured in all; %s\n", captured,
        all_ok ? "none lost (checked against the journal)" : "some lost or changed (see above)");
    std::string log_note;
    std::vector<simphone::LogRecord> records = phone->log_records();
    say("== The daemon's log holds %zu records%s\n", records.size(), records.empty() ? "" : "; the last ones:");
    for (size_t i = records.size() > 5 ? records.size() - 5 : 0; i < records.size(); ++i) {
        std::string text = records[i].text;
        while (!text.empty() && text.back() == '\n') text.pop_back();
        say("   %s: %s\n", records[i].tag.c_str(), text.c_str());
    }
    const std::string run_dir = phone->run_dir();
    const pid_t sandbox = phone->sandbox_pid(), driver = phone->driver_pid();
    const bool clean = phone->stop(&error);
    const bool gone = kill(sandbox, 0) != 0 && kill(driver, 0) != 0 && access(run_dir.c_str(), F_OK) != 0;
    say("== Phone torn down: %s\n", clean && gone ? "nothing left mounted or running" : error.c_str());
    return all_ok && ended && clean && gone && copied ? 0 : 1;
}
