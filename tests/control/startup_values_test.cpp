#include <gtest/gtest.h>
#include <limits.h>
#include <sys/stat.h>

#include <string>

#include "control/startup_values.h"
#include "log_capture.h"
#include "logger/task_table.h"
#include "test_support.h"

namespace {

TEST(HeaderBytes, KernelVersionDecides) {
    EXPECT_EQ(header_bytes_for_version("Linux version 2.6.35.10-g931a37e (build@host) #1 PREEMPT"), 4);
    EXPECT_EQ(header_bytes_for_version("Linux version 2.6.32.9-perf (build@host) #1"), 0);
    EXPECT_EQ(header_bytes_for_version("Linux version 3.0.8-perf (build@host) #1"), 4);
    EXPECT_EQ(header_bytes_for_version("Linux version 2.6.38-perf (build@host) #1"), 0);
    EXPECT_EQ(header_bytes_for_version("Linux version 6.1.0 (no suffix)"), -1);
    EXPECT_EQ(header_bytes_for_version(""), -1);
    std::string long_suffix = "Linux version 3.0.8-" + std::string(2000, 's') + " x";
    EXPECT_EQ(header_bytes_for_version(long_suffix.c_str()), 4);
}

struct SequenceTest : RecordsTest {
    SequenceTest() { runtime_state.log_root = dir.path.c_str(); }
    void touch(const std::string& name) { write_file(dir.file(name), ""); }
};

TEST_F(SequenceTest, HighestNumberPlusOne) {
    EXPECT_EQ((find_next_sequence(), runtime_state.next_sequence), 1);
    touch("qxdm_7k_20130405_093015_005.dm");
    touch("qxdm_9k_20130405_093016_012.dm");
    touch("unrelated.txt");
    touch("a_b_c_d_-40.dm");
    ASSERT_EQ(mkdir(dir.file("x_y_z_w_99.dm").c_str(), 0755), 0);  // directories do not count
    find_next_sequence();
    EXPECT_EQ(runtime_state.next_sequence, 13);
    touch("a_b_c_d_20.old");  // the text after the number is not compared
    find_next_sequence();
    EXPECT_EQ(runtime_state.next_sequence, 21);
    touch("a_b_c_d_99999999999999999999.dm");
    find_next_sequence();
    EXPECT_EQ(runtime_state.next_sequence, INT_MAX);
}

TEST_F(SequenceTest, UnreadableRootGivesZero) {
    runtime_state.log_root = "/no/such/directory";
    find_next_sequence();
    EXPECT_EQ(runtime_state.next_sequence, 0);
    runtime_state.log_root = nullptr;
    runtime_state.next_sequence = 5;
    find_next_sequence();
    EXPECT_EQ(runtime_state.next_sequence, 0);
}

}  // namespace
