// Windows error numbers as the device's status numbers and as console text.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "platform/errors.h"

namespace
{

TEST(FileStatus, IsTheErrorItselfAndNeverZero)
{
    for (const int err : {2, 3, 5, 32, 80, 87, 112}) {
        EXPECT_EQ(plat::file_status(-err, "a\\b"), uint32_t(err));
    }
    EXPECT_EQ(plat::file_status(0, nullptr), 31u);
    EXPECT_EQ(plat::file_status(INT_MIN, nullptr), 31u);
    const char* text = plat::error_text(2);
    ASSERT_GT(std::strlen(text), 0u);
    EXPECT_EQ(std::strpbrk(text, "\r\n"), nullptr);
}

// A network port's failures have a text, also where the system's message table has none.
TEST(ErrorText, SaysWhatASocketFailureIs)
{
    for (const int err : {10053, 10054, 10060, 10061, 10065, 11001}) {
        EXPECT_EQ(std::strstr(plat::error_text(-err), "Unknown error"), nullptr) << err;
    }
}

}  // namespace
