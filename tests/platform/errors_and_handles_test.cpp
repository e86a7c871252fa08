// The shim's handles and errors (errors_and_handles.cpp): every call on
// the invalid handle fails with the error Windows gives.
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

TEST_F(Pty, EveryCallOnTheInvalidHandleFailsWithInvalidHandle)
{
    DCB settings = {};
    COMSTAT status = {};
    DWORD errors = 0;
    unsigned char byte = 0;
    OVERLAPPED overlap = {};
    COMMTIMEOUTS timeouts = {};
    const struct {
        const char *name;
        BOOL result;
    } calls[] = {
        {"PurgeComm", PurgeComm(INVALID_HANDLE_VALUE, PURGE_TXCLEAR | PURGE_RXCLEAR)},
        {"ClearCommBreak", ClearCommBreak(INVALID_HANDLE_VALUE)},
        {"GetCommState", GetCommState(INVALID_HANDLE_VALUE, &settings)},
        {"SetCommState", SetCommState(INVALID_HANDLE_VALUE, &settings)},
        {"ClearCommError", ClearCommError(INVALID_HANDLE_VALUE, &errors, &status)},
        {"EscapeCommFunction", EscapeCommFunction(INVALID_HANDLE_VALUE, SETDTR)},
        {"ReadFile", ReadFile(INVALID_HANDLE_VALUE, &byte, 1, nullptr, &overlap)},
        {"WriteFile", WriteFile(INVALID_HANDLE_VALUE, &byte, 1, nullptr, &overlap)},
        {"SetCommTimeouts", SetCommTimeouts(INVALID_HANDLE_VALUE, &timeouts)},
        {"CloseHandle", CloseHandle(INVALID_HANDLE_VALUE)},
    };
    for (const auto &call : calls) {
        EXPECT_FALSE(call.result) << call.name;
    }
    // Each failing call sets the code; the last one must be the handle's.
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(ClearCommBreak(INVALID_HANDLE_VALUE));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(WaitForSingleObject(INVALID_HANDLE_VALUE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

} // namespace
} // namespace platform_tests
