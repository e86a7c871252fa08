// The POSIX shim's answers to failures a pty cannot produce: the shim's own
// read() and ioctl() calls go through the linker's --wrap, so a test can make
// one fail with the errno a real driver gives, on a real pty.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <fcntl.h>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>

#include "platform/serial_api.h"

// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the linker's names
extern "C" ssize_t __real_read(int fd, void *buffer, size_t count);
extern "C" int __real_ioctl(int fd, unsigned long request, ...);
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)

namespace {

// What the wrapped calls do on the port under test: reads after the first
// `ReadsBeforeFailure` fail with `ReadFailure`; TIOCCBRK fails with
// `BreakFailure`. Zero errors mean the real call.
int FaultyFd = -1;
int ReadsBeforeFailure = 0;
int ReadFailure = 0;
int BreakFailure = 0;

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

extern "C" int __wrap_ioctl(int fd, unsigned long request, ...)
{
    va_list arguments;
    va_start(arguments, request);
    void *argument = va_arg(arguments, void *);
    va_end(arguments);
    if (fd == FaultyFd && request == TIOCCBRK && BreakFailure != 0) {
        errno = BreakFailure;
        return -1;
    }
    return __real_ioctl(fd, request, argument);
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
        BreakFailure = 0;
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

// A terminal that cannot send a break has none in effect: clearing succeeds
// there. Anything else that refuses, including a descriptor that is no
// terminal, fails with its own error.
TEST_F(ShimFaults, ClearingABreakSucceedsWhereNoBreakCanBeInEffect)
{
    int pipeEnds[2] = {-1, -1};
    ASSERT_EQ(pipe(pipeEnds), 0);
    const HANDLE notATerminal = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(pipeEnds[0]));
    const struct {
        const char *name;
        HANDLE handle;
        int error;
        bool succeeds;
        DWORD expectedError;
    } cases[] = {
        {"usb-serial without break support", port, ENOTTY, true, 0},
        {"cdc-acm without break support", port, EOPNOTSUPP, true, 0},
        {"cdc-acm stalling the request on older kernels", port, EPIPE, true, 0},
        {"a failing device", port, EIO, false, ERROR_GEN_FAILURE},
        {"a descriptor that is no terminal", notATerminal, 0, false, ERROR_INVALID_FUNCTION},
        {"the invalid handle", INVALID_HANDLE_VALUE, 0, false, ERROR_INVALID_HANDLE},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        BreakFailure = c.error;
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(ClearCommBreak(c.handle) != FALSE, c.succeeds);
        if (!c.succeeds) {
            EXPECT_EQ(GetLastError(), c.expectedError);
        }
    }
    close(pipeEnds[0]);
    close(pipeEnds[1]);
}

} // namespace
