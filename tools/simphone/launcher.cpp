// simphone: starts a simulated phone, runs one command inside it on this
// terminal (a shell when none is given), and tears the phone down.
//
//   simphone [--mfg] [--radioflag HEX] [--kernel VERSION --header 0|4]
//            [--driver GENERATION] [--rate BYTES/S] [--keep] [-- command [args...]]
//
// --kernel sets /proc/version; --header the bytes its diag driver puts before
// the data of every read (4 unless given). --driver makes the diag driver a
// kernel generation's (2.6.35, 3.4, 3.10, 3.18, 4.4, 4.9, 4.14), with a
// /proc/version of that kernel in place of the two.
// --rate sets a timed stream on every device. --keep leaves the run directory
// (journal, events, daemon log) for a look afterwards and prints its path.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "simphone.h"

int main(int argc, char* argv[]) {
    simphone::PhoneOptions options;
    std::string rate;
    std::vector<std::string> command;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                fprintf(stderr, "simphone: %s needs a value\n", arg.c_str());
                // NOLINTNEXTLINE(concurrency-mt-unsafe): option parsing, before any thread
                exit(2);
            }
            return argv[++i];
        };
        if (arg == "--mfg") {
            options.boot_mode = "mfgkernel";
        } else if (arg == "--radioflag") {
            options.radioflag = value();
        } else if (arg == "--kernel") {
            options.kernel_version = value();
        } else if (arg == "--header") {
            // NOLINTNEXTLINE(cert-err34-c): anything but 0 or 4 is refused by the driver at the start
            options.stream_header = atoi(value().c_str());
        } else if (arg == "--driver") {
            options.driver = value();
        } else if (arg == "--rate") {
            rate = value();
        } else if (arg == "--keep") {
            // NOLINTNEXTLINE(concurrency-mt-unsafe): option parsing, before any thread
            setenv("SIMPHONE_KEEP", "1", 1);
        } else if (arg == "--") {
            command.assign(argv + i + 1, argv + argc);
            break;
        } else {
            fprintf(stderr,
                    "usage: simphone [--mfg] [--radioflag HEX] [--kernel V --header 0|4] [--driver G] [--rate B/S] "
                    "[--keep] "
                    "[-- cmd...]\n");
            return 2;
        }
    }
    if (command.empty()) command = {"/bin/sh"};
    std::string error;
    std::unique_ptr<simphone::Phone> phone = simphone::Phone::start(options, &error);
    if (!phone) {
        fprintf(stderr, "simphone: %s\n", error.c_str());
        return 1;
    }
    if (!rate.empty() && !phone->control_ok("rate all " + rate)) {
        fprintf(stderr, "simphone: the driver refused the rate %s\n", rate.c_str());
        return 1;
    }
    fprintf(stderr, "simphone: phone up, run directory %s\n", phone->run_dir().c_str());
    int status = phone->run_attached(command);
    const std::string run_dir = phone->run_dir();
    if (!phone->stop(&error)) fprintf(stderr, "simphone: teardown: %s\n", error.c_str());
    if (getenv("SIMPHONE_KEEP") != nullptr) fprintf(stderr, "simphone: kept %s\n", run_dir.c_str());
    return status;
}
