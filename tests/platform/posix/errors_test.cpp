// errno as the device's status numbers.
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <utility>
#include <vector>

#include "platform/errors.h"

namespace
{

TEST(FileStatus, MapsEachErrnoOfEitherSignAndDefaultsToGeneralFailure)
{
    const std::vector<std::pair<int, uint32_t>> table = {
        {ENOENT, 2},   {ENOTDIR, 3},    {EMFILE, 4},         {ENFILE, 4},  {EACCES, 5},
        {EPERM, 5},    {EISDIR, 5},     {EROFS, 5},          {EBADF, 6},   {EWOULDBLOCK, 32},
        {EAGAIN, 32},  {EBUSY, 32},     {EEXIST, 80},        {EINVAL, 87}, {ENOSPC, 112},
        {EDQUOT, 112}, {EFBIG, 112},    {ENAMETOOLONG, 206}, {EIO, 31},    {ELOOP, 31},
        {0, 31},       {INT32_MIN, 31},
    };
    for (const auto& [err, st] : table) {
        EXPECT_EQ(plat::file_status(err, nullptr), st) << err;
        if (err != INT32_MIN) {
            EXPECT_EQ(plat::file_status(-err, nullptr), st) << err;
        }
    }
}

}  // namespace
