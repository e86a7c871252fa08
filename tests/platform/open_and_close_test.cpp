// The shim's opening and closing of a port (open_and_close.cpp) against
// real ptys: the names it opens, the error of a missing port, and the
// descriptors a port never takes.
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

TEST_F(Pty, OpeningAMissingPathFailsWithFileNotFound)
{
    const HANDLE port = CreateFileA("/nonexistent/ttyS9", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED, nullptr);
    EXPECT_EQ(port, INVALID_HANDLE_VALUE);
    EXPECT_EQ(reinterpret_cast<std::intptr_t>(port), -1);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(Pty, ComNamesMapToTtySDevices)
{
    // COM9 is /dev/ttyS8; wherever that is missing the open reports so, and
    // where it exists it is opened — never /dev/ttyS0 itself in this test.
    const HANDLE port = CreateFileA("COM9", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        EXPECT_TRUE(access("/dev/ttyS8", F_OK) != 0 || GetLastError() != ERROR_FILE_NOT_FOUND);
    } else {
        char link[64];
        const std::string fdPath = "/proc/self/fd/" + std::to_string(reinterpret_cast<std::intptr_t>(port));
        const ssize_t n = readlink(fdPath.c_str(), link, sizeof link - 1);
        ASSERT_GT(n, 0);
        link[n] = '\0';
        EXPECT_STREQ(link, "/dev/ttyS8");
        EXPECT_TRUE(CloseHandle(port));
    }
}

// Started with standard descriptors closed, open() would hand the port one
// of them, and the trace meant for standard output would go to the device.
TEST_F(Pty, APortNeverTakesAStandardDescriptor)
{
    for (const std::vector<int> &closed : std::vector<std::vector<int>>{{0}, {1}, {2}, {0, 1, 2}}) {
        SCOPED_TRACE(testing::PrintToString(closed));
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (int fd : closed) {
                close(fd);
            }
            const HANDLE port = Open();
            const auto fd = reinterpret_cast<std::intptr_t>(port);
            const bool stillClosed =
                std::all_of(closed.begin(), closed.end(), [](int standard) { return fcntl(standard, F_GETFD) < 0; });
            _exit(port == INVALID_HANDLE_VALUE ? 1 : fd <= STDERR_FILENO ? 2 : !stillClosed ? 3 : 0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << "1: open failed, 2: a standard descriptor, 3: a closed one reopened";
    }
}

} // namespace
} // namespace platform_tests
