#include <gtest/gtest.h>

#include "tests/support/fake_platform.h"

// The fake's registry honours capacity like SHGetValueA: too small a buffer is a failed read.
TEST(FakePlatform, RegistryReadRespectsCapacity) {
    pv::test::FakePlatform p;
    p.SetRegString("name", "family");
    char buf[4];
    uint32_t size = sizeof buf;
    EXPECT_FALSE(p.RegGetValue("Pathvigil.CVigil", "name", buf, &size));
    char big[16];
    size = sizeof big;
    ASSERT_TRUE(p.RegGetValue("Pathvigil.CVigil", "name", big, &size));
    EXPECT_EQ(std::string(big, size), "family");
}
