// A started phone for each test, skipped where phones cannot run.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "simphone.h"

class PhoneTest : public ::testing::Test {
protected:
    void start(const simphone::PhoneOptions& options = simphone::PhoneOptions()) {
        std::string why;
        if (geteuid() != 0) GTEST_SKIP() << "needs root";
        ASSERT_TRUE(simphone::phone_supported(&why)) << why;
        phone = simphone::Phone::start(options, &why);
        ASSERT_TRUE(phone) << why;
    }
    void TearDown() override {
        if (!phone) return;
        std::string problems;
        EXPECT_TRUE(phone->stop(&problems)) << problems;
    }
    void control(const std::string& command) { ASSERT_TRUE(phone->control_ok(command)) << command; }
    std::unique_ptr<simphone::Phone> phone;
};
