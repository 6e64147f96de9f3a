// A test fixture over the fake platform: a fresh fake before each test, and
// after it a check that every handle given out was closed exactly once.
#pragma once

#include "platform/fake/fake_platform.h"

#include <gtest/gtest.h>

namespace vek::testing {

class FakePlatformTest : public ::testing::Test {
protected:
    void SetUp() override { platform::fake::reset(); }
    void TearDown() override {
        EXPECT_EQ(platform::fake::open_handle_count(), 0u) << "a handle was left open";
        EXPECT_EQ(platform::fake::bad_close_count(), 0u)
            << "a handle was closed twice, or was not open";
    }
};

}  // namespace vek::testing
