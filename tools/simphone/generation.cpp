#include "generation.h"

namespace simphone {

namespace {

constexpr size_t kib = 1024;

// Where the trees read say nothing, a generation does what the nearest one
// that was read does: 3.4 splits a short read like 2.6.35; 3.18 checks and
// answers the switch like late 3.10, 4.4 and 4.9 like 4.14; the write limit
// is 3.4's up to 3.4 and 4.14's from 3.10 on; every generation keeps 4.14's
// buffer sizes.
const Generation table[] = {
    {"2.6.35",
     "Linux version 2.6.35.7-perf-g1f3a1c2 (android-build@apa26.mtv.corp.google.com) (gcc version 4.4.3 (GCC) ) "
     "#1 PREEMPT Tue Jul 19 14:27:43 PDT 2011",
     4, 0, SwitchReturn::one, false, false, false, false, true, true, false, 8 * kib, 16 * kib, 32771, 4 * kib},
    {"3.4",
     "Linux version 3.4.0-perf-g7ab1b2c (android-build@vpbs1.mtv.corp.google.com) (gcc version 4.7 (GCC) ) "
     "#1 SMP PREEMPT Fri Nov 8 16:22:31 PST 2013",
     4, 0, SwitchReturn::one, false, false, false, false, true, false, false, 8 * kib, 16 * kib, 32771, 4 * kib},
    {"3.10",
     "Linux version 3.10.49-perf-g0a5c3b1 (android-build@wpds1.hot.corp.google.com) (gcc version 4.9 20140514 "
     "(prerelease) (GCC) ) #1 SMP PREEMPT Mon Oct 5 18:41:06 PDT 2015",
     4, 4, SwitchReturn::one_unless_same, false, true, true, false, false, false, false, 16 * kib, 16 * kib, 32771,
     4 * kib},
    {"3.18",
     "Linux version 3.18.31-perf-g5e4d2c1 (android-build@vpee4.mtv.corp.google.com) (gcc version 4.9.x 20150123 "
     "(prerelease) (GCC) ) #1 SMP PREEMPT Thu Jun 1 20:12:45 UTC 2017",
     4, 9, SwitchReturn::one_unless_same, false, true, true, false, false, false, false, 16 * kib, 16 * kib, 32771,
     4 * kib},
    {"4.4",
     "Linux version 4.4.153-perf-g8d2c4e1 (builder@abfarm-01125) (gcc version 4.9.x 20150123 (prerelease) (GCC) ) "
     "#1 SMP PREEMPT Wed Nov 14 11:02:19 CST 2018",
     0, 13, SwitchReturn::zero, true, true, true, false, false, false, false, 16 * kib, 16 * kib, 32771, 4 * kib},
    {"4.9",
     "Linux version 4.9.112-perf-g3b7a9f2 (builder@abfarm-02317) (clang version 6.0.2 for Android NDK) "
     "#1 SMP PREEMPT Tue Jun 11 20:50:33 CST 2019",
     0, 20, SwitchReturn::zero, true, true, true, false, false, false, false, 16 * kib, 16 * kib, 32771, 4 * kib},
    {"4.14",
     "Linux version 4.14.117-perf-g2c6d8a4 (builder@abfarm-04125) (clang version 8.0.12 for Android NDK) "
     "#1 SMP PREEMPT Thu Apr 16 03:12:45 CST 2020",
     0, 24, SwitchReturn::zero, true, true, true, true, false, false, true, 16 * kib, 16 * kib, 32771, 4 * kib},
};

}  // namespace

const char* const generation_names[] = {"2.6.35", "3.4", "3.10", "3.18", "4.4", "4.9", "4.14"};
const size_t generation_count = sizeof table / sizeof table[0];

const Generation* find_generation(const std::string& name) {
    for (const Generation& g : table) {
        if (name == g.name) return &g;
    }
    return nullptr;
}

}  // namespace simphone
