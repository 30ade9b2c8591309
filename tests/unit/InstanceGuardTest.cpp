#include "common/Constants.h"
#include "core/InstanceGuard.h"

#include <gtest/gtest.h>

TEST(InstanceGuard, OnlyTheFirstCopyRunsAndAnUnopenableGuardCountsAsAnotherCopy) {
    {
        ScopedHandle first;
        ASSERT_TRUE(AcquireInstanceGuard(first));
        ScopedHandle second;
        EXPECT_FALSE(AcquireInstanceGuard(second));
        EXPECT_FALSE(second.IsValid()) << "the second copy keeps no handle";
    }
    // Gone with the first copy's handle.
    {
        ScopedHandle again;
        EXPECT_TRUE(AcquireInstanceGuard(again));
    }
    // Another object of that name: the mutex can be neither made nor opened.
    ScopedHandle squatter(CreateEventW(nullptr, TRUE, FALSE, kMutexName));
    ASSERT_TRUE(squatter.IsValid());
    ScopedHandle blocked;
    EXPECT_FALSE(AcquireInstanceGuard(blocked));
    EXPECT_FALSE(blocked.IsValid());
}
