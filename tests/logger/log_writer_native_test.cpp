// The log writer on media that fail: full, read-only, a directory where
// renames are refused, and kernels without the calls a safe move needs.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "log_capture.h"
#include "logger/log_writer.h"
#include "logger/rotation_fs.h"
#include "logger_test_util.h"
#include "msg/log_msg.h"
#include "test_support.h"

namespace {

// In a child: from here on renameat2 fails with renameat2_error and the two
// hard-link calls with link_error (0: left alone), as on a kernel or medium
// without them. False when no filter can be installed.
bool refuse_syscalls(int renameat2_error, int link_error) {
    std::vector<sock_filter> program = {BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr))};
    auto refuse = [&](long number, int error) {
        if (error == 0) return;
        program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(number), 0, 1));
        program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<uint32_t>(error)));
    };
    refuse(SYS_renameat2, renameat2_error);
    refuse(SYS_linkat, link_error);
#ifdef SYS_link
    refuse(SYS_link, link_error);
#endif
    program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    struct sock_fprog filter = {static_cast<unsigned short>(program.size()), program.data()};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) == 0;
}

struct WriterFailureTest : WriterTest {
    FakeAm am{dir};

    WriterFailureTest() { log.set_properties("persist.service.adb.enable=1\n"); }

    // Runs body in a child with a small tmpfs as the log root.
    int on_tmpfs(const std::function<int()>& body, const char* size = "size=64k") {
        return run_in_child([&] {
            runtime_state.own_pid = getpid();
            if (!enter_private_mounts()) return 100;
            if (mount("tmpfs", root.c_str(), "tmpfs", 0, size) != 0) return 101;
            return body();
        });
    }
    static constexpr uid_t nobody = 65534;
    const std::vector<std::string> planted = {".1.111111.dm", ".2.222222.dm", ".3.333333.dm", ".dm"};
    // The log file and rotated files up to index 3, each holding its own
    // suffix and owned by nobody (the first rotated one by first_owner); the
    // host log open to nobody too.
    void plant_files(uid_t first_owner = nobody) {
        ASSERT_EQ(chmod(dir.path.c_str(), 0755), 0);
        write_file(log.log_path, "");
        ASSERT_EQ(chmod(log.log_path.c_str(), 0666), 0);
        for (const std::string& suffix : planted) {
            write_file(stem + suffix, suffix);
            const uid_t owner = suffix == planted[0] ? first_owner : nobody;
            ASSERT_EQ(chown((stem + suffix).c_str(), owner, owner), 0);
        }
    }
    static bool become_nobody() {
        return setgroups(0, nullptr) == 0 && setresgid(nobody, nobody, nobody) == 0 &&
               setresuid(nobody, nobody, nobody) == 0;
    }
};

TEST_F(WriterFailureTest, FullMediumStopsTheDaemonAndBroadcastsTheError) {
    EXPECT_EQ(on_tmpfs([&] {
                  const std::string chunk(16384, 'd');
                  int result = 0;
                  for (int i = 0; i < 16 && result == 0; ++i) result = write(chunk);
                  if (result != -1) return 1;
                  return sigterm.count_after_settling() == 1 ? 0 : 2;
              }),
              0);
    EXPECT_TRUE(logged("qxdm7k: write log file " + current + " failed: No space left on device\n"));
    EXPECT_TRUE(logged("qxdm7k: stop daemon, error: No space left on device (28)\n"));
    EXPECT_EQ(am.calls(), stop_broadcast + "28\n");
    // The log file's descriptor was not handed on to am.
    const std::string inherited = read_file(am.fds);
    EXPECT_EQ(inherited.find(root), std::string::npos) << inherited;
}

