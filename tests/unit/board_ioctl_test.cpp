// The board driver's record and request codes: checked at compile time in every build (the
// 24-byte size on 32-bit targets), and the field offsets the driver reads, here.
#include "board_ioctl.h"

#include <stddef.h>

#include <gtest/gtest.h>

namespace {

TEST(BoardIoctl, FieldsFollowEachOtherAsTheDriverReadsThem)
{
    size_t p = sizeof(void *);
    EXPECT_EQ(offsetof(BOARD_IOCTL_PARMS, string), 0u);
    EXPECT_EQ(offsetof(BOARD_IOCTL_PARMS, buf), p);
    EXPECT_EQ(offsetof(BOARD_IOCTL_PARMS, strLen), 2 * p);
    EXPECT_EQ(offsetof(BOARD_IOCTL_PARMS, offset), 2 * p + 4);
    EXPECT_EQ(offsetof(BOARD_IOCTL_PARMS, action), 2 * p + 8);
    EXPECT_EQ(offsetof(BOARD_IOCTL_PARMS, result), 2 * p + 12);
}

} // namespace
