// A started phone for each test, skipped where phones cannot run.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "simphone.h"

class PhoneTest : public ::testing::Test {
protected:
    // A skip or failure here keeps the test body from running at all.
    void SetUp() override {
        std::string why;
        if (geteuid() != 0) GTEST_SKIP() << "needs root";
        ASSERT_TRUE(simphone::phone_supported(&why)) << why;
    }
    // A phone that does not start ends the test at once: an assertion would
    // only leave this function, and the body would go on with no phone.
    void start(simphone::PhoneOptions options = simphone::PhoneOptions()) {
        if (options.driver.empty()) options.driver = driver();
        std::string why;
        phone = simphone::Phone::start(options, &why);
        if (!phone) throw std::runtime_error("the simulated phone did not start: " + why);
    }
    void TearDown() override {
        if (!phone) return;
        std::string problems;
        EXPECT_TRUE(phone->stop(&problems)) << problems;
    }
    // The diag driver of the phones a test starts: the old one, unless a
    // row of a suite names a kernel generation.
    virtual std::string driver() const { return std::string(); }
    const simphone::Generation* generation() const { return simphone::find_generation(driver()); }
    // /dev/diag_mdm is there on the old driver and the oldest kernels only.
    bool has_diag_mdm() const { return generation() == nullptr || generation()->own_mdm_device; }
    void control(const std::string& command) { ASSERT_TRUE(phone->control_ok(command)) << command; }
    // A path inside the phone's log root.
    std::string in_root(const std::string& name) const { return phone->log_root() + "/" + name; }
    // Whether the phones carry the legacy build, as they do unless
    // SIMPHONE_PROFILE says otherwise.
    static bool legacy() { return simphone::default_profile() == "legacy"; }
    // The states a daemon sets in order: the vendor build's, and none for
    // the legacy one, which has no state property.
    static std::vector<std::string> states_of_vendor(std::vector<std::string> states) {
        return legacy() ? std::vector<std::string>() : states;
    }
    std::unique_ptr<simphone::Phone> phone;
};

// Skips a test whose subject only the legacy build has; `what` names it.
#define LEGACY_ONLY(what)                                                                        \
    do {                                                                                         \
        if (!PhoneTest::legacy()) {                                                              \
            GTEST_SKIP() << "the " << simphone::default_profile() << " build has no " << (what); \
        }                                                                                        \
    } while (0)