// With a reserve the append that would eat into it is not made, and the
// daemon stops as on a full medium, with the reserve still free. The files
// hold every byte before that append, rotated files included: none is given
// up for room, and nothing else on the medium is touched.
TEST_F(WriterFailureTest, ReserveStopsTheDaemonBeforeTheMediumIsFull) {
    constexpr size_t chunk = 256 * 1024;
    constexpr int64_t reserve = 2 << 20;
    EXPECT_EQ(on_tmpfs(
                  [&] {
                      write_file(root + "/photo.jpg", "a photo");
                      daemon_settings.min_free_mb = 2;
                      daemon_settings.rotate_size_mb = 1;
                      std::string stream;
                      int result = 0;
                      for (int i = 0; i < 40 && result == 0; ++i) {
                          const std::string data(chunk, static_cast<char>('a' + i));
                          result = write(data);
                          if (result == 0) stream += data;
                      }
                      if (result != -1) return 1;
                      FreeSpace space;
                      if (measure_free_space(root.c_str(), &space) != 0) return 2;
                      // Kept, and not by stopping early.
                      if (space.free_bytes < reserve) return 3;
                      if (space.free_bytes >= reserve + static_cast<int64_t>(chunk) + space.block_bytes) return 4;
                      // Oldest first: the highest index down to 1, then the current file.
                      std::map<int, std::string, std::greater<int>> rotated;
                      const std::regex rotated_name(stem_name + "\\.([0-9]+)\\.[0-9]{6}\\.dm");
                      for (const std::string& name : list_dir(root)) {
                          std::smatch match;
                          if (std::regex_match(name, match, rotated_name)) rotated[std::stoi(match[1])] = name;
                      }
                      if (rotated.size() < 2 || rotated.begin()->first != static_cast<int>(rotated.size())) return 5;
                      std::string kept;
                      for (const auto& [index, name] : rotated) kept += read_file(root + "/" + name);
                      kept += read_file(current);
                      if (kept != stream) return 6;
                      if (list_dir(root).size() != rotated.size() + 2 || read_file(root + "/photo.jpg") != "a photo")
                          return 7;
                      return sigterm.count_after_settling() == 1 ? 0 : 8;
                  },
                  "size=6m"),
              0);
    const std::string refused = "qxdm7k: write log file " + current + " refused: 262144 bytes not written, ";
    int refusals = 0;
    for (const std::string& line : log.texts(log_tag)) refusals += line.compare(0, refused.size(), refused) == 0;
    EXPECT_EQ(refusals, 1);
    EXPECT_TRUE(logged("qxdm7k: stop daemon, error: No space left on device (28)\n"));
    EXPECT_EQ(am.calls(), stop_broadcast + "28\n");
}

// A task that measured the free space lately may trust it, less what has
// been written since: by every task, since they share the medium.
TEST_F(WriterFailureTest, ReserveCountsWhatEveryTaskWrote) {
    constexpr int64_t reserve = int64_t{40} << 20;
    EXPECT_EQ(on_tmpfs(
                  [&] {
                      daemon_settings.min_free_mb = 40;
                      TaskEntry* other = &task_table[1];
                      other->log_path = strdup((root + "/qxdm_9k_20130405_093015_007.dm").c_str());
                      // Measures about 64 MiB free.
                      if (write("first") != 0) return 1;
                      const std::string mebibyte(1 << 20, 'm');
                      for (int i = 0; i < 22; ++i) {
                          if (write_log_file(other, mebibyte.data(), static_cast<int>(mebibyte.size())) != 0) return 2;
                      }
                      // About 42 MiB free now: four more would leave 38.
                      if (write(std::string(4 << 20, 'b')) != -1) return 3;
                      FreeSpace space;
                      if (measure_free_space(root.c_str(), &space) != 0 || space.free_bytes < reserve) return 4;
                      return sigterm.count_after_settling() == 1 ? 0 : 5;
                  },
                  "size=64m"),
              0);
    EXPECT_EQ(am.calls(), stop_broadcast + "28\n");
}

