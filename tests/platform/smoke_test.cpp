#include "platform/win32.h"

#include <gtest/gtest.h>

TEST(LastError, IsPerThread)
{
    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
}
