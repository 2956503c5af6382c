// The host platform layer: its stand-in for the system properties, a file
// that ORLITH_PROPERTIES names.
#include <gtest/gtest.h>

#include "log_capture.h"
#include "platform/platform.h"
#include "test_support.h"

namespace {

using MessageTest = RecordsTest;

TEST_F(MessageTest, PropertiesFollowTheFileAndTheDefault) {
    log.set_properties(
        "# comment\n  ro.muxd.trace_pts_name = /dev/pts/7 \nempty=\n"
        "dup=first\ndup=second\nbinary=\xff\xfe\n");
    char value[256];
    EXPECT_EQ(platform_property_get("ro.muxd.trace_pts_name", value, sizeof value, "x"), 10);
    EXPECT_STREQ(value, "/dev/pts/7");
    EXPECT_EQ(platform_property_get("empty", value, sizeof value, "fallback"), 8);
    EXPECT_STREQ(value, "fallback");
    EXPECT_EQ(platform_property_get("absent", value, sizeof value, ""), 0);
    EXPECT_STREQ(value, "");
    platform_property_get("dup", value, sizeof value, "");
    EXPECT_STREQ(value, "second");
    platform_property_get("binary", value, sizeof value, "");
    EXPECT_STREQ(value, "\xff\xfe");
    char small[4];
    EXPECT_EQ(platform_property_get("ro.muxd.trace_pts_name", small, sizeof small, "x"), 3);
    EXPECT_STREQ(small, "/de");

    ScopedEnv no_file("ORLITH_PROPERTIES", dir.file("absent.prop").c_str());
    platform_property_get("ro.muxd.trace_pts_name", value, sizeof value, "ro.muxd.trace_pts_name");
    EXPECT_STREQ(value, "ro.muxd.trace_pts_name");
}

}  // namespace