TEST_F(WriterFailureTest, ReadOnlyMediumStopsTheDaemon) {
    EXPECT_EQ(on_tmpfs([&] {
                  if (write("before") != 0) return 1;
                  if (mount(nullptr, root.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0) return 2;
                  if (write("after") != -1) return 3;
                  return sigterm.count_after_settling() == 1 ? 0 : 4;
              }),
              0);
    EXPECT_TRUE(logged("qxdm7k: open log file " + current + " failed: Read-only file system\n"));
    EXPECT_TRUE(logged("qxdm7k: stop daemon, error: Read-only file system (30)\n"));
    EXPECT_EQ(am.calls(), stop_broadcast + "30\n");
}

// Without write permission on the directory every rename fails with EACCES;
// with rotated files up to index 3 only, the first refused one is index 3.
TEST_F(WriterFailureTest, RefusedRenameKeepsTheFullFileAndRetriesLater) {
    plant_files();
    if (HasFatalFailure()) return;
    daemon_settings.rotate_size_mb = 0;
    EXPECT_EQ(run_in_child([&] {
                  if (!become_nobody()) return 100;
                  runtime_state.own_pid = getpid();
                  if (write("+one") != 0) return 1;
                  if (write("+two") != 0) return 2;
                  return sigterm.count_after_settling() == 0 ? 0 : 3;
              }),
              0);
    for (const std::string& suffix : planted) {
        EXPECT_TRUE(access((stem + suffix).c_str(), F_OK) == 0) << suffix;
    }
    EXPECT_EQ(list_dir(root).size(), 4u);
    EXPECT_EQ(read_file(current), ".dm+one+two");
    const std::string refused =
        "qxdm7k: cannot rename [" + stem + ".3.333333.dm] to [" + stem + ".4.333333.dm]: Permission denied (13)\n";
    // Tried at every write, reported once.
    EXPECT_EQ(count_logged(refused), 1);
    EXPECT_EQ(am.calls(), "");
}

// In a sticky directory only a file's owner may move it. The rotation makes
// its first move, is refused the second, and puts the first back: however
// often it is retried, no file is lost and the files keep their ranks.
TEST_F(WriterFailureTest, MoveRefusedMidwayIsUndone) {
    const uid_t other = 65533;
    plant_files(other);
    if (HasFatalFailure()) return;
    ASSERT_EQ(chmod(root.c_str(), 01777), 0);
    daemon_settings.rotate_size_mb = 0;
    daemon_settings.rotate_count = 3;
    EXPECT_EQ(run_in_child([&] {
                  if (!become_nobody()) return 100;
                  runtime_state.own_pid = getpid();
                  for (const char* data : {"+one", "+two", "+three"}) {
                      if (write(data) != 0) return 1;
                  }
                  return sigterm.count_after_settling() == 0 ? 0 : 3;
              }),
              0);
    for (const std::string suffix : {".1.111111.dm", ".2.222222.dm", ".3.333333.dm"}) {
        EXPECT_EQ(read_file(stem + suffix), suffix);
    }
    EXPECT_EQ(list_dir(root).size(), 4u);
    EXPECT_EQ(read_file(current), ".dm+one+two+three");
    const std::string refused =
        "qxdm7k: cannot rename [" + stem + ".1.111111.dm] to [" + stem + ".2.111111.dm]: Operation not permitted (1)\n";
    EXPECT_EQ(count_logged(refused), 1);
}

// Old kernels lack renameat2 and some media lack its flag (EINVAL) or hard
// links (EPERM on FAT and FUSE cards): the move that never replaces has to
// hold on each of them, and the rotation has to come out the same.
TEST_F(WriterFailureTest, MovesNeverReplaceWithoutRenameat2OrHardLinks) {
    struct Kernel {
        const char* what;
        int renameat2_error;  // 0: available
        int link_error;
    } kernels[] = {{"as is", 0, 0}, {"no renameat2", ENOSYS, 0}, {"no flag, no hard links", EINVAL, EPERM}};
    daemon_settings.rotate_size_mb = 0;
    daemon_settings.rotate_count = 2;
    for (const Kernel& kernel : kernels) {
        const std::string place = root + "/" + std::to_string(kernel.renameat2_error);
        ASSERT_EQ(mkdir(place.c_str(), 0755), 0);
        write_file(place + "/a", "a");
        write_file(place + "/b", "b");
        const std::string place_stem = place + "/" + stem_name;
        write_file(place_stem + ".1.111111.dm", "o1");
        write_file(place_stem + ".dm", "full");
        runtime_state.log_root = place.c_str();
        free(task->log_path);
        task->log_path = strdup((place_stem + ".dm").c_str());
        EXPECT_EQ(run_in_child([&] {
                      if (!refuse_syscalls(kernel.renameat2_error, kernel.link_error)) return 100;
                      const int dir_fd = open(place.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
                      if (rename_no_replace(dir_fd, "a", "b") != -1 || errno != EEXIST) return 1;
                      if (rename_no_replace(dir_fd, "a", "c") != 0) return 2;
                      close(dir_fd);
                      return write("fresh");
                  }),
                  0)
            << kernel.what;
        std::vector<std::string> names = list_dir(place);
        ASSERT_EQ(names.size(), 5u) << kernel.what;
        const std::string newest = names[2];
        EXPECT_TRUE(std::regex_match(newest, std::regex(stem_name + "\\.1\\.[0-9]{6}\\.dm"))) << newest;
        EXPECT_EQ(names, (std::vector<std::string>{"b", "c", newest, stem_name + ".2.111111.dm", stem_name + ".dm"}))
            << kernel.what;
        EXPECT_EQ(read_file(place + "/" + newest), "full") << kernel.what;
        EXPECT_EQ(read_file(place + "/b"), "b") << kernel.what;
        EXPECT_EQ(read_file(place + "/c"), "a") << kernel.what;
        EXPECT_EQ(read_file(place_stem + ".2.111111.dm"), "o1") << kernel.what;
        EXPECT_EQ(read_file(place_stem + ".dm"), "fresh") << kernel.what;
    }
}

}  // namespace
