# zarnorlith in the make-based platform trees of the older 32-bit ARM phones
# it was made for. Android.bp builds the same modules with the same flags in
# current trees. Sources are globbed as CMakeLists.txt globs them, so that a
# new file in a daemon directory needs no edit here; scripts/android-check
# proves that both files build exactly the sources that CMakeLists.txt builds.
LOCAL_PATH := $(call my-dir)

# A tree that reads Android.bp (Soong) builds these modules from there, and
# the same module defined twice stops its build.
ifeq ($(and $(SOONG_ANDROID_MK),$(wildcard $(LOCAL_PATH)/Android.bp)),)

orlith_cflags := -Wall -Wextra -Werror -D_GNU_SOURCE -D_FILE_OFFSET_BITS=64
orlith_cppflags := -std=c++17
# Every .cpp file under the directories $(1), at any depth; make's
# $(wildcard) does not descend by itself.
orlith_find_cpp = $(foreach entry,$(wildcard $(addsuffix /*,$(1))),$(call orlith_find_cpp,$(entry)) $(filter %.cpp,$(entry)))
# The directories that CMakeLists.txt globs for the daemon's core.
orlith_core_src := $(filter-out src/control/main.cpp,$(sort $(patsubst $(LOCAL_PATH)/%,%,$(call orlith_find_cpp,$(addprefix $(LOCAL_PATH)/src/,control logger config msg)))))

# Both daemons and the host tests link this one core; each adds the profile
# (src/platform/profile.h) that says how it is installed, so the core holds
# none. The platform layer is the one source that differs: libcutils and
# liblog on Android, a property file and the system log for the host tests.
include $(CLEAR_VARS)
LOCAL_MODULE := liborlith_core
LOCAL_SRC_FILES := $(orlith_core_src) src/platform/android_platform.cpp
LOCAL_CFLAGS := $(orlith_cflags)
LOCAL_CPPFLAGS := $(orlith_cppflags)
LOCAL_SHARED_LIBRARIES := liblog libcutils
LOCAL_C_INCLUDES := $(LOCAL_PATH)/src
LOCAL_EXPORT_C_INCLUDE_DIRS := $(LOCAL_PATH)/src
include $(BUILD_STATIC_LIBRARY)

include $(CLEAR_VARS)
LOCAL_MODULE := liborlith_core
LOCAL_SRC_FILES := $(orlith_core_src) src/platform/host_platform.cpp
LOCAL_CFLAGS := $(orlith_cflags)
LOCAL_CPPFLAGS := $(orlith_cppflags)
LOCAL_C_INCLUDES := $(LOCAL_PATH)/src
LOCAL_EXPORT_C_INCLUDE_DIRS := $(LOCAL_PATH)/src
include $(BUILD_HOST_STATIC_LIBRARY)

# The system-image daemon of the phones it was first made for:
# /system/bin/zarnorlith, as root, started through zarnorlith.rc.
include $(CLEAR_VARS)
LOCAL_MODULE := zarnorlith
LOCAL_SRC_FILES := src/control/main.cpp src/platform/legacy_profile.cpp
LOCAL_CFLAGS := $(orlith_cflags)
LOCAL_CPPFLAGS := $(orlith_cppflags)
LOCAL_STATIC_LIBRARIES := liborlith_core
LOCAL_SHARED_LIBRARIES := liblog libcutils
LOCAL_INIT_RC := zarnorlith.rc
include $(BUILD_EXECUTABLE)

# The vendor daemon of Android 8 and later, in /vendor/bin. A phone installs
# one of the two daemons, and either is zarnorlith on it. The trees older
# than 8 place a module by LOCAL_PROPRIETARY_MODULE alone: without it they
# would install this daemon over the system one.
include $(CLEAR_VARS)
LOCAL_MODULE := zarnorlith_vendor
LOCAL_MODULE_STEM := zarnorlith
LOCAL_VENDOR_MODULE := true
LOCAL_PROPRIETARY_MODULE := true
LOCAL_SRC_FILES := src/control/main.cpp src/platform/vendor_profile.cpp
LOCAL_CFLAGS := $(orlith_cflags)
LOCAL_CPPFLAGS := $(orlith_cppflags)
LOCAL_STATIC_LIBRARIES := liborlith_core
LOCAL_SHARED_LIBRARIES := liblog libcutils
LOCAL_INIT_RC := zarnorlith.vendor.rc
include $(BUILD_EXECUTABLE)

# The suites that need neither the built daemon, nor root, nor the simulated
# phone.
include $(CLEAR_VARS)
LOCAL_MODULE := zarnorlith_host_tests
# The core holds no profile; the suites run with the legacy one, as CMake's
# do.
LOCAL_SRC_FILES := $(sort $(filter-out tests/%_native_test.cpp,$(patsubst $(LOCAL_PATH)/%,%,$(wildcard $(addprefix $(LOCAL_PATH)/tests/,$(addsuffix /*.cpp,support msg platform config control logger)))))) src/platform/legacy_profile.cpp
LOCAL_C_INCLUDES := $(LOCAL_PATH)/tests/support
# Only the binary's own suite runs it; none of these does.
LOCAL_CFLAGS := $(orlith_cflags) -DORLITH_BINARY=\"zarnorlith\"
LOCAL_CPPFLAGS := $(orlith_cppflags)
LOCAL_STATIC_LIBRARIES := liborlith_core
include $(BUILD_HOST_NATIVE_TEST)

endif
