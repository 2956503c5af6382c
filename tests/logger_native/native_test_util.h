// For the native logger tests: a private mount namespace in a forked child,
// so that tmpfs and bind mounts vanish with the child, and a fake `am`.
#pragma once

#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <string>

#include "test_support.h"

// In the child: from here on, mounts are seen by this process only.
inline bool enter_private_mounts() {
    return unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

// An `am` first on the PATH that appends its arguments to am.out and lists
// the descriptors it inherited in am.fds (one readlink target a line).
struct FakeAm {
    std::string bin;
    std::string out;
    std::string fds;
    ScopedEnv path;
    explicit FakeAm(const TempDir& dir)
        : bin(dir.file("bin")),
          out(dir.file("am.out")),
          fds(dir.file("am.fds")),
          path("PATH", (dir.file("bin") + ":" + (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin")).c_str()) {
        mkdir(bin.c_str(), 0755);
        write_file(bin + "/am",
                   "#!/bin/sh\n"
                   "printf '%s\\n' \"$*\" >> '" +
                       out +
                       "'\n"
                       "for fd in /proc/$$/fd/*; do readlink \"$fd\"; done > '" +
                       fds + "'\n");
        chmod((bin + "/am").c_str(), 0755);
    }
    std::string calls() const { return read_file(out); }
};
