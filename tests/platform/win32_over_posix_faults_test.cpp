// The POSIX shim's answers to failures a pty cannot produce: the shim's own
// read() calls go through the linker's --wrap, so a test can make one fail
// with the errno a real driver gives, on a real pty.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "platform/serial_api.h"

// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the linker's names
extern "C" ssize_t __real_read(int fd, void *buffer, size_t count);
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)

namespace {

// What the wrapped call does on the port under test: reads after the first
// `ReadsBeforeFailure` fail with `ReadFailure`; zero means the real call.
int FaultyFd = -1;
int ReadsBeforeFailure = 0;
int ReadFailure = 0;

} // namespace

// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" ssize_t __wrap_read(int fd, void *buffer, size_t count)
{
    if (fd == FaultyFd && ReadFailure != 0) {
        if (ReadsBeforeFailure == 0) {
            errno = ReadFailure;
            return -1;
        }
        --ReadsBeforeFailure;
    }
    return __real_read(fd, buffer, count);
}
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)

namespace {

class ShimFaults : public ::testing::Test {
protected:
    int master = -1;
    HANDLE port = INVALID_HANDLE_VALUE;

    void SetUp() override
    {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        port = CreateFileA(ptsname(master), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
        DCB settings = {};
        ASSERT_TRUE(GetCommState(port, &settings));
        settings.fOutX = 0;
        settings.fInX = 0;
        ASSERT_TRUE(SetCommState(port, &settings)) << GetLastError();
        FaultyFd = static_cast<int>(reinterpret_cast<std::intptr_t>(port));
    }

    void TearDown() override
    {
        FaultyFd = -1;
        ReadsBeforeFailure = 0;
        ReadFailure = 0;
        (void)CloseHandle(port);
        close(master);
    }

    // Waits until the port holds count bytes from the device.
    void DeviceSends(const std::string &bytes) const
    {
        ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        COMSTAT status = {};
        for (int i = 0; i < 200 && status.cbInQue < bytes.size(); ++i) {
            ASSERT_TRUE(ClearCommError(port, nullptr, &status));
            Sleep(5);
        }
        ASSERT_EQ(status.cbInQue, bytes.size());
    }
};

// A read that delivered bytes succeeds, in its result and in the overlap
// record, whatever a later read() in the same call answered; a read that
// delivered none fails with that error.
TEST_F(ShimFaults, AReadThatDeliveredBytesSucceedsWhateverFollowed)
{
    const struct {
        const char *name;
        int readsBeforeFailure;
        int error;
        DWORD expectedError;
    } cases[] = {
        {"I/O error after bytes", 1, EIO, ERROR_SUCCESS},
        {"bad descriptor after bytes", 1, EBADF, ERROR_SUCCESS},
        {"I/O error at once", 0, EIO, ERROR_GEN_FAILURE},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        DeviceSends("abc");
        ReadsBeforeFailure = c.readsBeforeFailure;
        ReadFailure = c.error;
        char buffer[16] = {};
        OVERLAPPED overlap = {};
        DWORD done = 99;
        const BOOL read = ReadFile(port, buffer, sizeof buffer, &done, &overlap);
        ReadFailure = 0;
        DWORD transferred = 99;
        const BOOL result = GetOverlappedResult(port, &overlap, &transferred, FALSE);
        EXPECT_EQ(overlap.Internal, c.expectedError);
        if (c.expectedError == ERROR_SUCCESS) {
            EXPECT_TRUE(read);
            EXPECT_TRUE(result);
            EXPECT_EQ(done, 3u);
            EXPECT_EQ(transferred, 3u);
            EXPECT_EQ(std::string(buffer), "abc");
        } else {
            EXPECT_FALSE(read);
            EXPECT_FALSE(result);
            EXPECT_EQ(GetLastError(), c.expectedError);
            EXPECT_EQ(transferred, 0u);
            ASSERT_TRUE(PurgeComm(port, PURGE_RXCLEAR));
        }
    }
}

} // namespace
