// The shim's clock and sleep (time.cpp): never short, and measured in its
// own frequency.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "platform/serial_api.h"
#include "platform/win32_over_posix/win32_serial_internal.h"
#include "pty_port.h"

namespace platform_tests {
namespace {

TEST(PosixSleep, NeverReturnsEarly)
{
    for (DWORD ms : {0u, 1u, 50u}) {
        timespec before{};
        timespec after{};
        clock_gettime(CLOCK_MONOTONIC, &before);
        Sleep(ms);
        clock_gettime(CLOCK_MONOTONIC, &after);
        const long long elapsedUs =
            (after.tv_sec - before.tv_sec) * 1000000LL + (after.tv_nsec - before.tv_nsec) / 1000;
        EXPECT_GE(elapsedUs, static_cast<long long>(ms) * 1000);
    }
}

TEST(PosixPerformanceCounter, MeasuresSleepInItsOwnFrequency)
{
    LARGE_INTEGER frequency = {};
    LARGE_INTEGER before = {};
    LARGE_INTEGER after = {};
    ASSERT_TRUE(QueryPerformanceFrequency(&frequency));
    ASSERT_TRUE(QueryPerformanceCounter(&before));
    Sleep(20);
    ASSERT_TRUE(QueryPerformanceCounter(&after));
    const double elapsedMs =
        static_cast<double>(after.QuadPart - before.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
    EXPECT_GE(elapsedMs, 20.0);
    EXPECT_LT(elapsedMs, 1000.0);
}

} // namespace
} // namespace platform_tests
